// vorn: burns system-on-chip boards over USB while they sit in their download mode.
#include <cstring>

#include "cli/device.h"
#include "cli/vorn_main.h"
#include "plan/burn_command.h"
#include "protocol/bootloader.h"
#include "station/station.h"

int main(int argc, char** argv) {
    fb_set_reopen(reopen_device);
    if (is_burn_command(argc, argv)) return burn_main(argc, argv);
    if (argc > 1 && strcmp(argv[1], "station") == 0) return station_main(argc - 1, argv + 1);
    return vorn_main(argc, argv, [](const char* selector) { return open_device(nullptr, selector); });
}
