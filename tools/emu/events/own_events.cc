// Loaded by vorn-emu into every process on the emulated bus, ahead of umockdev's preload library,
// so that each process gets its own hot-plug news.
//
// umockdev turns a process's kernel-event netlink socket into a Unix socket, bound in the test
// bed's folder under the name "event" and its descriptor number; the bus sends every hot-plug
// event to each socket of that name pattern. Two processes that got the same descriptor number
// would share one name, and the later would unlink the earlier's socket and take every event
// from it. Here the socket is bound under a name that carries the process id too.
//
// A process started with VORN_EMU_NO_HOTPLUG=1 gets no hot-plug news at all: its socket is bound
// under a name the bus does not send to, as if every event had been lost on the way.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <dlfcn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using bind_fn = int (*)(int, const sockaddr*, socklen_t);

bool news_withheld() {
    const char* v = getenv("VORN_EMU_NO_HOTPLUG");
    return v && *v && strcmp(v, "0") != 0;
}

// The socket umockdev made in place of a netlink one: the caller binds a netlink address to
// what is a Unix socket.
bool is_event_socket(int fd, const sockaddr* addr) {
    if (!addr || addr->sa_family != AF_NETLINK) return false;
    int domain = 0;
    socklen_t len = sizeof(domain);
    return getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) == 0 && domain == AF_UNIX;
}

}  // namespace

extern "C" int bind(int fd, const sockaddr* addr, socklen_t addrlen) {
    const char* dir = getenv("UMOCKDEV_DIR");
    if (dir && is_event_socket(fd, addr)) {
        sockaddr_un sa;
        memset(&sa, 0, sizeof(sa));
        sa.sun_family = AF_UNIX;
        // The bus sends to "event" followed by a digit; "quiet" is passed over.
        int n = snprintf(sa.sun_path, sizeof(sa.sun_path), "%s/%s%d-%d", dir,
                         news_withheld() ? "quiet" : "event", static_cast<int>(getpid()), fd);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(sa.sun_path)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        // Left by an earlier socket of this process that has been closed.
        unlink(sa.sun_path);
        return static_cast<int>(syscall(SYS_bind, fd, &sa, sizeof(sa)));
    }
    static bind_fn next = reinterpret_cast<bind_fn>(dlsym(RTLD_NEXT, "bind"));
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, addr, addrlen);
}
