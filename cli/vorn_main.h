// The command-line flow of one run, with the device opening passed in so that tests can put an
// emulated board behind it.
#pragma once
#include <functional>
#include "usb/transport.h"

// Waits for and opens the device for the given selector (nullptr: any); nullptr when none.
using device_opener = std::function<Transport*(const char* selector)>;

int vorn_main(int argc, char** argv, const device_opener& open);
// "vorn station ..." watches the bus itself and lives above the command handlers; the program
// hands it in. It gets the words from "station" on and returns the run's status.
void vorn_set_station(int (*station)(int count, char** words));
void usage();
// The front end's number parser for sizes, offsets and values: k/m/g units, -1 when invalid.
long long parse_num(const char* text);
