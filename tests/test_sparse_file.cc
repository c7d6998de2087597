// The image object: chunk counts, encoded lengths, writing, and cutting into pieces.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "tests/sparse_test_util.h"
#include "tests/test_support.h"
#include "util/platform.h"

using namespace sparsetest;

namespace {

std::string sparse_bytes(sparse_file* s, bool crc = false) {
    Recorder r;
    EXPECT_EQ(sparse_file_callback(s, true, crc, record, &r), 0);
    EXPECT_EQ(sparse_file_len(s, true, crc), r.total());
    return r.stream();
}

TEST(SparseFile, ChunkCountsAndLengths) {
    sparse_file* s = sparse_file_new(4096, 3 * 4096);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sparse_count_chunks(s), 1);
    std::string bytes = sparse_bytes(s);
    EXPECT_EQ(bytes.size(), 40u);
    EXPECT_EQ(le32(bytes, 16), 3u);
    EXPECT_EQ(le32(bytes, 20), 1u);
    EXPECT_EQ(le16(bytes, 28), 0xCAC3);
    EXPECT_EQ(le32(bytes, 32), 3u);
    bytes = sparse_bytes(s, true);
    EXPECT_EQ(bytes.size(), 56u);
    EXPECT_EQ(le32(bytes, 20), 2u);
    EXPECT_EQ(le16(bytes, 40), 0xCAC4);
    sparse_file_destroy(s);

    s = sparse_file_new(4096, 0);
    EXPECT_EQ(sparse_count_chunks(s), 0);
    EXPECT_EQ(sparse_bytes(s).size(), 28u);
    sparse_file_destroy(s);

    std::string data(100, 'q');
    s = sparse_file_new(4096, 4096);
    sparse_file_add_data(s, data.data(), 100, 0);
    EXPECT_EQ(sparse_count_chunks(s), 1);
    bytes = sparse_bytes(s);
    EXPECT_EQ(bytes.size(), 4136u);
    EXPECT_EQ(bytes.substr(40, 100), data);
    EXPECT_EQ(bytes.substr(140), std::string(3996, '\0'));
    // The normal encoding through the callback is the expanded image.
    Recorder normal;
    EXPECT_EQ(sparse_file_callback(s, false, false, record, &normal), 0);
    EXPECT_EQ(normal.stream(), data + std::string(3996, '\0'));
    EXPECT_EQ(sparse_file_len(s, false, false), 4096);
    sparse_file_destroy(s);

    std::string blocks(8192, 'b');
    s = sparse_file_new(4096, 4 * 4096);
    sparse_file_add_data(s, blocks.data(), 4096, 0);
    sparse_file_add_data(s, blocks.data() + 4096, 4096, 2);
    EXPECT_EQ(sparse_count_chunks(s), 4);
    bytes = sparse_bytes(s);
    EXPECT_EQ(bytes.size(), 28u + 4108 + 12 + 4108 + 12);
    EXPECT_EQ(le16(bytes, 28 + 4108), 0xCAC3);
    EXPECT_EQ(le16(bytes, 28 + 4108 + 12 + 4108), 0xCAC3);
    sparse_file_destroy(s);

    // Objects that cannot be described are not made.
    EXPECT_EQ(sparse_file_new(0, 4096), nullptr);
    EXPECT_EQ(sparse_file_new(4097, 4096), nullptr);
    EXPECT_EQ(sparse_file_new(4096, -1), nullptr);
    EXPECT_EQ(sparse_file_new(4, int64_t(4) << 32), nullptr);  // 2^32 blocks
    EXPECT_NE(s = sparse_file_new(4, (int64_t(4) << 32) - 4), nullptr);
    sparse_file_destroy(s);
}

