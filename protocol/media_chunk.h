// What the media write and read streams share: their page-aligned chunk buffer and whole-count
// file transfers.
#pragma once
#include <cstddef>

// Both streams move the medium's data in transfers of at most this many bytes.
constexpr unsigned kMediaChunk = 0x20000;

// A chunk buffer on a page boundary: read(2) from the page cache into a buffer a few bytes off a
// cache line runs several times slower, and malloc of 128 KiB returns exactly such an address.
class MediaChunk {
  public:
    MediaChunk();
    ~MediaChunk();
    MediaChunk(const MediaChunk&) = delete;
    MediaChunk& operator=(const MediaChunk&) = delete;

    // Null when the buffer could not be allocated.
    unsigned char* data() const { return data_; }

  private:
    unsigned char* data_ = nullptr;
};
