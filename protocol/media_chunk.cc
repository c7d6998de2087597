#include "protocol/media_chunk.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace {
constexpr size_t kPage = 4096;
}  // namespace

MediaChunk::MediaChunk() {
    void* p = nullptr;
    if (posix_memalign(&p, kPage, kMediaChunk) == 0) data_ = static_cast<unsigned char*>(p);
}

MediaChunk::~MediaChunk() { free(data_); }
