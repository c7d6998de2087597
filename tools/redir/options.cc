#include "tools/redir/options.h"

#include <cstdio>
#include <cstring>

#include "tools/board/board_boot.h"
#include "tools/board/board_media.h"

namespace redir {

namespace {

// "file=PATH[,stage=bl1|bl2|bl2e]": the boot stages taking the boot-loader file PATH.
bool add_boot(BoardSpec* b, const std::string& args, std::string* error) {
    board::BootConfig config;
    int stage = -1;
    size_t pos = 0;
    while (pos <= args.size()) {
        size_t comma = args.find(',', pos);
        if (comma == std::string::npos) comma = args.size();
        std::string item = args.substr(pos, comma - pos);
        pos = comma + 1;
        if (item.compare(0, 5, "file=") == 0) {
            if (!board::read_host_file(item.substr(5), &config.file, error)) return false;
        } else if (item == "stage=bl1" || item == "stage=bl2" || item == "stage=bl2e") {
            stage = item == "stage=bl1" ? 0 : item == "stage=bl2" ? 8 : 12;
        } else if (!item.empty()) {
            return *error = "unknown boot argument: " + item, false;
        }
    }
    if (stage >= 0) {
        if (b->board.config.identify.size() < 8) b->board.config.identify.resize(8, 0);
        b->board.config.identify[3] = static_cast<uint8_t>(stage);
    }
    b->board.add_feature(std::make_unique<board::BootStages>(std::move(config)));
    return true;
}

bool board_option(BoardSpec* b, const std::string& name, const std::string& arg, std::string* error) {
    board::Config& c = b->board.config;
    size_t eq = arg.find('=');
    long long n = 0;
    if (name == "--serial") {
        c.serial = arg;
        if (arg.empty()) c.vars.erase("serialno");
        else c.vars["serialno"] = arg;
    } else if (name == "--identify") {
        if (!board::read_hex_bytes(arg, &c.identify) || c.identify.empty()) return *error = "--identify takes hex bytes", false;
    } else if (name == "--var" && eq != std::string::npos && eq > 0) {
        c.vars[arg.substr(0, eq)] = arg.substr(eq + 1);
    } else if (name == "--binvar" && eq != std::string::npos && eq > 0) {
        board::Bytes& bytes = c.binary_vars[arg.substr(0, eq)];
        if (!board::read_hex_bytes(arg.substr(eq + 1), &bytes) || bytes.empty())
            return *error = "--binvar takes NAME=HEX", false;
    } else if (name == "--hang") {
        c.faults.hang_prefix = arg;
    } else if (name == "--vanish-on") {
        c.faults.vanish_prefix = arg;
    } else if (name == "--vanish-after") {
        if (!board::read_count(arg, 0, 1ll << 40, &n)) return *error = "--vanish-after takes a byte count", false;
        c.faults.vanish_after_data_bytes = n;
    } else if (name == "--zlp-before") {
        b->faults.zlp_before = arg;
    } else if (name == "--stall-on") {
        b->faults.stall_on = arg;
    } else if (name == "--hotplug") {
        b->hotplug = arg;
    } else if (name == "--media") {
        board::MediaConfig media;
        if (!board::media_config_parse(arg, &media, error)) return false;
        b->board.add_feature(std::make_unique<board::MediaStore>(std::move(media)));
    } else if (name == "--boot") {
        return add_boot(b, arg, error);
    } else {
        return *error = "unknown board option, or one without its value: " + name, false;
    }
    return true;
}

}  // namespace

void print_help(const char* program) {
    printf(
        "usage: %s [-o DIR] [--control SOCKET] [--monitor SOCKET] --board SOCKET [board options]\n"
        "       [--board SOCKET ...]\n"
        "\n"
        "Serves emulated VXN boards to a virtual machine's usb-redir devices: each --board connects\n"
        "to the socket of one character device (QEMU: -chardev socket,server=on,wait=off) and\n"
        "plugs the board in. Runs until every machine has hung up, or until SIGTERM.\n"
        "\n"
        "  -o DIR                    DIR/board<N>.log (events as they come) and, at the end,\n"
        "                            DIR/board<N>/ (media.txt, boot.txt, commands.txt)\n"
        "  --control SOCKET          a serial port of the machine on which the guest writes\n"
        "                            \"plug N\" and \"unplug N\" lines (N 1-based), and\n"
        "                            \"hotplug N\" and \"hotunplug N\" for a --hotplug board\n"
        "  --monitor SOCKET          the machine's monitor (QEMU: -qmp unix:SOCKET,server=on,wait=off)\n"
        "  --reenumerate-delay MS    time a restarting board stays off the bus (default 200)\n"
        "\n"
        "Board options (for the --board before them):\n"
        "  --serial TEXT             serial number (default VXN0001, ...); '' for none\n"
        "  --unplugged               not plugged in until the control channel says so\n"
        "  --hotplug PROPERTIES      the machine has no device for the board until \"hotplug N\":\n"
        "                            then the monitor adds a character device listening on\n"
        "                            SOCKET and a usb-redir device on it with these properties\n"
        "                            (\"bus=hc1.0,port=11\"); \"hotunplug N\" removes it again\n"
        "  --identify HEX            the 8 bytes of \"getvar:identify\"\n"
        "  --var NAME=VALUE          a text variable;  --binvar NAME=HEX  a binary one\n"
        "  --media ARGS              storage media (%s)\n"
        "  --boot file=PATH[,stage=bl1|bl2|bl2e]   boot stages taking the boot-loader file\n"
        "  --hang CMD                never answer commands starting with CMD\n"
        "  --vanish-on CMD           unplug on such a command;  --vanish-after N  after N data bytes\n"
        "  --zlp-before CMD          an empty IN transfer before the reply to such a command\n"
        "  --stall-on CMD            stall the bulk-in endpoint instead of replying\n",
        program, board::kMediaOptionArgs);
}

bool parse_options(int argc, char** argv, Options* out, bool* help, std::string* error) {
    *help = false;
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name == "-h" || name == "--help") return *help = true, true;
        if (name == "--unplugged" && !out->boards.empty()) {
            out->boards.back()->plugged_at_start = false;
            continue;
        }
        if (i + 1 >= argc) return *error = name + " needs a value", false;
        std::string arg = argv[++i];
        long long n = 0;
        if (name == "-o") {
            out->state_dir = arg;
        } else if (name == "--control") {
            out->control = arg;
        } else if (name == "--monitor") {
            out->monitor = arg;
        } else if (name == "--reenumerate-delay") {
            if (!board::read_count(arg, 0, 60000, &n)) return *error = "--reenumerate-delay takes milliseconds", false;
            out->reenumerate_delay_ms = static_cast<unsigned>(n);
        } else if (name == "--board") {
            auto b = std::make_unique<BoardSpec>();
            char serial[32];
            snprintf(serial, sizeof(serial), "VXN%04zu", out->boards.size() + 1);
            b->board.config.serial = serial;
            b->board.config.vars["serialno"] = serial;
            b->socket = arg;
            out->boards.push_back(std::move(b));
        } else if (out->boards.empty()) {
            return *error = name + " comes before any --board", false;
        } else if (!board_option(out->boards.back().get(), name, arg, error)) {
            return false;
        }
    }
    if (out->boards.empty()) return *error = "no --board given", false;
    return true;
}

}  // namespace redir
