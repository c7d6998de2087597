#include "cli/vorn_main.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/device.h"
#include "cli/handlers.h"
#include "engine/queued_ops.h"
#include "util/log.h"
#include "util/version.h"

#define VORN_VERSION "V[2.6.3] at Aug 20 2021"

namespace {

// The index of a word selects its handler; case variants and synonyms share one.
const char* const _supportCmds[] = {
    "getvar",    "download",  "Download", "boot",   "run",    "bl1_boot", "bl2_boot",
    "oem",       "cmd",       "partition", "Partition", "upload", "Upload", "reboot",
    "setvar",    "setkey",    "mwrite",   "mread",
};
// The transport belongs to the run: it is never closed before the process ends, and stays
// reachable here so that leak checkers do not take it for lost.
Transport* run_transport = nullptr;

constexpr int kCommandCount = sizeof(_supportCmds) / sizeof(_supportCmds[0]);
static_assert(kCommandCount == 18, "the command table has 18 words");

int find_command(const char* word) {
    for (int i = 0; i < kCommandCount; i++)
        if (strcmp(_supportCmds[i], word) == 0) return i;
    return -1;
}

int do_setvar(char** words, int count) {
    require_words(871, 2, count);
    if (count < 3) {
        // The count check lets "setvar NAME" through; the value word is simply not there.
        qrx_log_out("ERR[VXN]", "missing value for setvar %s\n", words[1]);
        return 1;
    }
    long long value = parse_num(words[2]);
    if (value < 0 || value > 0xFFFFFFFFll) {
        qrx_log_out("ERR[VXN]", "illegal varval[%s] in setvar\n", words[2]);
        return 1;
    }
    fb_queue_setvar(words[1], (unsigned)value);
    return 0;
}

int do_boot(char** words, int count) {
    long long size = 0;
    void* data = load_bootable_image(count >= 2 ? words[1] : nullptr, nullptr, nullptr, &size, nullptr);
    if (!data) return 1;
    fb_queue_own(data);
    fb_queue_download("boot.img", data, (unsigned)size);
    fb_queue_command("boot", "booting");
    return 0;
}

}  // namespace

// A handler that refuses its words or files has printed why and queued nothing; the run ends
// with status 1 so that scripts do not take a refused download or boot for a done one.
void require_words(int site, int need, int count) {
    if (count >= need) return;
    usage();
    qrx_log_out("ERR[VXN]", "L%d:require at least %d args but only %d\n", site, need, count);
    exit(1);
}

int vorn_main(int argc, char** argv, const device_opener& open) {
    const char* first = argc > 1 ? argv[1] : "";
    if (!*first || strcmp(first, "-h") == 0 || strcmp(first, "--help") == 0) {
        usage();
        return 1;
    }
    if (strcmp(first, "--version") == 0) {
        print_version("vorn", VORN_VERSION);
        return 0;
    }
    if (strcmp(first, "devices") == 0) {
        if (argc > 2 && strcmp(argv[2], "-l") == 0)
            list_devices_long();
        else
            list_devices();
        return 0;
    }
    qrx_log_out("MSG[VXN]", "Quenrix USB VXN tool: %s\n", VORN_VERSION);

    int count = argc - 1;
    char** words = argv + 1;
    const char* selector = nullptr;
    if (count > 2 && strcmp(words[0], "-s") == 0) {
        selector = words[1];
        words += 2;
        count -= 2;
    }
    int index = find_command(words[0]);
    if (index < 0) {
        qrx_log_out("ERR[VXN]", "cmd \"%s\" not in supported list\n", words[0]);
        return -818;
    }
    Transport*& transport = run_transport;
    transport = open(selector);
    if (!transport) return 1;

    bool reboot = false;
    const char* reboot_mode = nullptr;
    switch (index) {
        case 0:
            require_words(828, 2, count);
            fb_queue_display(words[1], words[1]);
            break;
        case 1: case 2: case 15:
            if (do_qrx_download(count, words) < 0) return 1;
            break;
        case 3:
            if (do_boot(words, count)) return 1;
            break;
        case 4:
            fb_queue_command("boot", "booting");
            break;
        case 5:
            if (do_qrx_bl1boot(count >= 3 ? words[2] : nullptr)) return 1;
            break;
        case 6:
            if (do_qrx_bl2boot(count >= 3 ? words[2] : nullptr)) return 1;
            break;
        case 7: case 8:
            do_oem_command(count, words);
            break;
        case 9: case 10:
            if (do_qrx_partition(words, count)) {
                qrx_log_out("ERR[VXN]", "fail in queue partition\n");
                return -857;
            }
            break;
        case 11: case 12:
            if (do_qrx_upload(words, count)) {
                qrx_log_out("ERR[VXN]", "fail in upload\n");
                return -863;
            }
            break;
        case 13:
            reboot = true;
            reboot_mode = count >= 2 ? words[1] : nullptr;
            break;
        case 14:
            if (do_setvar(words, count)) return 1;
            break;
        case 16:
            if (do_qrx_mwrite(words, count)) {
                qrx_log_out("ERR[VXN]", "fail in queue mwrite\n");
                return -884;
            }
            break;
        case 17:
            if (do_qrx_mread(words, count, false)) return 1;
            break;
    }
    if (reboot) {
        fb_queue_reboot(reboot_mode);
        fb_queue_wait_for_disconnect();
    }
    return fb_execute_queue(transport) ? 1 : 0;
}
