#include "usb/usb_sys.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>

void sleep_seconds(int seconds) {
    for (int i = 0; i < seconds; i++) sleep_ms(1000);
}

void sleep_ms(unsigned milliseconds) {
    timespec t;
    t.tv_sec = milliseconds / 1000;
    t.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    // A signal that is handled cuts the pause short; the rest is still waited.
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

std::string get_my_path() {
    std::string path(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", &path[0], path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return std::string();
    path.resize(static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    if (slash != std::string::npos) path.resize(slash == 0 ? 1 : slash);
    return path;
}
