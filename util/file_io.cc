#include "util/file_io.h"

#include <cerrno>
#include <unistd.h>

#include "util/platform.h"

long long read_full_at(int fd, void* buf, long long size, long long offset) {
    long long done = 0;
    while (done < size) {
        long long n = read_at(fd, static_cast<char*>(buf) + done, (size_t)(size - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

long long read_full(int fd, void* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = read(fd, static_cast<char*>(buf) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += (size_t)n;
    }
    return (long long)done;
}

long long write_full(int fd, const void* buf, size_t len) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, static_cast<const char*>(buf) + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done ? (long long)done : -1;
        if (n == 0) break;
        done += (size_t)n;
    }
    return (long long)done;
}
