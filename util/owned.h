// Small owning types for what a function opens or allocates and may give up at any of several
// exits: the descriptor is closed and the block freed when the owner goes, unless released to
// whoever keeps them (usually the action queue).
#pragma once
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <unistd.h>

#include "util/platform.h"

// An open descriptor, closed with the owner. Closing keeps errno: the reason of the failure
// that made the owner give up survives its clean-up.
class OwnedFd {
public:
    explicit OwnedFd(int fd = -1) : fd_(fd) {}
    ~OwnedFd() { reset(); }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        reset(other.release());
        return *this;
    }

    int get() const { return fd_; }
    // Hands the descriptor over; the owner then holds none.
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the held descriptor (if any) and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int err = errno;
            close(fd_);
            errno = err;
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// A block from malloc or calloc, freed with the owner.
struct FreeBlock {
    void operator()(void* p) const { free(p); }
};
template <typename T>
using OwnedBlock = std::unique_ptr<T, FreeBlock>;

// A buffer of its own size, released with the owner. It starts on a page boundary: read(2) from
// the page cache into a buffer a few bytes off a cache line runs several times slower, and
// malloc of 128 KiB returns exactly such an address.
class PageBuffer {
public:
    explicit PageBuffer(size_t size)
        : data_(static_cast<unsigned char*>(aligned_alloc_bytes(memory_page_size(), size))) {}
    ~PageBuffer() { aligned_free(data_); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;

    // Null when the buffer could not be allocated.
    unsigned char* data() const { return data_; }

private:
    unsigned char* data_;
};
