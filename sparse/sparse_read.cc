// The reader: a sparse_file from a sparse image on a descriptor, or from a normal image.
#include <cerrno>
#include <unistd.h>

#include "sparse/aligned_buf.h"
#include "sparse/output_file.h"
#include "sparse/sparse_read.h"

char* copybuf = nullptr;

static int read_header(int fd, sparse_header* header) {
    uint8_t bytes[SPARSE_HEADER_LEN];
    int ret = read_all(fd, bytes, sizeof(bytes));
    if (ret < 0) return ret;
    *header = sparse_header_decode(bytes);
    return 0;
}

static bool header_sizes_ok(const sparse_header& h) {
    return h.file_header_size >= SPARSE_HEADER_LEN && h.chunk_header_size >= CHUNK_HEADER_LEN;
}

static int alloc_copybuf() {
    if (!copybuf) copybuf = static_cast<char*>(aligned_buf_alloc(COPY_BUF_SIZE));
    return copybuf ? 0 : -ENOMEM;
}

// The chunks from `pos` on; *pos ends where reading stopped.
static int read_chunks(sparse_file* s, sparse_source* src, const sparse_header& header,
                       int64_t* pos, bool crc) {
    uint32_t checksum = 0;
    chunk_context ctx = {s, src, 0, 0, header.total_blocks, crc ? &checksum : nullptr};
    for (uint32_t i = 0; i < header.chunk_count; i++) {
        const uint8_t* bytes = sparse_source_bytes(src, *pos, CHUNK_HEADER_LEN);
        if (!bytes) return src->error;
        const chunk_header chunk = chunk_header_decode(bytes);
        // Header bytes beyond the 12 known ones are passed over.
        *pos += header.chunk_header_size;
        ctx.pos = *pos;

        int ret = process_chunk(ctx, chunk, header.chunk_header_size);
        if (ret < 0) return ret;
        *pos += chunk.chunk_bytes - header.chunk_header_size;
        ctx.cur_block += uint32_t(ret);
        ctx.blocks_left -= uint32_t(ret);
    }
    return ctx.cur_block == header.total_blocks ? 0 : -EINVAL;
}

// The image from *pos on; *pos ends where reading stopped.
static int read_image(sparse_file* s, sparse_source* src, int64_t* pos, bool crc) {
    int ret = alloc_copybuf();
    if (ret < 0) return ret;
    const uint8_t* bytes = sparse_source_bytes(src, *pos, SPARSE_HEADER_LEN);
    if (!bytes) return src->error;
    const sparse_header header = sparse_header_decode(bytes);
    *pos += SPARSE_HEADER_LEN;
    if (header.magic != SPARSE_HEADER_MAGIC || header.major_version != SPARSE_MAJOR_VERSION ||
        !header_sizes_ok(header))
        return -EINVAL;
    *pos += header.file_header_size - SPARSE_HEADER_LEN;
    return read_chunks(s, src, header, pos, crc);
}

int sparse_read_source(sparse_file* s, sparse_source* src, int64_t start, bool crc) {
    return read_image(s, src, &start, crc);
}

// Headers come through the source's buffer rather than a read and a seek each; the descriptor
// is left where reading stopped, as if it had been read directly.
int sparse_file_read_sparse(sparse_file* s, int fd, bool crc) {
    const off_t start = lseek(fd, 0, SEEK_CUR);
    if (start < 0) return -errno;
    sparse_source src;
    int ret = sparse_source_open_fd(&src, fd);
    int64_t pos = start;
    if (ret == 0) ret = read_image(s, &src, &pos, crc);
    sparse_source_close(&src);
    if (lseek(fd, pos, SEEK_SET) < 0 && ret == 0) ret = -errno;
    return ret;
}

int sparse_file_read(sparse_file* s, int fd, bool sparse, bool crc) {
    if (crc && !sparse) return -EINVAL;
    if (sparse) return sparse_file_read_sparse(s, fd, crc);
    return sparse_file_read_normal(s, fd);
}

// The empty object a sparse header describes, or none (reported when verbose). `ret` is the
// result of reading the header.
static sparse_file* object_for_header(int ret, const sparse_header& header, bool verbose) {
    if (ret < 0) {
        verbose_error(verbose, ret, "header");
        return nullptr;
    }
    if (header.magic != SPARSE_HEADER_MAGIC) {
        verbose_error(verbose, -EINVAL, "header magic");
        return nullptr;
    }
    if (header.major_version != SPARSE_MAJOR_VERSION) {
        verbose_error(verbose, -EINVAL, "header major version");
        return nullptr;
    }
    if (!header_sizes_ok(header)) return nullptr;

    // A block size of 0 or one that is not whole words is refused here, as is an image too
    // large to describe; sparse_file_new makes no object for either.
    uint64_t len = uint64_t(header.total_blocks) * header.block_size;
    sparse_file* s = nullptr;
    if (len <= SPARSE_IMPORT_MAX_LEN) s = sparse_file_new(header.block_size, int64_t(len));
    if (!s) {
        verbose_error(verbose, -EINVAL, nullptr);
        return nullptr;
    }
    s->verbose = verbose;
    return s;
}

sparse_file* sparse_file_import(int fd, bool verbose, bool crc) {
    sparse_header header;
    sparse_file* s = object_for_header(read_header(fd, &header), header, verbose);
    if (!s) return nullptr;

    if (lseek(fd, 0, SEEK_SET) < 0) {
        verbose_error(verbose, -errno, "seeking");
        sparse_file_destroy(s);
        return nullptr;
    }

    if (sparse_file_read(s, fd, true, crc) < 0) {
        sparse_file_destroy(s);
        return nullptr;
    }
    return s;
}

sparse_file* sparse_file_import_buf(const void* data, size_t len, bool verbose, bool crc) {
    sparse_header header = {};
    const int ret = len < SPARSE_HEADER_LEN ? -EINVAL : 0;
    if (ret == 0) header = sparse_header_decode(static_cast<const uint8_t*>(data));
    sparse_file* s = object_for_header(ret, header, verbose);
    if (!s) return nullptr;

    sparse_source src;
    sparse_source_open_mem(&src, data, len);
    if (sparse_read_source(s, &src, 0, crc) < 0) {
        sparse_file_destroy(s);
        return nullptr;
    }
    return s;
}

sparse_file* sparse_file_import_auto(int fd, bool crc, bool verbose) {
    sparse_file* s = sparse_file_import(fd, verbose, crc);
    if (s) return s;

    off_t len = lseek(fd, 0, SEEK_END);
    if (len < 0) return nullptr;
    if (lseek(fd, 0, SEEK_SET) < 0) return nullptr;

    s = sparse_file_new(4096, len);
    if (!s) return nullptr;
    if (sparse_file_read_normal(s, fd) < 0) {
        sparse_file_destroy(s);
        return nullptr;
    }
    return s;
}
