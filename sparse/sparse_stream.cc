#include "sparse/sparse_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "sparse/aligned_buf.h"
#include "sparse/sparse_crc32.h"
#include "sparse/sparse_format.h"
#include "util/file_io.h"

namespace {

// A fill chunk (16 bytes) in the middle of a raw run also costs the 12-byte header of the raw
// chunk that resumes after it; shorter fills go out as raw bytes.
constexpr uint32_t kFillCost = 16 + CHUNK_HEADER_LEN;
// At most about this many fill chunks, so about twice as many chunks in all, whatever the image:
// 16 bytes each keeps the index within some 32 MiB.
constexpr uint64_t kMaxFillChunks = 1 << 20;
// Raw runs are cut into chunks of at most this many bytes, well inside the 32-bit chunk size.
constexpr uint64_t kMaxRawBytes = 64 << 20;
constexpr uint32_t kFillChunkBytes = CHUNK_HEADER_LEN + 4;

struct AlignedFree {
    void operator()(void* p) const { aligned_buf_free(p); }
};

void push_chunk(sparse_stream* s, bool fill, uint32_t block, uint32_t value) {
    sparse_stream_chunk c;
    c.stream_offset = (uint64_t)s->stream_size;
    c.fill = fill;
    c.block = block;
    c.value = value;
    s->chunks.push_back(c);
}

void emit_raw(sparse_stream* s) {
    sparse_stream_runs& r = s->runs;
    const uint32_t most = (uint32_t)std::max<uint64_t>(1, kMaxRawBytes / s->block_size);
    while (r.raw_blocks) {
        const uint32_t n = std::min(r.raw_blocks, most);
        push_chunk(s, false, r.raw_start, 0);
        const uint64_t payload = (uint64_t)n * s->block_size;
        s->stream_size += (int64_t)(CHUNK_HEADER_LEN + payload);
        s->raw_payload += payload;
        r.raw_start += n;
        r.raw_blocks -= n;
    }
}

// The fill run has ended: it gets a chunk of its own, or joins the raw run before it.
void settle_fill(sparse_stream* s) {
    sparse_stream_runs& r = s->runs;
    if (!r.fill_blocks) return;
    if (r.fill_blocks >= s->min_fill_blocks) {
        emit_raw(s);
        push_chunk(s, true, r.fill_start, r.fill_value);
        s->stream_size += kFillChunkBytes;
    } else {
        if (!r.raw_blocks) r.raw_start = r.fill_start;
        r.raw_blocks += r.fill_blocks;
    }
    r.fill_blocks = 0;
}

// The 12-byte header of chunk i, or of the closing CRC32 chunk when i is the chunk count,
// followed by the 4-byte fill value or checksum.
void chunk_bytes_of(const sparse_stream* s, size_t i, uint8_t out[kFillChunkBytes]) {
    chunk_header h = {CHUNK_CRC32, 0, 0, kFillChunkBytes};
    uint32_t word = s->crc_value;
    if (i < s->chunks.size()) {
        const sparse_stream_chunk& c = s->chunks[i];
        const uint32_t end = i + 1 < s->chunks.size() ? s->chunks[i + 1].block : s->total_blocks;
        h.chunk_type = c.fill ? CHUNK_FILL : CHUNK_RAW;
        h.chunk_blocks = end - c.block;
        h.chunk_bytes = c.fill ? kFillChunkBytes : CHUNK_HEADER_LEN + h.chunk_blocks * s->block_size;
        word = c.value;
    }
    chunk_header_encode(h, out);
    put_le32(out + CHUNK_HEADER_LEN, word);
}

// Serves bytes of chunk i (or of the CRC32 chunk) from `within` bytes into it; the count served,
// or a negative errno value.
long long serve_chunk(const sparse_stream* s, size_t i, uint64_t within, uint8_t* out, size_t len) {
    const bool raw = i < s->chunks.size() && !s->chunks[i].fill;
    if (!raw || within < CHUNK_HEADER_LEN) {
        uint8_t bytes[kFillChunkBytes];
        chunk_bytes_of(s, i, bytes);
        const uint64_t size = raw ? CHUNK_HEADER_LEN : kFillChunkBytes;
        const size_t n = (size_t)std::min<uint64_t>(len, size - within);
        memcpy(out, bytes + within, n);
        return (long long)n;
    }
    const sparse_stream_chunk& c = s->chunks[i];
    const uint64_t last = (uint64_t)s->stream_size - (s->crc ? kFillChunkBytes : 0);
    const uint64_t end = i + 1 < s->chunks.size() ? s->chunks[i + 1].stream_offset : last;
    const size_t n = (size_t)std::min<uint64_t>(len, end - c.stream_offset - within);
    const int64_t at = (int64_t)c.block * s->block_size + (int64_t)(within - CHUNK_HEADER_LEN);
    const long long got = read_full_at(s->fd, out, (long long)n, at);
    if (got < 0) return -errno;
    return got == (long long)n ? got : -EINVAL;
}

// Whether the block repeats its first word. 64 bytes at a time against the word twice over, so
// that each step stays in vector registers, leaving at the first step that differs: most of the
// pass is spent here on blocks of zeros.
bool uniform_block(const uint8_t* p, size_t bs) {
    // Equal to itself moved by one word: every word of the block is the first one.
    if (bs % 64) return memcmp(p, p + 4, bs - 4) == 0;
    uint64_t pattern;
    memcpy(&pattern, p, 4);
    memcpy(reinterpret_cast<uint8_t*>(&pattern) + 4, p, 4);
    for (size_t at = 0; at < bs; at += 64) {
        uint64_t diff = 0;
        for (size_t k = 0; k < 64; k += 8) {
            uint64_t w;
            memcpy(&w, p + at + k, 8);
            diff |= w ^ pattern;
        }
        if (diff) return false;
    }
    return true;
}

}  // namespace

