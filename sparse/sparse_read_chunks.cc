// The chunk steps of the sparse reader: each checks its payload, records its runs and, when
// checksumming, advances the running CRC over the expanded bytes.
#include <algorithm>
#include <cerrno>
#include <climits>

#include "sparse/sparse_crc32.h"
#include "sparse/sparse_read.h"

static int read_le32(const chunk_context& ctx, uint32_t* value) {
    const uint8_t* b = sparse_source_bytes(ctx.src, ctx.pos, 4);
    if (!b) return ctx.src->error;
    *value = get_le32(b);
    return 0;
}

// A run for the payload: where it lies in the file, or in the memory that holds the image.
static int add_raw_run(const chunk_context& ctx, uint32_t payload) {
    if (const uint8_t* mem = sparse_source_memory(ctx.src)) {
        // Memory has no hole to read as zeros: the whole payload must be there.
        if (uint64_t(ctx.pos) + payload > ctx.src->have) return -EINVAL;
        return sparse_file_add_data(ctx.s, mem + ctx.pos, payload, ctx.cur_block);
    }
    return sparse_file_add_fd(ctx.s, ctx.src->fd, ctx.pos, payload, ctx.cur_block);
}

static int process_raw_chunk(const chunk_context& ctx, uint32_t payload, uint32_t blocks) {
    const uint32_t bs = ctx.s->block_size;
    if (payload % bs != 0 || payload != uint64_t(blocks) * bs) return -EINVAL;
    // A chunk of no blocks records no run: the next run would start at the same block.
    if (blocks > 0) {
        int ret = add_raw_run(ctx, payload);
        if (ret < 0) return ret;
    }
    // Without checksumming the payload is passed over unread.
    if (!ctx.crc) return 0;
    for (uint32_t done = 0; done < payload;) {
        uint32_t n = std::min<uint32_t>(payload - done, COPY_BUF_SIZE);
        int ret = sparse_source_read(ctx.src, ctx.pos + done, copybuf, n);
        if (ret < 0) return ret;
        *ctx.crc = sparse_crc32(*ctx.crc, copybuf, n);
        done += n;
    }
    return 0;
}

static int process_fill_chunk(const chunk_context& ctx, uint32_t payload, uint32_t blocks) {
    if (payload != 4) return -EINVAL;
    uint32_t fill_val;
    int ret = read_le32(ctx, &fill_val);
    if (ret < 0) return ret;

    // A run holds at most 4 GiB, so a longer fill becomes several runs.
    const uint32_t bs = ctx.s->block_size;
    const uint32_t max_run = bb_max_len(bs, BACKED_BLOCK_FILL);
    uint64_t len = uint64_t(blocks) * bs;
    uint32_t block = ctx.cur_block;
    for (uint64_t left = len; left > 0;) {
        uint32_t n = uint32_t(std::min<uint64_t>(left, max_run));
        ret = sparse_file_add_fill(ctx.s, fill_val, n, block);
        if (ret < 0) return ret;
        block += n / bs;
        left -= n;
    }
    if (ctx.crc) *ctx.crc = sparse_crc32_fill(*ctx.crc, fill_val, len);
    return 0;
}

static int process_skip_chunk(const chunk_context& ctx, uint32_t payload, uint32_t blocks) {
    if (payload != 0) return -EINVAL;
    if (ctx.crc) *ctx.crc = sparse_crc32_fill(*ctx.crc, 0, uint64_t(blocks) * ctx.s->block_size);
    return 0;
}

static int process_crc32_chunk(const chunk_context& ctx, uint32_t payload) {
    if (payload != 4) return -EINVAL;
    uint32_t value;
    int ret = read_le32(ctx, &value);
    if (ret < 0) return ret;
    if (ctx.crc && value != *ctx.crc) return -EINVAL;
    return 0;
}

// Checks that apply to every chunk that covers blocks, before its own step.
static int check_blocks(const chunk_context& ctx, const chunk_header& chunk, bool payload_ok) {
    if (!payload_ok) return -EINVAL;
    // Block counts beyond the signed 32-bit range, or past the image's end, are refused
    // before anything is recorded for them.
    if (chunk.chunk_blocks > INT32_MAX || chunk.chunk_blocks > ctx.blocks_left) return -EINVAL;
    return 0;
}

using chunk_step = int (*)(const chunk_context& ctx, uint32_t payload, uint32_t blocks);

// A chunk that covers blocks: the common checks, then its own step; the blocks it covers.
static int process_block_chunk(const chunk_context& ctx, const chunk_header& chunk, bool payload_ok,
                               uint32_t payload, chunk_step step, const char* what) {
    int ret = check_blocks(ctx, chunk, payload_ok);
    if (ret == 0) ret = step(ctx, payload, chunk.chunk_blocks);
    if (ret < 0) {
        verbose_error(ctx.s->verbose, ret, "%s block at %lld", what, (long long)ctx.pos);
        return ret;
    }
    return int(chunk.chunk_blocks);
}

int process_chunk(const chunk_context& ctx, const chunk_header& chunk, uint16_t chunk_header_size) {
    const bool payload_ok = chunk.chunk_bytes >= chunk_header_size;
    const uint32_t payload = payload_ok ? chunk.chunk_bytes - chunk_header_size : 0;
    const bool verbose = ctx.s->verbose;
    const long long pos = ctx.pos;
    int ret;

    switch (chunk.chunk_type) {
        case CHUNK_RAW:
            return process_block_chunk(ctx, chunk, payload_ok, payload, process_raw_chunk, "data");
        case CHUNK_FILL:
            return process_block_chunk(ctx, chunk, payload_ok, payload, process_fill_chunk, "fill");
        case CHUNK_DONT_CARE:
            return process_block_chunk(ctx, chunk, payload_ok, payload, process_skip_chunk, "skip");
        case CHUNK_CRC32:
            ret = payload_ok ? process_crc32_chunk(ctx, payload) : -EINVAL;
            if (ret < 0) {
                verbose_error(verbose, -EINVAL, "crc block at %lld", pos);
                return ret;
            }
            return 0;
        default:
            verbose_error(verbose, -EINVAL, "unknown block %04X at %lld", chunk.chunk_type, pos);
            // Its payload is passed over, so the next header is read where it really starts;
            // without a payload length that makes sense there is nowhere to go on from.
            return payload_ok ? 0 : -EINVAL;
    }
}
