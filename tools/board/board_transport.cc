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
    Transfer t = board_.host_out(data, len);
    if (t.error) {
        errno = t.error;
        return -1;
    }
    return (ssize_t)t.count;
}

ssize_t BoardTransport::Read_timeout(void* data, size_t len, unsigned) {
    if (closed_) {
        errno = EBADF;
        return -1;
    }
    Transfer t = board_.host_in(data, len);
    if (!t.ready) {
        errno = ETIMEDOUT;
        return -1;
    }
    if (t.error) {
        errno = t.error;
        return -1;
    }
    read_sizes.push_back(t.count);
    return (ssize_t)t.count;
}

int BoardTransport::Close() {
    close_calls++;
    closed_ = true;
    return 0;
}

}  // namespace board
