// The command-line flow of one run, with the device opening passed in so that tests can put an
// emulated board behind it.
#pragma once
#include <functional>
#include "usb/transport.h"

// Waits for and opens the device for the given selector (nullptr: any); nullptr when none.
using device_opener = std::function<Transport*(const char* selector)>;

int vorn_main(int argc, char** argv, const device_opener& open);
// "V[2.6.3] at Aug 20 2021", as the start-up line and the usage show it.
const char* vorn_version_text();
// True when `word` is one of the command words.
bool vorn_is_command(const char* word);
// Checks one command's words (from the command word on) and files and queues its actions;
// nothing is sent. 0 when queued, else the run's exit status with the refusal printed (and the
// queue emptied).
int vorn_queue_command(char** words, int count);
void usage();
// The front end's number parser for sizes, offsets and values: k/m/g units, -1 when invalid.
long long parse_num(const char* text);
