// Reading a normal image: every block becomes a FILL run when all its 32-bit words are equal,
// else an FD run pointing into the file. The file is read in large pieces and classified
// block by block; consecutive blocks of one kind are gathered by the same rule by which the
// list would merge them, so the runs come out as if queued one block at a time.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sparse/aligned_buf.h"
#include "sparse/output_file.h"
#include "sparse/sparse_read.h"

namespace {

struct pending_run {
    bool active = false;
    bb_type type = BACKED_BLOCK_FD;
    uint32_t fill_val = 0;
    uint64_t block = 0;
    int64_t offset = 0;
    uint32_t len = 0;
};

int flush(sparse_file* s, int fd, pending_run* run) {
    if (!run->active) return 0;
    run->active = false;
    if (run->type == BACKED_BLOCK_FILL)
        return sparse_file_add_fill(s, run->fill_val, run->len, uint32_t(run->block));
    return sparse_file_add_fd(s, fd, run->offset, run->len, uint32_t(run->block));
}

// Adds one block of n bytes at `offset` to the pending run, or starts a new run with it.
int add_block(sparse_file* s, int fd, pending_run* run, bool uniform, uint32_t fill_val,
              uint64_t block, int64_t offset, uint32_t n) {
    bb_type type = uniform ? BACKED_BLOCK_FILL : BACKED_BLOCK_FD;
    const uint32_t bs = s->block_size;
    if (run->active && run->type == type && (!uniform || run->fill_val == fill_val) &&
        run->len % bs == 0 && uint64_t(run->len) + bs <= bb_max_len(bs, type)) {
        run->len += n;
        return 0;
    }
    int ret = flush(s, fd, run);
    if (ret < 0) return ret;
    *run = {true, type, fill_val, block, offset, n};
    return 0;
}

bool block_uniform(const uint8_t* b, uint32_t bs) {
    // Each word equals the next exactly when every byte equals the one four places on.
    return bs <= 4 || memcmp(b, b + 4, bs - 4) == 0;
}

}  // namespace

int sparse_file_read_normal(sparse_file* s, int fd) {
    const uint32_t bs = s->block_size;
    const size_t piece = sparse_block_piece(bs, s->len);
    auto* buf = static_cast<uint8_t*>(aligned_buf_alloc(piece));
    if (!buf) return -ENOMEM;

    pending_run run;
    int64_t remaining = s->len, offset = 0;
    uint64_t block = 0;
    int ret = 0;
    while (remaining > 0 && ret == 0) {
        size_t n = size_t(std::min<int64_t>(remaining, int64_t(piece)));
        ret = read_all(fd, buf, n);
        if (ret < 0) {
            fprintf(stderr, "error: %s: failed to read sparse file\n", "sparse_file_read_normal");
            break;
        }
        for (size_t i = 0; i < n && ret == 0; i += bs) {
            uint32_t bn = uint32_t(std::min<size_t>(n - i, bs));
            // A short last block is never uniform.
            bool uniform = bn == bs && block_uniform(buf + i, bs);
            uint32_t first_word = uniform ? get_le32(buf + i) : 0;
            ret = add_block(s, fd, &run, uniform, first_word, block, offset, bn);
            offset += bn;
            block++;
        }
        remaining -= int64_t(n);
    }
    if (ret == 0) ret = flush(s, fd, &run);
    aligned_buf_free(buf);
    return ret;
}
