#include "tools/board/board_transport.h"

#include <cerrno>

namespace board {

ssize_t BoardTransport::Write(const void* data, size_t len) {
    if (closed_) {
        errno = EBADF;
        return -1;
    }
    // A USB write of nothing is not a transfer.
    if (len == 0) {
        errno = EINVAL;
        return -1;
    }
    write_sizes.push_back(len);
    return board_.host_write(data, len);
}

ssize_t BoardTransport::Read_timeout(void* data, size_t len, unsigned) {
    if (closed_) {
        errno = EBADF;
        return -1;
    }
    long n = board_.host_read(data, len);
    if (n == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    if (n > 0) read_sizes.push_back((size_t)n);
    return n;
}

int BoardTransport::Close() {
    close_calls++;
    closed_ = true;
    return 0;
}

}  // namespace board
