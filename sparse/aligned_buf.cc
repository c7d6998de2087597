#include "sparse/aligned_buf.h"

#include <cstring>

#include "util/platform.h"

void* aligned_buf_alloc(size_t size, bool zeroed) {
    void* p = aligned_alloc_bytes(memory_page_size(), size);
    if (p && zeroed) memset(p, 0, size);
    return p;
}

void aligned_buf_free(void* p) { aligned_free(p); }
