#include "sparse/aligned_buf.h"

#include <algorithm>
#include <cstring>

#include "util/platform.h"

void* aligned_buf_alloc(size_t size, bool zeroed) {
    void* p = aligned_alloc_bytes(memory_page_size(), size);
    if (p && zeroed) memset(p, 0, size);
    return p;
}

void aligned_buf_free(void* p) { aligned_free(p); }

size_t sparse_block_piece(size_t block_size, int64_t image_len) {
    const size_t piece = std::max(block_size, SPARSE_IO_PIECE / block_size * block_size);
    const uint64_t image = image_len > 0 ? uint64_t(image_len) : 0;
    const uint64_t blocks = std::max<uint64_t>(1, (image + block_size - 1) / block_size);
    return size_t(std::min<uint64_t>(piece, blocks * block_size));
}
