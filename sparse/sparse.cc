#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "sparse/output_file.h"
#include "sparse/sparse_file.h"
#include "sparse/sparse_format.h"

sparse_file* sparse_file_new(unsigned int block_size, int64_t len) {
    // Block numbers are 32-bit and every byte offset of a block must stay a signed 64-bit
    // number, so lengths beyond that cannot be described.
    if (!sparse_block_size_valid(block_size) || len < 0 || len > INT64_MAX - UINT32_MAX)
        return nullptr;
    if ((uint64_t(len) + block_size - 1) / block_size > UINT32_MAX) return nullptr;

    auto* s = static_cast<sparse_file*>(calloc(1, sizeof(sparse_file)));
    if (!s) return nullptr;
    s->block_list = backed_block_list_new(block_size);
    if (!s->block_list) {
        free(s);
        return nullptr;
    }
    s->block_size = block_size;
    s->len = len;
    return s;
}

void sparse_file_destroy(sparse_file* s) {
    if (!s) return;
    backed_block_list_destroy(s->block_list);
    free(s);
}

int sparse_file_add_data(sparse_file* s, const void* data, unsigned int len, unsigned int block) {
    return backed_block_add_data(s->block_list, data, len, block);
}

int sparse_file_add_fill(sparse_file* s, uint32_t fill_val, unsigned int len, unsigned int block) {
    return backed_block_add_fill(s->block_list, fill_val, len, block);
}

int sparse_file_add_file(sparse_file* s, const char* filename, int64_t file_offset,
                         unsigned int len, unsigned int block) {
    return backed_block_add_file(s->block_list, filename, file_offset, len, block);
}

int sparse_file_add_fd(sparse_file* s, int fd, int64_t file_offset, unsigned int len,
                       unsigned int block) {
    return backed_block_add_fd(s->block_list, fd, file_offset, len, block);
}

void sparse_file_verbose(sparse_file* s) { s->verbose = true; }

int sparse_count_chunks(sparse_file* s) {
    uint64_t last = 0, chunks = 0;
    for (backed_block* bb = backed_block_iter_new(s->block_list); bb;
         bb = backed_block_iter_next(bb)) {
        if (bb->block > last) chunks += skip_chunk_count(bb->block - last);
        chunks++;
        last = bb->block + bb_blocks(bb->len, s->block_size);
    }
    if (last < sparse_file_blocks(s)) chunks += skip_chunk_count(sparse_file_blocks(s) - last);
    // More chunks than the header's 32-bit count (and an int) can say: not encodable.
    return chunks < INT_MAX ? int(chunks) : -EINVAL;
}

int sparse_file_write_block(output_file* out, backed_block* bb) {
    switch (bb->type) {
        case BACKED_BLOCK_DATA:
            return write_data_chunk(out, bb->len, bb->data);
        case BACKED_BLOCK_FILE:
            return write_file_chunk(out, bb->len, bb->filename, bb->file_offset);
        case BACKED_BLOCK_FD:
            return write_fd_chunk(out, bb->len, bb->fd, bb->file_offset);
        case BACKED_BLOCK_FILL:
            return write_fill_chunk(out, bb->len, bb->fill_val);
    }
    return -EINVAL;
}

static int write_all_blocks(sparse_file* s, output_file* out) {
    const uint64_t total = sparse_file_blocks(s);
    uint64_t last = 0;
    for (backed_block* bb = backed_block_iter_new(s->block_list); bb;
         bb = backed_block_iter_next(bb)) {
        uint64_t end = bb->block + bb_blocks(bb->len, s->block_size);
        // Overlapping runs, or runs outside the image, would put bytes at the wrong places of
        // the output (and make an invalid sparse image), so they are refused.
        if (bb->block < last || end > total) {
            fprintf(stderr, "error: %s: run at block %u (%u bytes) %s\n", "write_all_blocks",
                    bb->block, bb->len,
                    bb->block < last ? "overlaps the run before it" : "lies outside the image");
            return -EINVAL;
        }
        if (bb->block > last) {
            int ret = write_skip_chunk(out, int64_t((bb->block - last) * s->block_size));
            if (ret) return ret;
        }
        int ret = sparse_file_write_block(out, bb);
        if (ret) return ret;
        last = end;
    }
    // The sparse encoding counts a partial last block as a whole one; the normal encoding stops
    // at the image length by itself.
    if (last < total) return write_skip_chunk(out, int64_t((total - last) * s->block_size));
    return 0;
}

int sparse_file_write(sparse_file* s, int fd, bool gz, bool sparse, bool crc) {
    int chunks = sparse_count_chunks(s);
    if (chunks < 0) return chunks;
    output_file* out = output_file_open_fd(fd, s->block_size, s->len, gz, sparse, chunks, crc);
    if (!out) return -ENOMEM;
    int ret = write_all_blocks(s, out);
    // The last bytes may reach the file only at the close.
    const int closed = output_file_close(out);
    return ret < 0 ? ret : closed;
}

int sparse_file_callback(sparse_file* s, bool sparse, bool crc,
                         int (*write)(void* priv, const void* data, int len), void* priv) {
    int chunks = sparse_count_chunks(s);
    if (chunks < 0) return chunks;
    output_file* out =
        output_file_open_callback(write, priv, s->block_size, s->len, false, sparse, chunks, crc);
    if (!out) return -ENOMEM;
    int ret = write_all_blocks(s, out);
    output_file_close(out);
    return ret;
}

int64_t sparse_file_len(sparse_file* s, bool sparse, bool crc) {
    int64_t count = 0;
    int chunks = sparse_count_chunks(s);
    if (chunks < 0) return -1;
    output_file* out = output_file_open_callback(output_count_write, &count, s->block_size, s->len,
                                                 false, sparse, chunks, crc);
    if (!out) return -1;
    int ret = write_all_blocks(s, out);
    output_file_close(out);
    if (ret < 0) return -1;
    return count;
}
