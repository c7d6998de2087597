// The normal encoding: the expanded image, byte for byte, never reaching past its length (a
// last run may cover its last block only in part).
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sparse/backed_block.h"
#include "sparse/output_file.h"
#include "sparse/sparse_format.h"

static void advance(output_file* out, int64_t n) {
    out->pos = n > INT64_MAX - out->pos ? INT64_MAX : out->pos + n;
}

static int normal_skip(output_file* out, int64_t n) {
    int64_t m = output_clip(out, n);
    advance(out, n);
    return m > 0 ? out->ops->skip(out, m) : 0;
}

static int write_normal_data_begin(output_file*, uint32_t) { return 0; }

static int write_normal_data_piece(output_file* out, const void* data, uint32_t n) {
    int64_t m = output_clip(out, n);
    advance(out, n);
    return m > 0 ? out->ops->write(out, data, size_t(m)) : 0;
}

static int write_normal_data_end(output_file* out, uint32_t len) {
    uint64_t rnd = bb_blocks(len, out->block_size) * out->block_size;
    return rnd > len ? normal_skip(out, int64_t(rnd - len)) : 0;
}

static int write_normal_data_chunk(output_file* out, uint32_t len, const void* data) {
    int ret = write_normal_data_piece(out, data, len);
    if (ret < 0) return ret;
    return write_normal_data_end(out, len);
}

// Makes the first `need` bytes of fill_buf hold the pattern of fill_val: 0, or -ENOMEM.
static int set_fill_pattern(output_file* out, uint32_t fill_val, size_t need) {
    if (!output_fill_buf(out)) return -ENOMEM;
    if (out->fill_buf_val != fill_val) out->fill_buf_used = 0;
    if (out->fill_buf_used >= need) return 0;
    // The pattern is the value's little-endian bytes, whatever the host's byte order.
    uint8_t bytes[4];
    uint32_t word;
    put_le32(bytes, fill_val);
    memcpy(&word, bytes, 4);
    std::fill(out->fill_buf + out->fill_buf_used / 4, out->fill_buf + need / 4, word);
    out->fill_buf_used = need;
    out->fill_buf_val = fill_val;
    return 0;
}

// A fill covers its last block whole, as in the sparse encoding, so that what follows it lands
// at the same place in both encodings.
static int write_normal_fill_chunk(output_file* out, uint32_t len, uint32_t fill_val) {
    uint64_t left = bb_blocks(len, out->block_size) * out->block_size;
    int ret = set_fill_pattern(out, fill_val, size_t(std::min<uint64_t>(left, out->buf_len)));
    if (ret < 0) return ret;
    while (left > 0) {
        uint32_t n = uint32_t(std::min<uint64_t>(left, out->buf_len));
        ret = write_normal_data_piece(out, out->fill_buf, n);
        if (ret < 0) return ret;
        left -= n;
    }
    return 0;
}

static int write_normal_skip_chunk(output_file* out, int64_t len) { return normal_skip(out, len); }

static int write_normal_end_chunk(output_file* out) { return out->ops->pad(out, out->len); }

const output_chunk_ops normal_file_ops = {
    write_normal_data_chunk, write_normal_fill_chunk, write_normal_skip_chunk,
    write_normal_end_chunk,  write_normal_data_begin, write_normal_data_piece,
    write_normal_data_end,
};
