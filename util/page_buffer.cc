#include "util/page_buffer.h"

#include "util/platform.h"

PageBuffer::PageBuffer(size_t size)
    : data_(static_cast<unsigned char*>(aligned_alloc_bytes(memory_page_size(), size))) {}

PageBuffer::~PageBuffer() { aligned_free(data_); }
