// The command line of vorn-redir: the boards, each with the socket of its usb-redir device and
// how it looks and misbehaves, the control channel, and where the boards' logs and state go.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "tools/redir/redir_board.h"

namespace redir {

struct Options {
    std::vector<std::unique_ptr<BoardSpec>> boards;
    // Socket of the machine's serial port on which the guest says "plug N", "hotplug N" and so on.
    std::string control;
    // Socket of the machine's monitor (QMP), through which hot-plugged boards come and go.
    std::string monitor;
    // DIR/board<N>.log as the run goes, DIR/board<N>/ (the features' state) at the end.
    std::string state_dir;
    unsigned reenumerate_delay_ms = 200;
    // Seconds to wait for the machine's sockets.
    unsigned connect_timeout_s = 60;
};

// False with the reason, or with `help` set.
bool parse_options(int argc, char** argv, Options* out, bool* help, std::string* error);
void print_help(const char* program);

}  // namespace redir
