// The sparse encoding of a raw image, made on the fly: one pass over the image builds an index of
// chunks (runs of data blocks as raw chunks, runs of blocks that repeat one 32-bit value as fill
// chunks, never don't-care chunks, so the expanded image holds the raw image's zeros exactly),
// and any portion of the encoded stream is then served from that index: headers made up, raw
// payloads read from the image at their offsets, fill values. Nothing is written to disk.
//
// The index stays small whatever the image: fill runs too short to pay for their chunk, and the
// runs below a share of the image size that bounds the number of chunks, are folded into the raw
// run around them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>

// One chunk of the stream; it covers the blocks up to the next chunk's first block.
struct sparse_stream_chunk {
    uint64_t stream_offset : 63;  // where its chunk header starts in the stream
    uint64_t fill : 1;            // a fill chunk; else raw
    uint32_t block;               // first block of the image it covers
    uint32_t value;               // the fill value
};

// The run being gathered by the one pass.
struct sparse_stream_runs {
    uint32_t raw_start = 0, raw_blocks = 0;
    uint32_t fill_start = 0, fill_blocks = 0, fill_value = 0;
    uint32_t next_block = 0;
};

struct sparse_stream {
    int fd = -1;  // the raw image; not owned
    int64_t image_size = 0;
    uint32_t block_size = 0;
    uint32_t total_blocks = 0;
    // A fill run shorter than this many blocks goes out inside a raw chunk.
    uint32_t min_fill_blocks = 1;
    bool crc = false;  // end with a CRC32 chunk over the expanded image
    uint32_t crc_value = 0;
    int64_t stream_size = 0;  // while building: where the next chunk header goes
    uint64_t raw_payload = 0;  // bytes of raw payload in the stream
    std::deque<sparse_stream_chunk> chunks;
    sparse_stream_runs runs;
};

// The block size for an image of `size` bytes: 4096 when it divides the size, else the largest
// power of two that does; 0 when the size is not a multiple of 4 (no sparse image can end
// exactly where such an image ends).
uint32_t sparse_stream_block_size(int64_t size);

// Prepares an index of an image of `size` bytes in blocks of block_size bytes (0: the choice of
// sparse_stream_block_size). -EINVAL when the block size is not a multiple of 4, is over 64 MiB,
// does not divide the size, or gives more than 2^32 - 1 blocks.
int sparse_stream_init(sparse_stream* s, int64_t size, uint32_t block_size, bool crc);

// Adds the next `len` bytes of the image (whole blocks) to the index.
void sparse_stream_feed(sparse_stream* s, const void* data, size_t len);
// Closes the index once every block has been fed; the stream size is final from here.
void sparse_stream_finish(sparse_stream* s);

// The one pass: init, then feed every block of the image from `fd` (read from offset 0), then
// finish. The descriptor stays the caller's and must stay open while the stream is served.
// 0, or a negative errno value (-EINVAL as from init, or when the file is shorter than `size`).
int sparse_stream_index(sparse_stream* s, int fd, int64_t size, uint32_t block_size, bool crc);

// Fills `len` bytes of the encoded stream starting `offset` bytes into it. 0, or a negative errno
// value (-EINVAL for a range beyond the stream or an image that became shorter).
int sparse_stream_read(const sparse_stream* s, int64_t offset, void* buf, size_t len);

// Chunks in the stream, a CRC32 chunk included.
uint32_t sparse_stream_chunk_count(const sparse_stream* s);
// Bytes of memory the index holds.
size_t sparse_stream_index_bytes(const sparse_stream* s);
