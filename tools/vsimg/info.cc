// Showing a sparse image: its header, its chunk list, and whether the library accepts it.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "sparse/sparse.h"
#include "sparse/sparse_format.h"
#include "tools/vsimg/vsimg.h"
#include "util/platform.h"

static const char* chunk_name(uint16_t type) {
    switch (type) {
        case CHUNK_RAW: return "raw";
        case CHUNK_FILL: return "fill";
        case CHUNK_DONT_CARE: return "dont-care";
        case CHUNK_CRC32: return "crc32";
        default: return "unknown";
    }
}

static bool read_exact(int fd, void* buf, size_t n) { return read(fd, buf, n) == ssize_t(n); }

// Lists the chunks as they are in the file; false when the file ends before the last one.
static bool list_chunks(int fd, const sparse_header& h) {
    printf("%8s  %-9s  %10s  %10s  %12s  %10s  %s\n", "chunk", "type", "blocks", "first block",
           "file offset", "bytes", "value");
    uint64_t block = 0;
    for (uint32_t i = 0; i < h.chunk_count; i++) {
        uint8_t bytes[CHUNK_HEADER_LEN];
        off_t at = lseek(fd, 0, SEEK_CUR);
        if (!read_exact(fd, bytes, sizeof(bytes)) ||
            lseek(fd, h.chunk_header_size - CHUNK_HEADER_LEN, SEEK_CUR) < 0) {
            printf("%8u  (the file ends inside this chunk header)\n", i);
            return false;
        }
        chunk_header c = chunk_header_decode(bytes);
        char value[16] = "";
        uint8_t v[4];
        if ((c.chunk_type == CHUNK_FILL || c.chunk_type == CHUNK_CRC32) && c.chunk_bytes >= 16 &&
            read_at(fd, v, 4, lseek(fd, 0, SEEK_CUR)) == 4)
            snprintf(value, sizeof(value), "0x%08x", get_le32(v));
        printf("%8u  %-9s  %10u  %10" PRIu64 "  %12lld  %10u  %s\n", i, chunk_name(c.chunk_type),
               c.chunk_blocks, block, (long long)at, c.chunk_bytes, value);
        // Only these cover blocks of the image; the library counts none for any other type.
        if (c.chunk_type == CHUNK_RAW || c.chunk_type == CHUNK_FILL ||
            c.chunk_type == CHUNK_DONT_CARE)
            block += c.chunk_blocks;
        if (c.chunk_bytes < h.chunk_header_size) return false;
        lseek(fd, c.chunk_bytes - h.chunk_header_size, SEEK_CUR);
    }
    return true;
}

int vsimg_info(const std::string& image) {
    int fd = open_host_file(image.c_str(), O_RDONLY);
    if (fd < 0) return vsimg_error("cannot open %s: %s", image.c_str(), strerror(errno));
    uint8_t bytes[SPARSE_HEADER_LEN];
    if (!read_exact(fd, bytes, sizeof(bytes))) {
        close(fd);
        return vsimg_error("%s is too short for a sparse image", image.c_str());
    }
    sparse_header h = sparse_header_decode(bytes);
    if (h.magic != SPARSE_HEADER_MAGIC) {
        close(fd);
        return vsimg_error("%s is not a sparse image (magic 0x%08x)", image.c_str(), h.magic);
    }
    printf("%s: sparse image version %u.%u\n", image.c_str(), h.major_version, h.minor_version);
    printf("  header size %u, chunk header size %u\n", h.file_header_size, h.chunk_header_size);
    printf("  block size %u, %u blocks (%" PRIu64 " bytes expanded)\n", h.block_size,
           h.total_blocks, uint64_t(h.block_size) * h.total_blocks);
    printf("  %u chunks, checksum field 0x%08x\n", h.chunk_count, h.checksum);
    bool listed = h.file_header_size >= SPARSE_HEADER_LEN &&
                  h.chunk_header_size >= CHUNK_HEADER_LEN &&
                  lseek(fd, h.file_header_size, SEEK_SET) >= 0 && list_chunks(fd, h);

    lseek(fd, 0, SEEK_SET);
    if (listed && !vsimg_check_complete(fd, image)) {
        close(fd);
        return 1;
    }
    // The library's own verdict, with its report, checksum included.
    vsimg_take_report();
    sparse_file* s = sparse_file_import(fd, true, true);
    close(fd);
    if (s && vsimg_take_report()) {
        sparse_file_destroy(s);
        return vsimg_error("%s is not a valid sparse image (a chunk of an unknown type)", image.c_str());
    }
    if (!s || !listed) {
        sparse_file_destroy(s);
        return vsimg_error("%s is not a valid sparse image", image.c_str());
    }
    sparse_file_destroy(s);
    printf("valid\n");
    return 0;
}
