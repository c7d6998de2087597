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
//
// In vorn-emu itself: an event for a process that has not read the earlier ones (its queue is
// full) is dropped for that process, as the kernel does, where umockdev would end the emulation.
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

// One of the event sockets ("event" and a digit) in the test bed's folder.
bool is_event_path(const sockaddr_un* to) {
    if (to->sun_family != AF_UNIX) return false;
    const size_t len = strnlen(to->sun_path, sizeof(to->sun_path));
    const char* slash = static_cast<const char*>(memrchr(to->sun_path, '/', len));
    return slash && strncmp(slash + 1, "event", 5) == 0 && slash[6] >= '0' && slash[6] <= '9';
}

// A send of the bus to one of them.
bool is_event_send(const msghdr* msg) {
    if (!msg || !msg->msg_name) return false;
    return is_event_path(static_cast<const sockaddr_un*>(msg->msg_name));
}

}  // namespace

extern "C" ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
    using sendmsg_fn = ssize_t (*)(int, const msghdr*, int);
    static sendmsg_fn next = reinterpret_cast<sendmsg_fn>(dlsym(RTLD_NEXT, "sendmsg"));
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    ssize_t r = next(fd, msg, flags);
    if (r < 0 && is_event_send(msg) && (errno == ECONNREFUSED || errno == ENOENT)) {
        // The process of that socket has ended and left its name behind (or is ending now):
        // nobody is there to miss the event, and the name would refuse every later one too.
        if (errno == ECONNREFUSED) unlink(static_cast<const sockaddr_un*>(msg->msg_name)->sun_path);
        errno = EAGAIN;
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && is_event_send(msg)) {
        size_t total = 0;
        for (size_t i = 0; i < msg->msg_iovlen; i++) total += msg->msg_iov[i].iov_len;
        return static_cast<ssize_t>(total);
    }
    return r;
}

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
