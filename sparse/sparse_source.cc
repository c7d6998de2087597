#include "sparse/sparse_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "sparse/aligned_buf.h"
#include "util/file_io.h"

namespace {

constexpr size_t SOURCE_MIN_READ = 4096;

// Reads the piece of the file that holds the n bytes at pos.
const uint8_t* refill(sparse_source* src, int64_t pos, size_t n) {
    const bool straight_on = pos >= src->buf_pos && uint64_t(pos - src->buf_pos) <= src->have;
    src->next_read = straight_on ? std::min(src->next_read * 2, src->cap) : SOURCE_MIN_READ;
    // Reads start on a page boundary of the file, where the page cache copies fastest.
    const int64_t at = pos & ~int64_t(SOURCE_MIN_READ - 1);
    const size_t want = std::max(src->next_read, size_t(pos - at) + n);
    long long got = read_full_at(src->fd, src->own, (long long)want, at);
    if (got < 0) {
        src->error = -errno;
        src->have = 0;
        return nullptr;
    }
    src->buf = src->own;
    src->buf_pos = at;
    src->have = size_t(got);
    if (uint64_t(pos - at) + n > src->have) {
        src->error = -EINVAL;
        return nullptr;
    }
    return src->buf + (pos - at);
}

}  // namespace

int sparse_source_open_fd(sparse_source* src, int fd) {
    // A small file needs no more buffer than its own length (and the page a read starts on).
    struct stat st;
    size_t cap = SPARSE_IO_PIECE;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) < cap)
        cap = std::max<size_t>(size_t(st.st_size) + 2 * SOURCE_MIN_READ, 2 * SOURCE_MIN_READ);
    uint8_t* own = static_cast<uint8_t*>(aligned_buf_alloc(cap));
    *src = {fd, own, cap, own, 0, 0, SOURCE_MIN_READ, 0};
    return own ? 0 : -ENOMEM;
}

void sparse_source_open_mem(sparse_source* src, const void* data, size_t len) {
    // The memory is the buffer, holding the whole image: a request beyond it is the end.
    const auto* mem = static_cast<const uint8_t*>(data);
    *src = {-1, nullptr, 0, mem, 0, len, 0, 0};
}

void sparse_source_close(sparse_source* src) {
    aligned_buf_free(src->own);
    src->own = nullptr;
    src->buf = nullptr;
    src->have = 0;
}

const uint8_t* sparse_source_bytes_slow(sparse_source* src, int64_t pos, size_t n) {
    if (src->fd < 0 || pos < 0) {
        src->error = -EINVAL;
        return nullptr;
    }
    return refill(src, pos, n);
}

int sparse_source_read(sparse_source* src, int64_t pos, void* out, size_t n) {
    if (pos >= src->buf_pos && uint64_t(pos - src->buf_pos) + n <= src->have) {
        memcpy(out, src->buf + (pos - src->buf_pos), n);
        return 0;
    }
    if (src->fd < 0 || pos < 0) return -EINVAL;
    // Payloads go straight from the file to the caller, past the buffer.
    long long got = read_full_at(src->fd, out, (long long)n, pos);
    if (got < 0) return -errno;
    return got == (long long)n ? 0 : -EINVAL;
}