uint32_t sparse_stream_block_size(int64_t size) {
    if (size < 0 || size % 4) return 0;
    if (size % 4096 == 0) return 4096;
    uint32_t b = 4;
    while (size % (b * 2) == 0) b *= 2;
    return b;
}

int sparse_stream_init(sparse_stream* s, int64_t size, uint32_t block_size, bool crc) {
    if (!block_size) block_size = sparse_stream_block_size(size);
    // A raw chunk of one block must still fit its 32-bit size field.
    if (size < 0 || !sparse_block_size_valid(block_size) || block_size > kMaxRawBytes ||
        size % block_size || size / block_size > 0xFFFFFFFFll)
        return -EINVAL;
    *s = sparse_stream();
    s->image_size = size;
    s->block_size = block_size;
    s->total_blocks = (uint32_t)(size / block_size);
    const uint64_t pays = kFillCost / block_size + 1;
    const uint64_t budget = (s->total_blocks + kMaxFillChunks - 1) / kMaxFillChunks;
    s->min_fill_blocks = (uint32_t)std::max<uint64_t>({1, pays, budget});
    s->crc = crc;
    s->stream_size = SPARSE_HEADER_LEN;
    return 0;
}

namespace {

// The next `n` blocks all repeat `value`: they extend the fill run, or end it and start one.
void add_fill_blocks(sparse_stream* s, uint32_t value, uint32_t n) {
    sparse_stream_runs& r = s->runs;
    if (!r.fill_blocks || value != r.fill_value) {
        settle_fill(s);
        r.fill_start = r.next_block;
        r.fill_value = value;
    }
    r.fill_blocks += n;
}

// `n` blocks of zeros, as a hole of the file is, taken without looking at their bytes.
void feed_zeros(sparse_stream* s, uint32_t n) {
    if (s->crc) s->crc_value = sparse_crc32_fill(s->crc_value, 0, (uint64_t)n * s->block_size);
    add_fill_blocks(s, 0, n);
    s->runs.next_block += n;
}

// Where the next data of the file starts at or after pos: `size` when only a hole follows, pos
// when the file system cannot tell.
int64_t next_data(int fd, int64_t pos, int64_t size) {
#ifdef SEEK_DATA
    const off_t at = lseek(fd, (off_t)pos, SEEK_DATA);
    if (at < 0) return errno == ENXIO ? size : pos;
    return std::min<int64_t>(at, size);
#else
    (void)fd;
    (void)size;
    return pos;
#endif
}

// Where the stretch of data at pos ends: the next hole, or the end of the file.
int64_t next_hole(int fd, int64_t pos, int64_t size) {
#ifdef SEEK_HOLE
    const off_t at = lseek(fd, (off_t)pos, SEEK_HOLE);
    return at <= pos ? size : std::min<int64_t>(at, size);
#else
    (void)fd;
    (void)pos;
    return size;
#endif
}

}  // namespace

void sparse_stream_feed(sparse_stream* s, const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const uint32_t bs = s->block_size;
    if (s->crc) s->crc_value = sparse_crc32(s->crc_value, p, len - len % bs);
    sparse_stream_runs& r = s->runs;
    for (; len >= bs; p += bs, len -= bs, r.next_block++) {
        if (uniform_block(p, bs)) {
            add_fill_blocks(s, get_le32(p), 1);
            continue;
        }
        settle_fill(s);
        if (!r.raw_blocks) r.raw_start = r.next_block;
        r.raw_blocks++;
    }
}

