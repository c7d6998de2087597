// The sparse encoding: one chunk per run, payload bytes passed straight from the run.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "sparse/backed_block.h"
#include "sparse/output_file.h"
#include "sparse/sparse_crc32.h"
#include "sparse/sparse_format.h"

static int write_chunk_header(output_file* out, uint16_t type, uint64_t blocks, uint64_t bytes) {
    uint8_t h[CHUNK_HEADER_LEN];
    chunk_header_encode({type, 0, uint32_t(blocks), uint32_t(bytes)}, h);
    int ret = out->ops->write(out, h, sizeof(h));
    return ret < 0 ? ret : 0;
}

static uint64_t round_up(const output_file* out, uint64_t len) {
    return bb_blocks(len, out->block_size) * out->block_size;
}

static int write_sparse_data_begin(output_file* out, uint32_t len) {
    uint64_t rnd = round_up(out, len);
    if (CHUNK_HEADER_LEN + rnd > UINT32_MAX) {
        fprintf(stderr, "error: %s: data of %u bytes does not fit one chunk\n",
                "write_sparse_data_chunk", len);
        return -1;
    }
    return write_chunk_header(out, CHUNK_RAW, bb_div(rnd, out->block_size),
                              CHUNK_HEADER_LEN + rnd);
}

static int write_sparse_data_piece(output_file* out, const void* data, uint32_t n) {
    if (n == 0) return 0;
    int ret = out->ops->write(out, data, n);
    if (ret < 0) return ret;
    if (out->use_crc) out->crc = sparse_crc32(out->crc, data, n);
    return 0;
}

// Zero padding of a partial last block.
static int write_sparse_data_end(output_file* out, uint32_t len) {
    uint64_t pad = round_up(out, len) - len;
    if (pad == 0) return 0;
    size_t zeros_len;
    const char* zeros = output_zeros(out, &zeros_len);
    if (!zeros) return -ENOMEM;
    while (pad > 0) {
        size_t n = size_t(std::min<uint64_t>(pad, zeros_len));
        int ret = out->ops->write(out, zeros, n);
        if (ret < 0) return ret;
        if (out->use_crc) out->crc = sparse_crc32(out->crc, zeros, n);
        pad -= n;
    }
    return 0;
}

static int write_sparse_data_chunk(output_file* out, uint32_t len, const void* data) {
    int ret = write_sparse_data_begin(out, len);
    if (ret == 0) ret = write_sparse_data_piece(out, data, len);
    if (ret == 0) ret = write_sparse_data_end(out, len);
    return ret;
}

static int write_sparse_fill_chunk(output_file* out, uint32_t len, uint32_t fill_val) {
    uint64_t rnd = round_up(out, len);
    int ret = write_chunk_header(out, CHUNK_FILL, bb_div(rnd, out->block_size),
                                 CHUNK_HEADER_LEN + 4);
    if (ret < 0) return ret;
    uint8_t value[4];
    put_le32(value, fill_val);
    ret = out->ops->write(out, value, sizeof(value));
    if (ret < 0) return ret;
    if (out->use_crc) out->crc = sparse_crc32_fill(out->crc, fill_val, rnd);
    return 0;
}

static int write_sparse_skip_chunk(output_file* out, int64_t len) {
    uint64_t blocks = bb_div(uint64_t(len), out->block_size);
    if (len < 0 || blocks * out->block_size != uint64_t(len)) {
        fprintf(stderr, "error: %s: don't care size %lli is not a multiple of the block size %u\n",
                "write_sparse_skip_chunk", (long long)len, out->block_size);
        return -1;
    }
    for (uint64_t left = blocks; left > 0;) {
        uint64_t n = std::min<uint64_t>(left, CHUNK_MAX_BLOCKS);
        int ret = write_chunk_header(out, CHUNK_DONT_CARE, n, CHUNK_HEADER_LEN);
        if (ret < 0) return ret;
        left -= n;
    }
    // Readers check don't-care blocks as zero bytes, so the running checksum counts them so too.
    if (out->use_crc) out->crc = sparse_crc32_fill(out->crc, 0, uint64_t(len));
    return 0;
}

static int write_sparse_end_chunk(output_file* out) {
    if (!out->use_crc) return 0;
    int ret = write_chunk_header(out, CHUNK_CRC32, 0, CHUNK_HEADER_LEN + 4);
    if (ret < 0) return ret;
    uint8_t value[4];
    put_le32(value, out->crc);
    ret = out->ops->write(out, value, sizeof(value));
    return ret < 0 ? ret : 0;
}

const output_chunk_ops sparse_file_ops = {
    write_sparse_data_chunk, write_sparse_fill_chunk, write_sparse_skip_chunk,
    write_sparse_end_chunk,  write_sparse_data_begin, write_sparse_data_piece,
    write_sparse_data_end,
};
