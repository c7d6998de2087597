// Small owning types for what a function opens or allocates and may give up at any of several
// exits: the descriptor is closed and the block freed when the owner goes, unless released to
// whoever keeps them (usually the action queue).
#pragma once
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <unistd.h>

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
