// The bytes of a sparse image as the reader and the scan take them: from a descriptor through
// one buffer, or from memory. Headers and the few payload bytes read are asked for by file
// offset; a descriptor's buffer is refilled in growing pieces while reading goes straight on
// (so millions of small chunks cost a plain read of the file) and in a small piece after a jump
// over a raw payload (so large payloads are not read at all). The descriptor's position is
// never used or moved.
#pragma once
#include <cstddef>
#include <cstdint>

struct sparse_source {
    int fd;        // -1 for an image in memory
    uint8_t* own;  // the descriptor's buffer, cap bytes
    size_t cap;
    const uint8_t* buf;  // what is at hand: own, or the image in memory
    int64_t buf_pos;     // file offset of buf[0]
    size_t have;         // bytes of the file in buf
    size_t next_read;
    int error;  // why the last request gave none
};

// A source on the descriptor, with a buffer no larger than the file needs; -ENOMEM or 0.
int sparse_source_open_fd(sparse_source* src, int fd);
void sparse_source_open_mem(sparse_source* src, const void* data, size_t len);
void sparse_source_close(sparse_source* src);

// The image in memory, or none for a descriptor.
inline const uint8_t* sparse_source_memory(const sparse_source* src) {
    return src->fd < 0 ? src->buf : nullptr;
}

// The n bytes at pos (n at most a page), valid until the next request; none with src->error
// set: -EINVAL where the image ends before them (read_all's end-of-file result), else -errno.
const uint8_t* sparse_source_bytes_slow(sparse_source* src, int64_t pos, size_t n);
inline const uint8_t* sparse_source_bytes(sparse_source* src, int64_t pos, size_t n) {
    if (__builtin_expect(pos >= src->buf_pos && uint64_t(pos - src->buf_pos) + n <= src->have, 1))
        return src->buf + (pos - src->buf_pos);
    return sparse_source_bytes_slow(src, pos, n);
}

// Copies the n bytes at pos (any n) to `out`: 0, or the error as above.
int sparse_source_read(sparse_source* src, int64_t pos, void* out, size_t n);
