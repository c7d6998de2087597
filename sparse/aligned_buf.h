// Page-aligned I/O buffers: reads from the page cache into a buffer a few bytes off a cache-line
// boundary run several times slower, and plain malloc returns exactly such addresses.
#pragma once
#include <cstddef>

// size bytes on a page boundary (zeroed when asked), or none.
void* aligned_buf_alloc(size_t size, bool zeroed = false);
void aligned_buf_free(void* p);

// Bytes of file data the library holds in memory at once while streaming a run.
constexpr size_t SPARSE_IO_PIECE = 1 << 20;

// One aligned buffer owned by a scope (none when allocation failed).
struct AlignedBuf {
    void* p;
    explicit AlignedBuf(size_t size, bool zeroed = false) : p(aligned_buf_alloc(size, zeroed)) {}
    ~AlignedBuf() { aligned_buf_free(p); }
    AlignedBuf(const AlignedBuf&) = delete;
    AlignedBuf& operator=(const AlignedBuf&) = delete;
};
