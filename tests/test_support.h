// Shared helpers of the in-process tests: scratch files and running a command line against an
// emulated board.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "tools/board/board.h"
#include "tools/board/board_transport.h"

namespace testsupport {

// A fresh scratch folder for the running test process (removed at exit; the folders of test
// processes that crashed or were killed are removed by the next one that makes its folder).
std::string temp_dir();
// Removes the scratch folders in `base` whose test process no longer exists; the number removed.
int remove_orphaned_temp_dirs(const std::string& base);
std::string write_file(const std::string& name, const std::string& content);
std::string write_file(const std::string& name, const board::Bytes& content);
std::string read_file(const std::string& path);
// Bytes of a deterministic pseudo-random pattern.
board::Bytes pattern(size_t size, uint32_t seed = 1);
// The seed of a test's generated data: VORN_TEST_SEED when set, else a fixed one. A failing case
// prints it, so that the run can be repeated with exactly that data.
uint32_t test_seed();

// A pipe holding `content`, its writing end closed, read through its /dev/fd name as a shell's
// "<(...)" or "/dev/stdin" would be. The reading end is closed with the object.
struct FedPipe {
    explicit FedPipe(const std::string& content);
    ~FedPipe();
    FedPipe(const FedPipe&) = delete;
    FedPipe& operator=(const FedPipe&) = delete;
    int fds[2] = {-1, -1};
    std::string path;
};

// A FIFO at path; false where the system has none (Windows), and the tests of FIFOs do not run
// there.
bool make_fifo(const std::string& path);

struct RunResult {
    int status;
    std::string err;  // what the run wrote to standard error
    board::BoardTransport* transport;  // the transport the run used (owned by the harness)
};

// Makes the board answer `command` with exactly these raw replies (each one transfer) instead of
// its own, for the reply rules that a well-behaved board never exercises.
void script(board::Board& board, const std::string& command, const std::vector<std::string>& replies);

// Runs one command line ("vorn" is prepended) with `board` behind an in-process transport, then
// empties the action queue so that another run can follow in the same test. Death tests pass
// capture false: they watch standard error themselves.
RunResult run_vorn(board::Board& board, const std::vector<std::string>& words, bool capture = true);

}  // namespace testsupport
