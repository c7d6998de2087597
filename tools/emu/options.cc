#include "tools/emu/options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "tools/emu/features.h"

namespace emu {

namespace {

enum {
    kBoards = 'n',
    kTimeout = 't',
    kState = 'o',
    kHelp = 'h',
    kVerbose = 'v',
    kBoard = 1000,
    kSerial,
    kPort,
    kIdentify,
    kVar,
    kBinVar,
    kInfo,
    kFail,
    kMalformed,
    kBadData,
    kHang,
    kVanishOn,
    kVanishAfter,
    kShortReads,
    kFailWritesAfter,
    kFeature,
    kNoAccess,
    kReenumerateDelay,
    kClaimed,
    kClaimedFor,
    kZlp,
    kStall,
    kWriteTimeout,
    kEarlyEnd,
    kAccessDelay,
    kSettleDelay,
    kNumbers,
    kPlugAfter,
    kLinkRate,
};

const option kLongOptions[] = {
    {"boards", required_argument, nullptr, kBoards},
    {"board", required_argument, nullptr, kBoard},
    {"serial", required_argument, nullptr, kSerial},
    {"port", required_argument, nullptr, kPort},
    {"identify", required_argument, nullptr, kIdentify},
    {"var", required_argument, nullptr, kVar},
    {"binvar", required_argument, nullptr, kBinVar},
    {"info", required_argument, nullptr, kInfo},
    {"fail", required_argument, nullptr, kFail},
    {"malformed", required_argument, nullptr, kMalformed},
    {"bad-data", required_argument, nullptr, kBadData},
    {"hang", required_argument, nullptr, kHang},
    {"vanish-on", required_argument, nullptr, kVanishOn},
    {"vanish-after", required_argument, nullptr, kVanishAfter},
    {"short-reads", required_argument, nullptr, kShortReads},
    {"fail-writes-after", required_argument, nullptr, kFailWritesAfter},
    {"feature", required_argument, nullptr, kFeature},
    {"no-access", no_argument, nullptr, kNoAccess},
    {"reenumerate-delay", required_argument, nullptr, kReenumerateDelay},
    {"claimed", no_argument, nullptr, kClaimed},
    {"zlp", required_argument, nullptr, kZlp},
    {"stall", required_argument, nullptr, kStall},
    {"write-timeout", required_argument, nullptr, kWriteTimeout},
    {"early-end", required_argument, nullptr, kEarlyEnd},
    {"access-delay", required_argument, nullptr, kAccessDelay},
    {"settle-delay", required_argument, nullptr, kSettleDelay},
    {"numbers", required_argument, nullptr, kNumbers},
    {"claimed-for", required_argument, nullptr, kClaimedFor},
    {"plug-after", required_argument, nullptr, kPlugAfter},
    {"link-rate", required_argument, nullptr, kLinkRate},
    {"timeout", required_argument, nullptr, kTimeout},
    {"state", required_argument, nullptr, kState},
    {"verbose", no_argument, nullptr, kVerbose},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

// "NAME=VALUE" split at the first '='.
bool split_assignment(const std::string& text, std::string* name, std::string* value) {
    size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return false;
    *name = text.substr(0, eq);
    *value = text.substr(eq + 1);
    return true;
}

// The fault's command prefix for a prefix option.
std::string* prefix_of(int option, board::Faults* f) {
    switch (option) {
        case kMalformed: return &f->malformed_prefix;
        case kBadData: return &f->data_prefix;
        case kHang: return &f->hang_prefix;
        case kVanishOn: return &f->vanish_prefix;
        case kZlp: return &f->zlp_prefix;
        case kStall: return &f->stall_prefix;
        case kWriteTimeout: return &f->write_timeout_prefix;
        default: return &f->early_end_prefix;
    }
}

}  // namespace

void split_fail(const std::string& arg, std::string* prefix, std::string* text) {
    prefix->clear();
    text->clear();
    size_t i = 0;
    for (; i < arg.size() && arg[i] != '='; i++) {
        if (arg[i] == '\\' && i + 1 < arg.size() && (arg[i + 1] == '=' || arg[i + 1] == '\\')) i++;
        *prefix += arg[i];
    }
    if (i < arg.size()) *text = arg.substr(i + 1);
}

std::vector<std::pair<std::string, std::string>> split_args(const std::string& args) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t pos = 0;
    while (pos < args.size()) {
        size_t comma = args.find(',', pos);
        if (comma == std::string::npos) comma = args.size();
        std::string item = args.substr(pos, comma - pos);
        if (!item.empty()) {
            size_t eq = item.find('=');
            if (eq == std::string::npos)
                out.emplace_back(item, std::string());
            else
                out.emplace_back(item.substr(0, eq), item.substr(eq + 1));
        }
        pos = comma + 1;
    }
    return out;
}

void print_help(const char* program) {
    printf(
        "usage: %s [options] [--] COMMAND [ARGS...]\n"
        "\n"
        "Runs COMMAND (typically a vorn command line, or a shell running several) with emulated\n"
        "VXN boards plugged into an emulated USB bus, and exits with its status. The boards\n"
        "answer over the real USB stack (libusb), so no hardware, root or udev daemon is needed.\n"
        "\n"
        "Bus and run:\n"
        "  -n, --boards N            number of boards, 0 to 16 (default 1)\n"
        "  -t, --timeout SEC         watchdog: end COMMAND after SEC seconds and exit with 124\n"
        "                            (default 60, 0 for none)\n"
        "  -o, --state DIR           write each board's final state to DIR/board<N>/:\n"
        "                            commands.txt, downloads.txt + downloads/<k>.bin,\n"
        "                            keys/<k>.bin, setvars/<NAME>.bin, vars.txt, state.txt\n"
        "                            (serial, port, booted, gone, appearances, reboot)\n"
        "      --reenumerate-delay MS  time a restarting board stays off the bus (default 200)\n"
        "  -v, --verbose             report USB requests the emulation did not understand\n"
        "  -h, --help                this text\n"
        "      --version             the version and the source revision (on its own)\n"
        "\n"
        "Board options apply to every board, or after --board I only to board I (1-based):\n"
        "      --board I             the following board options are for board I\n"
        "      --serial TEXT         USB serial number (default VXN0001, VXN0002, ...);\n"
        "                            '' for a board that reports none\n"
        "      --port PATH           USB port path (default 1-1, 1-2, ...), e.g. 1-2.3\n"
        "      --identify HEX        the 8 bytes answered to \"getvar:identify\"\n"
        "      --var NAME=VALUE      a text variable for \"getvar:NAME\"\n"
        "      --binvar NAME=HEX     a binary variable for \"getvar:NAME\"\n"
        "      --info TEXT           an INFO line before every final reply\n"
        "      --no-access           the user may not open the board's device node\n"
        "      --claimed             another process holds the board's interface: claims fail\n"
        "                            with EBUSY\n"
        "      --claimed-for MS      the same for the first MS ms after each appearance\n"
        "      --plug-after MS       plug the board in MS ms after COMMAND started\n"
        "      --link-rate MB        the host's data reaches the board at MB megabytes (10^6\n"
        "                            bytes) a second at most, as over a slow link\n"
        "      --feature NAME[:ARGS] add a feature to the board (see below)\n"
        "      --numbers FORM        how data requests write sizes and offsets: hex (default,\n"
        "                            0x00001000), hex-upper (0X1F40), hex-mixed (0x1F40), decimal,\n"
        "                            octal (017500) or scaled (8k, 2M, decimal otherwise)\n"
        "\n"
        "Faults (CMD is a prefix of the commands it applies to, e.g. \"getvar:\" or \"download\"):\n"
        "      --fail CMD[=TEXT]     answer FAIL (with TEXT); write \\= for a \"=\" in CMD, e.g.\n"
        "                            'mread:status\\=finish=medium gone'\n"
        "      --malformed CMD       answer a malformed reply\n"
        "      --bad-data CMD        answer DATA where no data phase may come\n"
        "      --hang CMD            never answer (the watchdog ends the run)\n"
        "      --vanish-on CMD       unplug the board when such a command arrives\n"
        "      --vanish-after N      unplug the board after N bytes of data phases\n"
        "      --short-reads N       deliver data to the host in pieces of at most N bytes\n"
        "      --fail-writes-after N fail every host transfer after the first N\n"
        "      --zlp CMD             send a zero-length packet before the reply\n"
        "      --stall CMD           halt the bulk-in endpoint: reads fail with EPIPE until the\n"
        "                            host clears the halt\n"
        "      --write-timeout CMD   the next data-phase write stops after about half its bytes\n"
        "                            and times out\n"
        "      --early-end CMD       a read announced by CMD (\"oem mread\") ends with OKAY after\n"
        "                            its first portion\n"
        "      --access-delay MS     the device node may not be opened for MS ms after each\n"
        "                            appearance (udev applying its rule)\n"
        "      --settle-delay MS     after a re-enumeration claims fail with ENOENT (not found)\n"
        "                            for MS ms: the kernel is still configuring the device\n"
        "\n"
        "Features:\n",
        program);
    for (const FeatureOption& f : feature_options())
        printf("  %s:%s\n      %s\n", f.name, f.args, f.help);
    printf(
        "\n"
        "Environment of COMMAND's processes:\n"
        "  VORN_EMU_NO_HOTPLUG=1     the process gets no hot-plug news of the bus, as if every\n"
        "                            event had been lost; it sees boards come and go only by\n"
        "                            looking at the bus afresh\n"
        "\n"
        "Example:\n"
        "  %s -- sh -c 'vorn devices && vorn getvar identify'\n",
        program);
}

bool parse_options(int argc, char** argv, Options* out, bool* help, std::string* error) {
    *help = false;
    int board = 0;
    optind = 1;
    opterr = 0;
    int c;
    int index = -1;
    while ((c = getopt_long(argc, argv, "+n:t:o:vh", kLongOptions, &index)) != -1) {
        std::string arg = optarg ? optarg : "";
        std::string name = index >= 0 ? std::string("--") + kLongOptions[index].name
                                      : std::string("-") + static_cast<char>(c == '?' ? optopt : c);
        index = -1;
        long long n = 0;
        // The option's argument as a count from lo to hi, else `message` as the error.
        auto count = [&](long long lo, long long hi, const std::string& message) {
            if (board::read_count(optarg, lo, hi, &n)) return true;
            *error = message;
            return false;
        };
        auto edit = [&](std::function<bool(Slot&, std::string*)> f) {
            out->edits.push_back(BoardEdit{board, name, std::move(f)});
        };
        switch (c) {
            case kHelp:
                *help = true;
                return true;
            case kVerbose:
                out->verbose = true;
                break;
            case kBoards:
                if (!count(0, 16, "--boards takes 0 to 16")) return false;
                out->boards = static_cast<int>(n);
                break;
            case kTimeout:
                if (!count(0, 86400, "--timeout takes seconds")) return false;
                out->timeout_s = static_cast<unsigned>(n);
                break;
            case kReenumerateDelay:
                if (!count(0, 60000, "--reenumerate-delay takes milliseconds")) return false;
                out->reenumerate_delay_ms = static_cast<unsigned>(n);
                break;
            case kState:
                out->state_dir = arg;
                break;
            case kBoard:
                if (!count(1, 16, "--board takes a board number")) return false;
                board = static_cast<int>(n);
                break;
            case kSerial:
                edit([arg](Slot& s, std::string*) {
                    s.board.config.serial = arg;
                    if (arg.empty())
                        s.board.config.vars.erase("serialno");
                    else
                        s.board.config.vars["serialno"] = arg;
                    return true;
                });
                break;
            case kPort: {
                int bus;
                std::vector<int> ports;
                if (!parse_port_path(arg, &bus, &ports)) {
                    *error = "not a USB port path: " + arg;
                    return false;
                }
                edit([arg](Slot& s, std::string*) {
                    s.port = arg;
                    return true;
                });
                break;
            }
            case kIdentify: {
                board::Bytes bytes;
                if (!board::read_hex_bytes(arg, &bytes) || bytes.empty()) {
                    *error = "--identify takes hex bytes";
                    return false;
                }
                edit([bytes](Slot& s, std::string*) {
                    s.board.config.identify = bytes;
                    return true;
                });
                break;
            }
            case kVar:
            case kBinVar: {
                std::string var, value;
                board::Bytes bytes;
                if (!split_assignment(arg, &var, &value) ||
                    (c == kBinVar && !board::read_hex_bytes(value, &bytes))) {
                    *error = std::string(c == kVar ? "--var takes NAME=VALUE" : "--binvar takes NAME=HEX");
                    return false;
                }
                bool binary = c == kBinVar;
                edit([binary, var, value, bytes](Slot& s, std::string*) {
                    if (binary)
                        s.board.config.binary_vars[var] = bytes;
                    else
                        s.board.config.vars[var] = value;
                    return true;
                });
                break;
            }
            case kInfo:
                edit([arg](Slot& s, std::string*) {
                    s.board.config.info_lines.push_back(arg);
                    return true;
                });
                break;
            case kFail: {
                std::string prefix, text;
                split_fail(arg, &prefix, &text);
                edit([prefix, text](Slot& s, std::string*) {
                    s.board.config.faults.fail_prefix = prefix;
                    s.board.config.faults.fail_text = text;
                    return true;
                });
                break;
            }
            case kMalformed:
            case kBadData:
            case kHang:
            case kVanishOn:
            case kZlp:
            case kStall:
            case kWriteTimeout:
            case kEarlyEnd:
                if (arg.empty()) {
                    *error = name + " takes a command prefix";
                    return false;
                }
                edit([c, arg](Slot& s, std::string*) {
                    *prefix_of(c, &s.board.config.faults) = arg;
                    return true;
                });
                break;
            case kPlugAfter:
            case kLinkRate:
                if (!count(1, 3600000, name + (c == kPlugAfter ? " takes milliseconds" : " takes MB a second")))
                    return false;
                edit([c, n](Slot& s, std::string*) {
                    (c == kPlugAfter ? s.plug_after_ms : s.link_mb_per_s) = static_cast<unsigned>(n);
                    return true;
                });
                break;
            case kAccessDelay:
            case kSettleDelay:
                if (!count(0, 3600000, name + " takes milliseconds")) return false;
                edit([c, n](Slot& s, std::string*) {
                    (c == kAccessDelay ? s.access_delay_ms : s.settle_delay_ms) = static_cast<unsigned>(n);
                    return true;
                });
                break;
            case kVanishAfter:
            case kShortReads:
            case kFailWritesAfter:
                if (!count(0, 1ll << 40, name + " takes a number")) return false;
                edit([c, n](Slot& s, std::string*) {
                    board::Faults& f = s.board.config.faults;
                    if (c == kVanishAfter) f.vanish_after_data_bytes = n;
                    if (c == kShortReads) f.short_read_limit = static_cast<size_t>(n);
                    if (c == kFailWritesAfter) f.fail_write_after = static_cast<int>(n > 1 << 30 ? 1 << 30 : n);
                    return true;
                });
                break;
            case kNumbers: {
                board::NumberForm form;
                if (!board::number_form_named(arg, &form)) {
                    *error = "--numbers takes hex, hex-upper, hex-mixed, decimal, octal or scaled";
                    return false;
                }
                edit([form](Slot& s, std::string*) {
                    s.board.config.number_form = form;
                    return true;
                });
                break;
            }
            case kFeature:
                edit([arg](Slot& s, std::string* err) { return add_feature(s, arg, err); });
                break;
            case kClaimed:
            case kClaimedFor:
                if (c == kClaimedFor && !count(1, 3600000, name + " takes milliseconds")) return false;
                edit([c, n](Slot& s, std::string*) {
                    s.claimed_ms = c == kClaimed ? -1 : n;
                    return true;
                });
                break;
            case kNoAccess:
                edit([](Slot& s, std::string*) {
                    s.no_access = true;
                    return true;
                });
                break;
            default:
                *error = "unknown option, or one without its value: " +
                         std::string(optind > 0 && optind <= argc ? argv[optind - 1] : "?");
                return false;
        }
    }
    for (int i = optind; i < argc; i++) out->command.push_back(argv[i]);
    if (out->command.empty()) {
        *error = "no command to run";
        return false;
    }
    for (const BoardEdit& e : out->edits) {
        if (e.board > out->boards) {
            *error = e.option + " is for board " + std::to_string(e.board) + ", but there are only " +
                     std::to_string(out->boards);
            return false;
        }
    }
    return true;
}

bool configure_board(const Options& options, int index, Slot* slot, std::string* error) {
    char serial[32];
    snprintf(serial, sizeof(serial), "VXN%04d", index);
    slot->board.config.serial = serial;
    slot->board.config.vars["serialno"] = serial;
    slot->port = "1-" + std::to_string(index);
    for (const BoardEdit& e : options.edits) {
        if (e.board != 0 && e.board != index) continue;
        if (!e.apply(*slot, error)) {
            *error = e.option + ": " + *error;
            return false;
        }
    }
    return true;
}

}  // namespace emu
