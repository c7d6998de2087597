// An in-process Transport with an emulated Board behind it, for tests and benchmarks.
#pragma once
#include <vector>
#include "tools/board/board.h"
#include "usb/transport.h"

namespace board {

class BoardTransport : public Transport {
  public:
    explicit BoardTransport(Board& board) : board_(board) {}

    ssize_t Read(void* data, size_t len) override { return Read_timeout(data, len, 0); }
    ssize_t Write(const void* data, size_t len) override;
    int Close() override;
    // Nothing pending on the board means the host would wait forever: that is reported as a
    // time-out (ETIMEDOUT), so a test never hangs. A vanished board gives ENODEV; the board's
    // other transfer failures (EOVERFLOW, EPIPE, ...) come through as they are.
    ssize_t Read_timeout(void* data, size_t len, unsigned timeout_ms) override;

    bool closed() const { return closed_; }
    int close_calls = 0;
    // Sizes of the transfers in each direction, in order.
    std::vector<size_t> write_sizes;
    std::vector<size_t> read_sizes;

  private:
    Board& board_;
    bool closed_ = false;
};

}  // namespace board
