// Writers: an output_file turns the chunk requests of the block walk (data, fill, don't care,
// end) into bytes, with one of two encodings (the sparse format or the expanded "normal" image)
// and one of two sinks (an open descriptor or a caller's write callback).
#pragma once
#include <cstddef>
#include <cstdint>

struct output_file;

// Where the bytes go.
struct output_sink_ops {
    int (*open)(output_file* out, int fd);
    int (*skip)(output_file* out, int64_t n);
    int (*pad)(output_file* out, int64_t len);
    int (*write)(output_file* out, const void* data, size_t n);
    void (*close)(output_file* out);
    // Delivers what the sink holds back: 0, or the failure of delivering it.
    int (*flush)(output_file* out);
};

// How runs are encoded. A data chunk is also offered in three steps (header, payload pieces,
// tail) so that runs read from files are streamed in bounded pieces with the same bytes out.
struct output_chunk_ops {
    int (*write_data_chunk)(output_file* out, uint32_t len, const void* data);
    int (*write_fill_chunk)(output_file* out, uint32_t len, uint32_t fill_val);
    int (*write_skip_chunk)(output_file* out, int64_t len);
    int (*write_end_chunk)(output_file* out);
    int (*begin_data_chunk)(output_file* out, uint32_t len);
    int (*write_data_piece)(output_file* out, const void* data, uint32_t n);
    int (*end_data_chunk)(output_file* out, uint32_t len);
};

struct output_file {
    uint32_t crc;
    const output_sink_ops* ops;
    const output_chunk_ops* chunk_ops;
    bool use_crc;
    uint32_t block_size;
    int64_t len;
    // Zeros for padding a partial block (at most a block, and buf_len bytes) and the current
    // fill pattern (buf_len bytes: a whole number of blocks, or a bounded piece of one huge
    // block). Each is made when first needed: the sparse encoding never needs the pattern and
    // rarely the zeros, and measuring or cutting an image opens many outputs.
    char* zero_buf;
    uint32_t* fill_buf;
    size_t buf_len;
    // Leading bytes of fill_buf that hold fill_buf_val: a short fill sets only what it uses.
    size_t fill_buf_used;
    uint32_t fill_buf_val;
    // Position in the expanded image, so that the normal encoding never writes past `len`.
    int64_t pos;
    // Piece buffer for runs read from files, allocated at the first such run and grown up to
    // one I/O piece as longer runs come.
    void* io_buf;
    size_t io_buf_len;
    // What io_buf holds of which file for small runs: win_have bytes at win_off of win_fd;
    // win_next bytes were read last.
    int win_fd;
    int64_t win_off;
    size_t win_have;
    size_t win_next;
};

struct output_file_normal {
    output_file out;
    int fd;
    // Small writes gathered into one (gathered bytes of gather_buf) until a large write, a
    // skip, a change of length or the close.
    char* gather_buf;
    size_t gathered;
};

struct output_file_callback {
    output_file out;
    void* priv;
    int (*write)(void* priv, const void* data, int len);
};

extern const output_sink_ops file_ops;
extern const output_sink_ops callback_file_ops;
extern const output_chunk_ops sparse_file_ops;
extern const output_chunk_ops normal_file_ops;

output_file* output_file_open_fd(int fd, unsigned int block_size, int64_t len, bool gz,
                                 bool sparse, int chunks, bool crc);
output_file* output_file_open_callback(int (*write)(void*, const void*, int), void* priv,
                                       unsigned int block_size, int64_t len, bool gz, bool sparse,
                                       int chunks, bool crc);
// Ends the image and frees the output: 0, or the failure of delivering the last bytes held
// back by the sink (the end chunk's own result is not reported).
int output_file_close(output_file* out);
// A write callback that sends nothing and adds each length to the int64_t at `priv`: the size of
// an encoding without making it.
int output_count_write(void* priv, const void* data, int len);

int write_data_chunk(output_file* out, unsigned int len, const void* data);
int write_fill_chunk(output_file* out, unsigned int len, uint32_t fill_val);
int write_skip_chunk(output_file* out, int64_t len);
int write_fd_chunk(output_file* out, unsigned int len, int fd, int64_t offset);
int write_file_chunk(output_file* out, unsigned int len, const char* file, int64_t offset);

// The zero buffer (its length in *len) and the pattern buffer, made at the first call; none
// when memory is short.
const char* output_zeros(output_file* out, size_t* len);
uint32_t* output_fill_buf(output_file* out);

// Reads exactly n bytes: 0, -errno for a failed read, -EINVAL at the end of the file.
int read_all(int fd, void* buf, size_t n);

// Bytes of the normal encoding's next n that still lie inside the image.
inline int64_t output_clip(const output_file* out, int64_t n) {
    if (out->pos >= out->len) return 0;
    return n < out->len - out->pos ? n : out->len - out->pos;
}
