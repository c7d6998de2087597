// Page-aligned I/O buffers: reads from the page cache into a buffer a few bytes off a cache-line
// boundary run several times slower, and plain malloc returns exactly such addresses.
#pragma once
#include <cstddef>
#include <cstdint>

// size bytes on a page boundary (zeroed when asked), or none.
void* aligned_buf_alloc(size_t size, bool zeroed = false);
void aligned_buf_free(void* p);

// Bytes of file data the library holds in memory at once while streaming a run.
constexpr size_t SPARSE_IO_PIECE = 1 << 20;

// The buffer for reading an image of image_len bytes block by block: whole blocks, about one I/O
// piece (one block when a block is larger), but no more than the image holds, so that small
// images, which are read often, cost small buffers.
size_t sparse_block_piece(size_t block_size, int64_t image_len);

// One aligned buffer owned by a scope (none when allocation failed).
struct AlignedBuf {
    void* p;
    explicit AlignedBuf(size_t size, bool zeroed = false) : p(aligned_buf_alloc(size, zeroed)) {}
    ~AlignedBuf() { aligned_buf_free(p); }
    AlignedBuf(const AlignedBuf&) = delete;
    AlignedBuf& operator=(const AlignedBuf&) = delete;
};
