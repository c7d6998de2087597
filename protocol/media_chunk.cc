#include "protocol/media_chunk.h"

#include "util/platform.h"

namespace {
constexpr size_t kPage = 4096;
}  // namespace

MediaChunk::MediaChunk() {
    data_ = static_cast<unsigned char*>(aligned_alloc_bytes(kPage, kMediaChunk));
}

MediaChunk::~MediaChunk() { aligned_free(data_); }
