// The image-type probe of the partition command: is this file a sparse image? It answers as the
// import would, from the chunk headers alone, so a crafted file of millions of chunks costs a
// read of the file and a fixed amount of memory.
#include <cstdio>
#include <unistd.h>

#include "sparse/sparse.h"
#include "sparse/sparse_format.h"
#include "sparse/sparse_scan.h"
#include "util/file_io.h"
#include "util/string_printf.h"

int sparse_img_probe(int fd) {
    sparse_scan_result scan;
    if (sparse_file_scan(fd, &scan) != 0) return 0;
    fprintf(stderr, "sparse format detected\n");
    return 1;
}

int sparse_img_diagnose(int fd, std::string* reason) {
    reason->clear();
    const off_t start = lseek(fd, 0, SEEK_CUR);
    uint8_t magic[4];
    if (start < 0 || read_full_at(fd, magic, sizeof(magic), start) != (long long)sizeof(magic) ||
        get_le32(magic) != SPARSE_HEADER_MAGIC)
        return SPARSE_IMAGE_NOT;
    sparse_scan_result scan;
    if (sparse_file_scan_explained(fd, &scan, reason) != 0) return SPARSE_IMAGE_DAMAGED;
    // The import passes over raw payloads unread: the last one may be missing from the file.
    const long long size = sized_input_size(fd);
    lseek(fd, start, SEEK_SET);
    if (size >= 0 && size < scan.end) {
        *reason = veltrop::base::StringPrintf(
            "chunk %u of %u is cut short (the chunks end at byte %lld, the file at byte %lld)",
            scan.chunk_count - 1, scan.chunk_count, (long long)scan.end, size);
        return SPARSE_IMAGE_DAMAGED;
    }
    return SPARSE_IMAGE_WHOLE;
}
