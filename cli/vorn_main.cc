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

// The transport belongs to the run: it is never closed before the process ends, and stays
// reachable here so that leak checkers do not take it for lost.
Transport* run_transport = nullptr;

int do_getvar(char** words, int count) {
    if (!require_words(828, 2, count)) return kTooFewWords;
    fb_queue_display(words[1], words[1]);
    return 0;
}

int do_setvar(char** words, int count) {
    if (!require_words(871, 2, count)) return kTooFewWords;
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

int do_run(char**, int) {
    fb_queue_command("boot", "booting");
    return 0;
}

// The reboot is the last thing the board is asked for, and the run waits until it has gone.
int do_reboot(char** words, int count) {
    fb_queue_reboot(count >= 2 ? words[1] : nullptr);
    fb_queue_wait_for_disconnect();
    return 0;
}

int do_download(char** words, int count) { return do_qrx_download(count, words); }
// The boot-loader path is the word after "-f"; that word itself is not looked at.
int do_bl1_boot(char** words, int count) { return do_qrx_bl1boot(count >= 3 ? words[2] : nullptr); }
int do_bl2_boot(char** words, int count) { return do_qrx_bl2boot(count >= 3 ? words[2] : nullptr); }
int do_oem(char** words, int count) { return do_oem_command(count, words); }
int do_mread(char** words, int count) { return do_qrx_mread(words, count, false); }

// One command word. A handler gets the words from the command word on; it has printed why when
// it refuses, and the run then ends with `refused_status` (after `refused_line` where there is
// one) without running the queue: scripts must not take a refused download or boot for a done
// one.
struct Command {
    const char* word;
    int (*handler)(char** words, int count);
    int refused_status;
    const char* refused_line;
};

// Looked up in this order, exactly and case-sensitively; case variants and synonyms share a
// handler.
const Command _supportCmds[] = {
    {"getvar", do_getvar, 1, nullptr},
    {"download", do_download, 1, nullptr},
    {"Download", do_download, 1, nullptr},
    {"boot", do_boot, 1, nullptr},
    {"run", do_run, 1, nullptr},
    {"bl1_boot", do_bl1_boot, 1, nullptr},
    {"bl2_boot", do_bl2_boot, 1, nullptr},
    {"oem", do_oem, 1, nullptr},
    {"cmd", do_oem, 1, nullptr},
    {"partition", do_qrx_partition, -857, "fail in queue partition\n"},
    {"Partition", do_qrx_partition, -857, "fail in queue partition\n"},
    {"upload", do_qrx_upload, -863, "fail in upload\n"},
    {"Upload", do_qrx_upload, -863, "fail in upload\n"},
    {"reboot", do_reboot, 1, nullptr},
    {"setvar", do_setvar, 1, nullptr},
    {"setkey", do_download, 1, nullptr},
    {"mwrite", do_qrx_mwrite, -884, "fail in queue mwrite\n"},
    {"mread", do_mread, 1, nullptr},
};
static_assert(sizeof(_supportCmds) / sizeof(_supportCmds[0]) == 18, "the command table has 18 words");

const Command* find_command(const char* word) {
    for (const Command& c : _supportCmds)
        if (strcmp(c.word, word) == 0) return &c;
    return nullptr;
}

// The first words that are answered without a device: the usage, the version and the device
// list. True with the run's status when `first` is one of them.
bool answer_without_device(int argc, char** argv, int* status) {
    const char* first = argc > 1 ? argv[1] : "";
    if (!*first || strcmp(first, "-h") == 0 || strcmp(first, "--help") == 0) {
        usage();
        *status = 1;
        return true;
    }
    if (strcmp(first, "--version") == 0) {
        print_version("vorn", VORN_VERSION);
        *status = 0;
        return true;
    }
    if (strcmp(first, "devices") == 0) {
        if (argc > 2 && strcmp(argv[2], "-l") == 0)
            list_devices_long();
        else
            list_devices();
        *status = 0;
        return true;
    }
    return false;
}

// Takes a leading "-s SELECTOR" off the words; only when a command word follows it.
const char* take_selector(char*** words, int* count) {
    if (*count <= 2 || strcmp((*words)[0], "-s") != 0) return nullptr;
    const char* selector = (*words)[1];
    *words += 2;
    *count -= 2;
    return selector;
}

// The status of a refusal by the command's handler; 0 when it queued its actions.
int queue_command(const Command& command, char** words, int count) {
    int r = command.handler(words, count);
    if (r == 0) return 0;
    if (r == kTooFewWords) return 1;
    if (command.refused_line) qrx_log_out("ERR[VXN]", "%s", command.refused_line);
    return command.refused_status;
}

// "COMMAND -h" or "COMMAND --help" asks for the usage, not for a board.
bool asks_for_help(char** words, int count) {
    return count >= 2 && (strcmp(words[1], "-h") == 0 || strcmp(words[1], "--help") == 0);
}

}  // namespace

bool require_words(int site, int need, int count) {
    if (count >= need) return true;
    usage();
    qrx_log_out("ERR[VXN]", "L%d:require at least %d args but only %d\n", site, need, count);
    return false;
}

const char* vorn_version_text() { return VORN_VERSION; }

bool vorn_is_command(const char* word) { return find_command(word) != nullptr; }

int vorn_queue_command(char** words, int count) {
    const Command* command = find_command(words[0]);
    if (!command) {
        qrx_log_out("ERR[VXN]", "cmd \"%s\" not in supported list\n", words[0]);
        return -818;
    }
    if (asks_for_help(words, count)) {
        usage();
        return 1;
    }
    int status = queue_command(*command, words, count);
    // A refused command leaves nothing behind: no open file, no half-made output.
    if (status) fb_queue_reset();
    return status;
}

int vorn_main(int argc, char** argv, const device_opener& open) {
    int status = 0;
    if (answer_without_device(argc, argv, &status)) return status;
    qrx_log_out("MSG[VXN]", "Quenrix USB VXN tool: %s\n", VORN_VERSION);

    int count = argc - 1;
    char** words = argv + 1;
    if (count == 1 && strcmp(words[0], "-s") == 0) {
        qrx_log_out("ERR[VXN]", "-s needs a selector: vorn -s <specific para> <command> <command para>\n");
        return -818;
    }
    const char* selector = take_selector(&words, &count);
    // The words and files are checked before the board is waited for: handlers only queue, and
    // nothing is sent until the queue runs on the open board.
    status = vorn_queue_command(words, count);
    if (status) return status;
    run_transport = open(selector);
    if (!run_transport) return 1;
    return fb_execute_queue(run_transport) ? 1 : 0;
}
