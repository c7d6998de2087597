#include "sparse/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sparse/aligned_buf.h"
#include "sparse/sparse_format.h"

// The fill pattern covers 64 KiB of whole blocks, so that long fills go out in few
// writes, but never more than one I/O piece (a huge block size must not mean huge buffers)
// nor more blocks than the image has (small images are written, measured and cut often).
static size_t pattern_buf_len(uint32_t block_size, uint64_t image_blocks) {
    if (block_size >= SPARSE_IO_PIECE) return SPARSE_IO_PIECE;
    size_t blocks = (64u << 10) / block_size;
    blocks = std::min<uint64_t>(blocks, image_blocks);
    return block_size * (blocks ? blocks : 1);
}

static int output_file_init(output_file* out, unsigned int block_size, int64_t len, bool sparse,
                            int chunks, bool crc) {
    out->len = len;
    out->block_size = block_size;
    out->crc = 0;
    out->use_crc = crc;
    out->pos = 0;
    out->io_buf = nullptr;
    out->io_buf_len = 0;
    out->win_fd = -1;
    out->win_have = 0;
    out->win_next = 0;
    out->fill_buf_used = 0;

    uint64_t blocks = 0;
    if (sparse_block_size_valid(block_size) && len >= 0 && chunks >= 0)
        blocks = (uint64_t(len) + block_size - 1) / block_size;
    if (!sparse_block_size_valid(block_size) || len < 0 || chunks < 0 || blocks > UINT32_MAX ||
        uint64_t(chunks) + crc > UINT32_MAX) {
        fprintf(stderr, "error: %s: cannot encode %" PRId64 " bytes in blocks of %u bytes\n",
                "output_file_init", len, block_size);
        return -EINVAL;
    }

    out->buf_len = pattern_buf_len(block_size, blocks);
    out->zero_buf = nullptr;
    out->fill_buf = nullptr;

    out->chunk_ops = sparse ? &sparse_file_ops : &normal_file_ops;

    if (sparse) {
        // A partial last block is stored as a whole one, so the header counts it.
        sparse_header header = {SPARSE_HEADER_MAGIC, SPARSE_MAJOR_VERSION, 0,
                                SPARSE_HEADER_LEN,   CHUNK_HEADER_LEN,     block_size,
                                uint32_t(blocks),    uint32_t(chunks) + crc, 0};
        uint8_t bytes[SPARSE_HEADER_LEN];
        sparse_header_encode(header, bytes);
        int ret = out->ops->write(out, bytes, sizeof(bytes));
        if (ret < 0) return ret;
    }
    return 0;
}

// A zeroed writer record of type T on the sink `ops`, or nullptr after a message that names the
// caller and the record.
template <class T>
static T* new_output(const output_sink_ops* ops, const char* caller, const char* record) {
    auto* t = static_cast<T*>(calloc(1, sizeof(T)));
    if (!t) {
        fprintf(stderr, "error: %s: malloc struct %s: %s\n", caller, record, strerror(errno));
        return nullptr;
    }
    t->out.ops = ops;
    return t;
}

output_file* output_file_open_fd(int fd, unsigned int block_size, int64_t len, bool gz,
                                 bool sparse, int chunks, bool crc) {
    // No compressed sink exists.
    if (gz) return nullptr;
    auto* outn = new_output<output_file_normal>(&file_ops, "output_file_new_normal", "outn");
    if (!outn) return nullptr;
    outn->out.ops->open(&outn->out, fd);
    if (output_file_init(&outn->out, block_size, len, sparse, chunks, crc) < 0) {
        free(outn);
        return nullptr;
    }
    return &outn->out;
}

output_file* output_file_open_callback(int (*write)(void*, const void*, int), void* priv,
                                       unsigned int block_size, int64_t len, bool /*gz*/,
                                       bool sparse, int chunks, bool crc) {
    auto* outc = new_output<output_file_callback>(&callback_file_ops, "output_file_open_callback",
                                                  "outc");
    if (!outc) return nullptr;
    outc->priv = priv;
    outc->write = write;
    if (output_file_init(&outc->out, block_size, len, sparse, chunks, crc) < 0) {
        free(outc);
        return nullptr;
    }
    return &outc->out;
}

int output_file_close(output_file* out) {
    out->chunk_ops->write_end_chunk(out);
    const int ret = out->ops->flush(out);
    aligned_buf_free(out->zero_buf);
    aligned_buf_free(out->fill_buf);
    aligned_buf_free(out->io_buf);
    out->ops->close(out);
    return ret;
}

const char* output_zeros(output_file* out, size_t* len) {
    *len = std::min<size_t>(out->block_size, out->buf_len);
    if (!out->zero_buf) {
        out->zero_buf = static_cast<char*>(aligned_buf_alloc(*len, true));
        if (!out->zero_buf)
            fprintf(stderr, "error: %s: malloc zero_buf: %s\n", "output_zeros", strerror(errno));
    }
    return out->zero_buf;
}

uint32_t* output_fill_buf(output_file* out) {
    if (!out->fill_buf) {
        // Filled as far as each fill needs it (fill_buf_used), so not cleared here.
        out->fill_buf = static_cast<uint32_t*>(aligned_buf_alloc(out->buf_len));
        if (!out->fill_buf)
            fprintf(stderr, "error: %s: malloc fill_buf: %s\n", "output_fill_buf", strerror(errno));
    }
    return out->fill_buf;
}

int write_data_chunk(output_file* out, unsigned int len, const void* data) {
    return out->chunk_ops->write_data_chunk(out, len, data);
}

int write_fill_chunk(output_file* out, unsigned int len, uint32_t fill_val) {
    return out->chunk_ops->write_fill_chunk(out, len, fill_val);
}

int write_skip_chunk(output_file* out, int64_t len) {
    return out->chunk_ops->write_skip_chunk(out, len);
}