TEST(SparseFile, WriteToDescriptor) {
    std::string dir = testsupport::temp_dir();
    std::string data(8192, 'w');
    sparse_file* s = sparse_file_new(4096, 4 * 4096);
    sparse_file_add_data(s, data.data(), 8192, 1);
    int fd = open_host_file((dir + "/s.img").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(sparse_file_write(s, fd, false, true, false), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_END), sparse_file_len(s, true, false));
    EXPECT_EQ(sparse_file_write(s, fd, true, true, false), -ENOMEM);  // no compressed output
    close(fd);
    fd = open_host_file((dir + "/n.img").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(sparse_file_write(s, fd, false, false, false), 0);
    close(fd);
    EXPECT_EQ(testsupport::read_file(dir + "/n.img"),
              std::string(4096, '\0') + data + std::string(4096, '\0'));
    sparse_file_destroy(s);
}

// A normal image whose size is not whole blocks: the sparse image stores the partial block
// whole (and counts it in total_blocks, or it could not be read back); the normal encoding
// stops at the image length.
TEST(SparseFile, PartialLastBlock) {
    std::string data(10000, 'p');
    sparse_file* s = sparse_file_new(4096, 10000);
    sparse_file_add_data(s, data.data(), 10000, 0);
    std::string bytes = sparse_bytes(s);
    EXPECT_EQ(le32(bytes, 16), 3u);
    EXPECT_EQ(le32(bytes, 28 + 4), 3u);
    EXPECT_EQ(bytes.size(), 28u + 12 + 12288);
    Recorder normal;
    EXPECT_EQ(sparse_file_callback(s, false, false, record, &normal), 0);
    EXPECT_EQ(normal.stream(), data);
    EXPECT_EQ(normal.calls.size(), 1u);
    sparse_file_destroy(s);

    // A partial image with a trailing gap: the gap is whole blocks in the sparse encoding.
    s = sparse_file_new(4096, 10000);
    sparse_file_add_data(s, data.data(), 4096, 0);
    bytes = sparse_bytes(s);
    EXPECT_EQ(le32(bytes, 16), 3u);
    EXPECT_EQ(le32(bytes, 28 + 12 + 4096 + 4), 2u);
    Recorder n2;
    EXPECT_EQ(sparse_file_callback(s, false, false, record, &n2), 0);
    EXPECT_EQ(n2.total(), 10000);
    sparse_file_destroy(s);
}

// Runs that overlap, or lie outside the image, would put bytes at wrong places: refused.
TEST(SparseFile, MisplacedRunsAreRefused) {
    std::string data(8192, 'o');
    sparse_file* s = sparse_file_new(4096, 4 * 4096);
    sparse_file_add_data(s, data.data(), 8192, 0);
    sparse_file_add_data(s, data.data(), 4096, 1);
    Recorder r;
    testing::internal::CaptureStderr();
    EXPECT_EQ(sparse_file_callback(s, true, false, record, &r), -EINVAL);
    EXPECT_EQ(sparse_file_len(s, true, false), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("overlaps"), std::string::npos);
    sparse_file_destroy(s);

    s = sparse_file_new(4096, 4096);
    sparse_file_add_fill(s, 1, 8192, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(sparse_file_len(s, false, false), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("outside"), std::string::npos);
    sparse_file_destroy(s);
}

TEST(SparseFile, CallbackFailureStopsTheWrite) {
    std::string data(4096, 'f');
    sparse_file* s = sparse_file_new(4096, 3 * 4096);
    sparse_file_add_data(s, data.data(), 4096, 0);
    sparse_file_add_data(s, data.data(), 4096, 2);
    Recorder r;
    r.fail_at = 0;
    EXPECT_EQ(sparse_file_callback(s, true, false, record, &r), -ENOMEM);
    Recorder late;
    late.fail_at = 3;  // the don't-care chunk header
    EXPECT_EQ(sparse_file_callback(s, true, false, record, &late), -1);
    EXPECT_EQ(late.calls.size(), 3u);
    sparse_file_destroy(s);
}

std::vector<int64_t> piece_sizes(sparse_file** pieces, int n) {
    std::vector<int64_t> v;
    for (int i = 0; i < n; i++) v.push_back(sparse_file_len(pieces[i], true, false));
    return v;
}

TEST(SparseFile, ResparseThreePieces) {
    static char mem[10 * 4096];
    sparse_file* s = sparse_file_new(4096, 10 * 4096);
    sparse_file_add_data(s, mem, 10 * 4096, 0);
    EXPECT_EQ(sparse_file_resparse(s, 20000, nullptr, 0), 3);
    EXPECT_EQ(runs(s).size(), 3u);  // kept, split
    sparse_file* pieces[4] = {};
    EXPECT_EQ(sparse_file_resparse(s, 20000, pieces, 4), 3);
    EXPECT_EQ(runs(s).size(), 0u);
    EXPECT_EQ(pieces[3], nullptr);
    EXPECT_EQ(piece_sizes(pieces, 3), (std::vector<int64_t>{16436, 16448, 8244}));
    EXPECT_EQ(runs(pieces[0])[0].block, 0u);
    EXPECT_EQ(runs(pieces[1])[0].block, 4u);
    EXPECT_EQ(runs(pieces[2])[0].block, 8u);
    EXPECT_EQ(runs(pieces[2])[0].len, 8192u);
    for (sparse_file* p : pieces) sparse_file_destroy(p);
    sparse_file_destroy(s);

    // Fewer slots than pieces: those handed out leave, the rest stay in the image.
    s = sparse_file_new(4096, 10 * 4096);
    sparse_file_add_data(s, mem, 10 * 4096, 0);
    sparse_file* one[1] = {};
    EXPECT_EQ(sparse_file_resparse(s, 20000, one, 1), 3);
    EXPECT_EQ(runs(one[0]).size(), 1u);
    ASSERT_EQ(runs(s).size(), 2u);
    EXPECT_EQ(runs(s)[0].block, 4u);
    sparse_file_destroy(one[0]);
    sparse_file_destroy(s);

    // An image that fits already is one piece with every run.
    s = sparse_file_new(4096, 10 * 4096);
    sparse_file_add_fill(s, 0, 4096, 0);
    sparse_file_add_data(s, mem, 4096, 5);
    sparse_file* all[1] = {};
    EXPECT_EQ(sparse_file_resparse(s, 1 << 20, all, 1), 1);
    EXPECT_EQ(runs(all[0]).size(), 2u);
    sparse_file_destroy(all[0]);
    sparse_file_destroy(s);
}

// A limit that cannot hold one block is an error instead of an endless cut.
TEST(SparseFile, ResparseLimitTooSmall) {
    static char mem[4 * 4096];
    sparse_file* s = sparse_file_new(4096, 4 * 4096);
    sparse_file_add_data(s, mem, 4 * 4096, 0);
    for (unsigned limit : {0u, 10u, 56u, 4096u, 4096u + 67})
        EXPECT_EQ(sparse_file_resparse(s, limit, nullptr, 0), -EINVAL) << limit;
    EXPECT_EQ(runs(s).size(), 1u);
    EXPECT_EQ(sparse_file_resparse(s, 4096 + 68, nullptr, 0), 4);
    sparse_file* p[4] = {};
    EXPECT_EQ(sparse_file_resparse(s, 4096 + 68, p, 4), 4);
    for (sparse_file* piece : p) {
        EXPECT_LE(sparse_file_len(piece, true, false), 4096 + 68);
        sparse_file_destroy(piece);
    }
    sparse_file_destroy(s);
}

// With a piece nearly full, the room left must not wrap around and let a whole run in: every
// piece stays within the limit.
TEST(SparseFile, ResparseNearlyFullPiece) {
    const unsigned max_len = 4172;  // budget 4116 = 257 fill chunks of 16 bytes + 4
    static char mem[4096];
    sparse_file* s = sparse_file_new(4096, 258 * 4096);
    for (uint32_t b = 0; b < 257; b++) sparse_file_add_fill(s, b & 1, 4096, b);
    sparse_file_add_data(s, mem, 4096, 257);
    sparse_file* p[3] = {};
    int n = sparse_file_resparse(s, max_len, p, 3);
    EXPECT_EQ(n, 2);
    for (int i = 0; i < n; i++) EXPECT_LE(sparse_file_len(p[i], true, false), max_len) << i;
    EXPECT_EQ(runs(p[0]).size(), 257u);
    EXPECT_EQ(runs(p[1]).size(), 1u);
    for (sparse_file* piece : p) sparse_file_destroy(piece);
    sparse_file_destroy(s);
}

// A run that cannot be read ends the cut with its error; the image keeps all its runs.
TEST(SparseFile, ResparseFailureHandsNothingOut) {
    std::string path = testsupport::write_file("r.bin", std::string(3 * 4096, 'r'));
    int fd = open_host_file(path.c_str(), O_RDONLY);
    sparse_file* s = sparse_file_new(4096, 6 * 4096);
    sparse_file_add_fd(s, fd, 0, 3 * 4096, 0);
    sparse_file_add_fd(s, fd, 8 * 4096, 4096, 4);  // past the end of the file
    sparse_file* p[4] = {};
    EXPECT_EQ(sparse_file_resparse(s, 4096 + 68, p, 4), -EINVAL);
    for (sparse_file* piece : p) EXPECT_EQ(piece, nullptr);
    std::vector<RunInfo> r = runs(s);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0].block, 0u);
    EXPECT_EQ(r[1].block, 1u);
    EXPECT_EQ(r[2].block, 2u);
    EXPECT_EQ(r[3].block, 4u);
    sparse_file_destroy(s);
    close(fd);
}

