// The machine's ends (its usb-redir character devices, serial port and monitor) are unix
// sockets it listens on; vorn-redir connects to them.
#pragma once
#include <string>

namespace redir {

// A connected stream socket (close-on-exec), or -1 with errno set.
int connect_unix(const std::string& path);

}  // namespace redir
