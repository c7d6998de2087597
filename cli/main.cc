// vorn: burns system-on-chip boards over USB while they sit in their download mode.
#include "cli/device.h"
#include "cli/vorn_main.h"
#include "protocol/bootloader.h"
#include "station/station.h"

int main(int argc, char** argv) {
    fb_set_reopen(reopen_device);
    vorn_set_station(station_main);
    return vorn_main(argc, argv, [](const char* selector) { return open_device(nullptr, selector); });
}
