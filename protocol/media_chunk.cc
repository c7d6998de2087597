#include "protocol/media_chunk.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace {
constexpr size_t kPage = 4096;
}  // namespace

MediaChunk::MediaChunk() {
    void* p = nullptr;
    if (posix_memalign(&p, kPage, kMediaChunk) == 0) data_ = static_cast<unsigned char*>(p);
}

MediaChunk::~MediaChunk() { free(data_); }

long long media_read_full(int fd, void* buf, size_t len) {
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

long long media_write_full(int fd, const void* buf, size_t len) {
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
