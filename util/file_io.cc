#include "util/file_io.h"

#include <cerrno>
#include <unistd.h>

long long read_full_at(int fd, void* buf, long long size, long long offset) {
    long long done = 0;
    while (done < size) {
        ssize_t n = pread(fd, static_cast<char*>(buf) + done, (size_t)(size - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}
