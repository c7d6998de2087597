// What the media write and read streams share: their chunk size and chunk buffer.
#pragma once
#include "util/owned.h"

// Both streams move the medium's data in transfers of at most this many bytes.
constexpr unsigned kMediaChunk = 0x20000;

// One chunk's buffer; data() is null when it could not be allocated.
class MediaChunk : public PageBuffer {
  public:
    MediaChunk() : PageBuffer(kMediaChunk) {}
};