// Readers refuse a chunk of 2^31 blocks or more, so a longer don't-care stretch (between runs,
// or at the end) goes out as several chunks; the image reads back. 4-byte blocks make such
// stretches a few GiB that exist only as numbers.
TEST(SparseFile, LongGapsSplitIntoReadableChunks) {
    const uint32_t most = 0x7FFFFFFF;
    static const char data[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    sparse_file* s = sparse_file_new(4, int64_t(UINT32_MAX) * 4);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sparse_count_chunks(s), 3);
    std::string bytes = sparse_bytes(s);
    EXPECT_EQ(chunk_list(bytes), (std::vector<std::pair<uint16_t, uint32_t>>{
                                     {0xCAC3, most}, {0xCAC3, most}, {0xCAC3, 1}}));

    const uint32_t second = most + 6;  // a gap of 2^31 + 4 blocks before it
    sparse_file_add_data(s, data, 4, 0);
    sparse_file_add_data(s, data + 4, 4, second);
    EXPECT_EQ(sparse_count_chunks(s), 5);
    bytes = sparse_bytes(s, true);
    EXPECT_EQ(le32(bytes, 20), 6u);
    EXPECT_EQ(chunk_list(bytes),
              (std::vector<std::pair<uint16_t, uint32_t>>{{0xCAC1, 1},
                                                          {0xCAC3, most},
                                                          {0xCAC3, second - 1 - most},
                                                          {0xCAC1, 1},
                                                          {0xCAC3, UINT32_MAX - second - 1},
                                                          {0xCAC4, 0}}));
    int fd = memory_file(bytes);
    sparse_file* back = sparse_file_import(fd, false, true);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(runs(back), (std::vector<RunInfo>{{0, 4, BACKED_BLOCK_FD, 40, 0},
                                             {second, 4, BACKED_BLOCK_FD, 40 + 16 + 24, 0}}));
    sparse_file_destroy(back);
    close(fd);

    // Cut into pieces, every piece keeps to the limit and reads back.
    const unsigned max_len = 4 + 56 + 2 * 24 + 12;
    EXPECT_EQ(sparse_file_resparse(s, max_len - 1, nullptr, 0), -EINVAL);
    sparse_file* pieces[2] = {};
    ASSERT_EQ(sparse_file_resparse(s, max_len, pieces, 2), 2);
    for (sparse_file* piece : pieces) {
        std::string encoded = sparse_bytes(piece);
        EXPECT_LE(encoded.size(), max_len);
        int pfd = memory_file(encoded);
        sparse_file* p = sparse_file_import(pfd, false, false);
        EXPECT_NE(p, nullptr);
        EXPECT_EQ(sparse_file_len(p, false, false), int64_t(UINT32_MAX) * 4);
        sparse_file_destroy(p);
        close(pfd);
        sparse_file_destroy(piece);
    }
    sparse_file_destroy(s);
}