void sparse_stream_finish(sparse_stream* s) {
    settle_fill(s);
    emit_raw(s);
    if (s->crc) s->stream_size += kFillChunkBytes;
}

int sparse_stream_index(sparse_stream* s, int fd, int64_t size, uint32_t block_size, bool crc) {
    int r = sparse_stream_init(s, size, block_size, crc);
    if (r) return r;
    s->fd = fd;
    // Holes are taken for zeros without reading, so a file shorter than the size must be caught
    // here rather than by a short read.
    // A block device's status says 0 bytes: its size is where its end is.
    const long long have = sized_input_size(fd);
    if (have < 0) return -errno;
    if (have < size) return -EINVAL;
    const size_t bs = s->block_size;
    const size_t piece = sparse_block_piece(bs, size);
    std::unique_ptr<void, AlignedFree> buf(aligned_buf_alloc(piece));
    if (!buf) return -ENOMEM;
    // Holes of a sparse file on disk are zero blocks that need no reading: a 4 GiB image of
    // holes would otherwise cost as much as reading 4 GiB.
    int64_t hole = 0;
    for (int64_t pos = 0; pos < size;) {
        if (pos >= hole) {
            const int64_t data = next_data(fd, pos, size);
            if (data - pos >= (int64_t)bs) {
                const int64_t n = std::min<int64_t>((data - pos) / (int64_t)bs, 0xFFFFFFFFll);
                feed_zeros(s, (uint32_t)n);
                pos += n * (int64_t)bs;
                continue;
            }
            hole = next_hole(fd, std::max(pos, data), size);
        }
        const int64_t ahead = (hole - pos + (int64_t)bs - 1) / (int64_t)bs * (int64_t)bs;
        const size_t n = (size_t)std::min<int64_t>({(int64_t)piece, size - pos, std::max<int64_t>(ahead, (int64_t)bs)});
        const long long got = read_full_at(fd, buf.get(), (long long)n, pos);
        if (got < 0) return -errno;
        if (got != (long long)n) return -EINVAL;
        sparse_stream_feed(s, buf.get(), n);
        pos += (int64_t)n;
    }
    sparse_stream_finish(s);
    return 0;
}

int sparse_stream_read(const sparse_stream* s, int64_t offset, void* buf, size_t len) {
    if (offset < 0 || offset > s->stream_size || (uint64_t)len > (uint64_t)(s->stream_size - offset))
        return -EINVAL;
    uint8_t* out = static_cast<uint8_t*>(buf);
    const int64_t crc_at = s->crc ? s->stream_size - kFillChunkBytes : s->stream_size;
    while (len) {
        long long n;
        if (offset < SPARSE_HEADER_LEN) {
            uint8_t h[SPARSE_HEADER_LEN];
            sparse_header_encode({SPARSE_HEADER_MAGIC, SPARSE_MAJOR_VERSION, 0, SPARSE_HEADER_LEN,
                                  CHUNK_HEADER_LEN, s->block_size, s->total_blocks,
                                  sparse_stream_chunk_count(s), 0},
                                 h);
            n = (long long)std::min<int64_t>((int64_t)len, SPARSE_HEADER_LEN - offset);
            memcpy(out, h + offset, (size_t)n);
        } else if (offset >= crc_at) {
            n = serve_chunk(s, s->chunks.size(), (uint64_t)(offset - crc_at), out, len);
        } else {
            auto after = std::upper_bound(
                s->chunks.begin(), s->chunks.end(), (uint64_t)offset,
                [](uint64_t at, const sparse_stream_chunk& c) { return at < c.stream_offset; });
            const size_t i = (size_t)(after - s->chunks.begin()) - 1;
            n = serve_chunk(s, i, (uint64_t)offset - s->chunks[i].stream_offset, out, len);
        }
        if (n < 0) return (int)n;
        offset += n;
        out += n;
        len -= (size_t)n;
    }
    return 0;
}

uint32_t sparse_stream_chunk_count(const sparse_stream* s) {
    return (uint32_t)s->chunks.size() + (s->crc ? 1 : 0);
}

size_t sparse_stream_index_bytes(const sparse_stream* s) {
    // A deque holds its elements in blocks of 512 bytes, plus a map of pointers to them.
    const size_t per_block = 512 / sizeof(sparse_stream_chunk);
    const size_t blocks = s->chunks.size() / per_block + 1;
    return sizeof(*s) + blocks * (512 + sizeof(void*));
}
