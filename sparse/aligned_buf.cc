#include "sparse/aligned_buf.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

void* aligned_buf_alloc(size_t size, bool zeroed) {
    static const long pagesize = sysconf(_SC_PAGESIZE);
    const size_t page = pagesize > 0 ? size_t(pagesize) : 4096;
    void* p = nullptr;
    if (posix_memalign(&p, page, size ? size : 1) != 0) return nullptr;
    if (zeroed) memset(p, 0, size);
    return p;
}

void aligned_buf_free(void* p) { free(p); }
