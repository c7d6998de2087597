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

int sparse_file_read_sparse(sparse_file* s, int fd, bool crc) {
    if (!copybuf) {
        copybuf = static_cast<char*>(aligned_buf_alloc(COPY_BUF_SIZE));
        if (!copybuf) return -ENOMEM;
    }

    sparse_header header;
    int ret = read_header(fd, &header);
    if (ret < 0) return ret;
    if (header.magic != SPARSE_HEADER_MAGIC || header.major_version != SPARSE_MAJOR_VERSION ||
        !header_sizes_ok(header))
        return -EINVAL;
    if (header.file_header_size > SPARSE_HEADER_LEN &&
        lseek(fd, header.file_header_size - SPARSE_HEADER_LEN, SEEK_CUR) < 0)
        return -errno;

    uint32_t checksum = 0;
    chunk_context ctx = {s, fd, 0, 0, header.total_blocks, crc ? &checksum : nullptr};
    for (uint32_t i = 0; i < header.chunk_count; i++) {
        uint8_t bytes[CHUNK_HEADER_LEN];
        ret = read_all(fd, bytes, sizeof(bytes));
        if (ret < 0) return ret;
        chunk_header chunk = chunk_header_decode(bytes);
        if (header.chunk_header_size > CHUNK_HEADER_LEN &&
            lseek(fd, header.chunk_header_size - CHUNK_HEADER_LEN, SEEK_CUR) < 0)
            return -errno;
        ctx.pos = lseek(fd, 0, SEEK_CUR);
        if (ctx.pos < 0) return -errno;

        ret = process_chunk(ctx, chunk, header.chunk_header_size);
        if (ret < 0) return ret;
        ctx.cur_block += uint32_t(ret);
        ctx.blocks_left -= uint32_t(ret);
    }
    return ctx.cur_block == header.total_blocks ? 0 : -EINVAL;
}

int sparse_file_read(sparse_file* s, int fd, bool sparse, bool crc) {
    if (crc && !sparse) return -EINVAL;
    if (sparse) return sparse_file_read_sparse(s, fd, crc);
    return sparse_file_read_normal(s, fd);
}

sparse_file* sparse_file_import(int fd, bool verbose, bool crc) {
    sparse_header header;
    int ret = read_header(fd, &header);
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

    if (lseek(fd, 0, SEEK_SET) < 0) {
        verbose_error(verbose, -errno, "seeking");
        sparse_file_destroy(s);
        return nullptr;
    }

    s->verbose = verbose;
    ret = sparse_file_read(s, fd, true, crc);
    if (ret < 0) {
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
