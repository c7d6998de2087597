// The emulator's command line: how many boards, how each one looks and misbehaves, the watchdog,
// where to write the boards' final state, and the command to run among them.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "tools/emu/bus.h"

namespace emu {

// One option that changes a board; `board` 0 means every board.
struct BoardEdit {
    int board = 0;
    std::string option;
    std::function<bool(Slot& slot, std::string* error)> apply;
};

struct Options {
    int boards = 1;
    std::vector<BoardEdit> edits;
    // Seconds before the command is ended (0: never).
    unsigned timeout_s = 60;
    unsigned reenumerate_delay_ms = 200;
    std::string state_dir;
    bool verbose = false;
    std::vector<std::string> command;
};

// Parses the command line; false with the reason (or with `help` set for --help).
bool parse_options(int argc, char** argv, Options* out, bool* help, std::string* error);
void print_help(const char* program);

// Sets up board `index` (1-based) with its defaults and the edits that apply to it.
bool configure_board(const Options& options, int index, Slot* slot, std::string* error);

// "--fail CMD[=TEXT]": CMD ends at the first "=" that is not written "\=" ("\\" is a backslash).
void split_fail(const std::string& arg, std::string* prefix, std::string* text);
// Parses "key=value,key=value" (a bare word is a key with an empty value).
std::vector<std::pair<std::string, std::string>> split_args(const std::string& args);

}  // namespace emu
