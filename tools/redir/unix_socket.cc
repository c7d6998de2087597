#include "tools/redir/unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>

#include "util/owned.h"

namespace redir {

int connect_unix(const std::string& path) {
    OwnedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
    return fd.release();
}

}  // namespace redir