// A fill that is not whole blocks covers its last block whole in both encodings, so the run
// after it lands at the same place, and the expanded image keeps its length.
TEST(SparseFile, PartialFillRoundsUpInBothEncodings) {
    std::string data(4096, 'D');
    sparse_file* s = sparse_file_new(4096, 2 * 4096);
    sparse_file_add_fill(s, 0x64636261, 100, 0);
    sparse_file_add_data(s, data.data(), 4096, 1);
    std::string pattern;
    for (int i = 0; i < 1024; i++) pattern += "abcd";

    Recorder normal;
    EXPECT_EQ(sparse_file_callback(s, false, false, record, &normal), 0);
    EXPECT_TRUE(normal.stream() == pattern + data);
    EXPECT_EQ(sparse_file_len(s, false, false), 8192);

    // The sparse encoding, read back and expanded, gives the same bytes.
    int fd = memory_file(sparse_bytes(s));
    sparse_file* back = sparse_file_import(fd, false, false);
    ASSERT_NE(back, nullptr);
    Recorder again;
    EXPECT_EQ(sparse_file_callback(back, false, false, record, &again), 0);
    EXPECT_TRUE(again.stream() == normal.stream());
    sparse_file_destroy(back);
    close(fd);

    // On a descriptor too.
    std::string path = testsupport::temp_dir() + "/partial-fill.img";
    int out = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(sparse_file_write(s, out, false, false, false), 0);
    close(out);
    EXPECT_TRUE(testsupport::read_file(path) == pattern + data);
    sparse_file_destroy(s);
}

}  // namespace
