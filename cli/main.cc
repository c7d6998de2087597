// vorn: burns system-on-chip boards over USB while they sit in their download mode.
#include "cli/device.h"
#include "cli/vorn_main.h"
#include "plan/burn_command.h"
#include "protocol/bootloader.h"

int main(int argc, char** argv) {
    fb_set_reopen(reopen_device);
    if (is_burn_command(argc, argv)) return burn_main(argc, argv);
    return vorn_main(argc, argv, [](const char* selector) { return open_device(nullptr, selector); });
}
