// A heap buffer that releases itself on every way out of its owner's scope.
#pragma once
#include <cstddef>

// Starts on a page boundary: read(2) from the page cache into a buffer a few bytes off a cache
// line runs several times slower, and malloc of 128 KiB returns exactly such an address.
class PageBuffer {
  public:
    explicit PageBuffer(size_t size);
    ~PageBuffer();
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    // Null when the buffer could not be allocated.
    unsigned char* data() const { return data_; }

  private:
    unsigned char* data_ = nullptr;
};
