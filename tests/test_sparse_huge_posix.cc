// Sparse images of several GiB held in memory: address space that is only ever read, mapped
// without backing store, which is a POSIX system's way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "protocol/exchange.h"
#include "protocol/sparse_download.h"
#include "sparse/output_file.h"
#include "sparse/sparse.h"
#include "tools/board/board_transport.h"

namespace {

// One write(2) moves at most about 2 GiB; a longer run must still be written whole instead of
// failing as an "incomplete write". The callback sink takes int lengths and gets pieces.
TEST(SparseWriter, RunsLongerThanOneTransfer) {
    const size_t len = size_t(3) << 30;
    void* mem = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    int fd = open("/dev/null", O_WRONLY);
    output_file* out = output_file_open_fd(fd, 4096, int64_t(len), false, false, 1, false);
    EXPECT_EQ(write_data_chunk(out, uint32_t(len), mem), 0);
    output_file_close(out);
    close(fd);

    std::vector<int> lens;
    auto count = [](void* priv, const void*, int n) {
        static_cast<std::vector<int>*>(priv)->push_back(n);
        return 0;
    };
    out = output_file_open_callback(count, &lens, 4096, int64_t(len), false, true, 1, false);
    EXPECT_EQ(write_data_chunk(out, uint32_t(len), mem), 0);
    output_file_close(out);
    EXPECT_EQ(lens, (std::vector<int>{28, 12, 2147483647, 1073741825}));
    munmap(mem, len);
}

// A stream longer than 2 GiB would be announced with a wrapped 32-bit length: refused before
// anything is sent.
TEST(SparseDownload, StreamsOver4GiBAreRefused) {
    board::Board board;
    board::BoardTransport t(board);
    const size_t big = 0xFFFFF000;
    void* mem = mmap(nullptr, big, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    sparse_file* s = sparse_file_new(4096, int64_t(2) * big);
    sparse_file_add_data(s, mem, uint32_t(big), 0);
    sparse_file_add_data(s, mem, uint32_t(big), uint32_t(big / 4096));
    EXPECT_GT(sparse_file_len(s, true, false), int64_t(1) << 32);
    EXPECT_EQ(fb_download_data_sparse(&t, s), -1);
    EXPECT_TRUE(board.commands.empty());
    EXPECT_NE(std::string(fb_get_error()).find("too large"), std::string::npos);
    sparse_file_destroy(s);
    munmap(mem, big);
}

}  // namespace
