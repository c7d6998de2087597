// The two encodings over the two sinks: sink-call sequences, padding, lengths and end of image.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sparse/output_file.h"
#include "sparse/sparse.h"
#include "tests/sparse_test_util.h"
#include "tests/test_support.h"
#include "util/platform.h"

using namespace sparsetest;

namespace {

output_file* open_rec(Recorder* r, int64_t len, bool sparse, int chunks = 1, bool crc = false,
                      uint32_t bs = 4096) {
    return output_file_open_callback(record, r, bs, len, false, sparse, chunks, crc);
}

TEST(SparseWriter, SparseChunkCalls) {
    Recorder r;
    output_file* out = open_rec(&r, 3 * 4096, true, 2);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(r.calls.size(), 1u);
    ASSERT_EQ(r.calls[0].len, 28);
    EXPECT_EQ(le32(r.calls[0].bytes, 0), 0xED26FF3Au);
    EXPECT_EQ(le16(r.calls[0].bytes, 4), 1);
    EXPECT_EQ(le16(r.calls[0].bytes, 8), 28);
    EXPECT_EQ(le16(r.calls[0].bytes, 10), 12);
    EXPECT_EQ(le32(r.calls[0].bytes, 12), 4096u);
    EXPECT_EQ(le32(r.calls[0].bytes, 16), 3u);
    EXPECT_EQ(le32(r.calls[0].bytes, 20), 2u);

    std::string data(100, 'd');
    EXPECT_EQ(write_data_chunk(out, 100, data.data()), 0);
    ASSERT_EQ(r.calls.size(), 4u);
    EXPECT_EQ(r.calls[1].len, 12);
    EXPECT_EQ(le16(r.calls[1].bytes, 0), 0xCAC1);
    EXPECT_EQ(le16(r.calls[1].bytes, 2), 0);
    EXPECT_EQ(le32(r.calls[1].bytes, 4), 1u);
    EXPECT_EQ(le32(r.calls[1].bytes, 8), 4108u);
    EXPECT_EQ(r.calls[2].bytes, data);
    EXPECT_EQ(r.calls[3].bytes, std::string(3996, '\0'));

    EXPECT_EQ(write_fill_chunk(out, 8192, 0x11223344), 0);
    ASSERT_EQ(r.calls.size(), 6u);
    EXPECT_EQ(le16(r.calls[4].bytes, 0), 0xCAC2);
    EXPECT_EQ(le32(r.calls[4].bytes, 4), 2u);
    EXPECT_EQ(le32(r.calls[4].bytes, 8), 16u);
    EXPECT_EQ(r.calls[5].len, 4);
    EXPECT_EQ(le32(r.calls[5].bytes, 0), 0x11223344u);

    testing::internal::CaptureStderr();
    EXPECT_EQ(write_skip_chunk(out, 5000), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "error: write_sparse_skip_chunk: don't care size 5000 is not a multiple of the "
              "block size 4096\n");
    EXPECT_EQ(r.calls.size(), 6u);
    EXPECT_EQ(write_skip_chunk(out, 8192), 0);
    EXPECT_EQ(le16(r.calls[6].bytes, 0), 0xCAC3);
    EXPECT_EQ(le32(r.calls[6].bytes, 4), 2u);
    EXPECT_EQ(le32(r.calls[6].bytes, 8), 12u);
    for (const Call& c : r.calls) EXPECT_TRUE(c.has_data);
    output_file_close(out);
    EXPECT_EQ(r.calls.size(), 7u);  // no CRC chunk without crc
}

TEST(SparseWriter, NormalOutputOnDescriptor) {
    std::string path = testsupport::temp_dir() + "/normal.img";
    int fd = open_host_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    output_file* out = output_file_open_fd(fd, 4096, 3 * 4096, false, false, 2, false);
    ASSERT_NE(out, nullptr);
    std::string block(4096, 'x');
    EXPECT_EQ(write_data_chunk(out, 4096, block.data()), 0);
    EXPECT_EQ(write_skip_chunk(out, 8192), 0);
    struct stat st;
    fstat(fd, &st);
    EXPECT_EQ(st.st_size, 4096);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 12288);
    output_file_close(out);
    fstat(fd, &st);
    EXPECT_EQ(st.st_size, 12288);
    close(fd);
    EXPECT_EQ(testsupport::read_file(path), block + std::string(8192, '\0'));

    // Small writes are gathered, yet a failure to deliver them is reported, even at the end.
    int full = open("/dev/full", O_WRONLY);
    if (full >= 0) {
        sparse_file* s = sparse_file_new(4096, 4096);
        sparse_file_add_fill(s, 1, 4096, 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(sparse_file_write(s, full, false, true, false), -ENOSPC);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("No space left"), std::string::npos);
        sparse_file_destroy(s);
        close(full);
    }

    // Asking for a compressed sink opens nothing.
    EXPECT_EQ(output_file_open_fd(1, 4096, 4096, true, true, 1, false), nullptr);
}

TEST(SparseWriter, CallbackSkipAndFailures) {
    Recorder r;
    output_file* out = open_rec(&r, int64_t(6) << 30, false);
    ASSERT_NE(out, nullptr);
    EXPECT_TRUE(r.calls.empty());  // the normal encoding has no header
    EXPECT_EQ(write_skip_chunk(out, int64_t(5) << 30), 0);
    ASSERT_EQ(r.calls.size(), 3u);
    EXPECT_EQ(r.calls[0].len, 2147483647);
    EXPECT_EQ(r.calls[1].len, 2147483647);
    EXPECT_EQ(r.calls[2].len, 1073741826);
    for (const Call& c : r.calls) EXPECT_FALSE(c.has_data);
    EXPECT_EQ(write_fill_chunk(out, 10, 0x64636261), 0);
    // The little-endian pattern over the whole block, as the sparse encoding expands it.
    std::string block;
    for (int i = 0; i < 1024; i++) block += "abcd";
    EXPECT_TRUE(r.calls.back().bytes == block);
    output_file_close(out);  // the callback cannot pad: not reported, no call

    // A callback that fails on the header opens nothing.
    Recorder failing;
    failing.fail_at = 0;
    EXPECT_EQ(open_rec(&failing, 4096, true), nullptr);
    // A failing data write gives -1 at once.
    Recorder late;
    late.fail_at = 2;
    out = open_rec(&late, 4096, true);
    std::string data(100, 'd');
    EXPECT_EQ(write_data_chunk(out, 100, data.data()), -1);
    EXPECT_EQ(late.calls.size(), 2u);
    output_file_close(out);

    // Block sizes that are not whole words cannot be encoded.
    EXPECT_EQ(open_rec(&r, 4096, true, 1, false, 0), nullptr);
    EXPECT_EQ(open_rec(&r, 4096, true, 1, false, 4098), nullptr);
}

// A short fill sets only the part of the pattern buffer it writes, however often the value
// changes; a longer one of the same value extends it.
TEST(SparseWriter, FillPatternSetOnlyWhereUsed) {
    Recorder r;
    output_file* out = open_rec(&r, 64 << 20, false);
    ASSERT_NE(out, nullptr);
    ASSERT_GE(out->buf_len, 3 * 4096u);
    // The pattern buffer is made by the first fill.
    EXPECT_EQ(out->fill_buf, nullptr);
    EXPECT_EQ(write_fill_chunk(out, 4096, 0x01010101), 0);
    ASSERT_NE(out->fill_buf, nullptr);
    for (size_t i = 0; i < out->buf_len / 4; i++) out->fill_buf[i] = 0xEEEEEEEE;
    EXPECT_EQ(write_fill_chunk(out, 4096, 0x02020202), 0);
    EXPECT_EQ(out->fill_buf[1023], 0x02020202u);
    EXPECT_EQ(out->fill_buf[1024], 0xEEEEEEEEu);
    EXPECT_EQ(write_fill_chunk(out, 2 * 4096, 0x02020202), 0);
    EXPECT_EQ(out->fill_buf[2047], 0x02020202u);
    EXPECT_EQ(out->fill_buf[2048], 0xEEEEEEEEu);
    // Going back to a shorter run of another value rewrites only its own part.
    EXPECT_EQ(write_fill_chunk(out, 4096, 0x03030303), 0);
    EXPECT_EQ(out->fill_buf[1023], 0x03030303u);
    EXPECT_EQ(out->fill_buf[1024], 0x02020202u);
    EXPECT_EQ(write_fill_chunk(out, 2 * 4096, 0x03030303), 0);
    EXPECT_EQ(r.calls.back().bytes, std::string(8192, '\3'));
    output_file_close(out);
}

TEST(SparseWriter, ReadAllEndsAtEndOfFile) {
    std::string path = testsupport::write_file("short.bin", std::string(10, 'a'));
    int fd = open_host_file(path.c_str(), O_RDONLY);
    char buf[20];
    EXPECT_EQ(read_all(fd, buf, 20), -22);
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(read_all(fd, buf, 10), 0);
    close(fd);
    EXPECT_EQ(read_all(-1, buf, 1), -EBADF);
}

// Runs read from a descriptor are streamed in pieces: the bytes equal those of the same run
// held in memory; only the long payload arrives in several calls.
TEST(SparseWriter, DescriptorRunsStreamInPieces) {
    const uint32_t len = 3 * (1 << 20) + 100;
    board::Bytes content = testsupport::pattern(len, 5);
    std::string path = testsupport::write_file("run.bin", content);
    int fd = open_host_file(path.c_str(), O_RDONLY);

    Recorder from_fd, from_mem;
    output_file* a = open_rec(&from_fd, 4 << 20, true, 2, true);
    output_file* b = open_rec(&from_mem, 4 << 20, true, 2, true);
    EXPECT_EQ(write_fd_chunk(a, len, fd, 0), 0);
    EXPECT_EQ(write_data_chunk(b, len, content.data()), 0);
    output_file_close(a);
    output_file_close(b);
    EXPECT_EQ(from_fd.stream(), from_mem.stream());
    // header, chunk header, 4 pieces, padding, CRC header and value
    ASSERT_EQ(from_fd.calls.size(), 9u);
    EXPECT_EQ(from_fd.calls[2].len, 1 << 20);
    EXPECT_EQ(from_fd.calls[5].len, 100);
    EXPECT_EQ(from_mem.calls.size(), 6u);

    // A run reaching past the end of the file fails with -EINVAL before anything is written.
    Recorder r;
    output_file* c = open_rec(&r, 8 << 20, true);
    EXPECT_EQ(write_fd_chunk(c, 100, fd, len - 10), -EINVAL);
    EXPECT_EQ(r.calls.size(), 1u);
    EXPECT_EQ(write_file_chunk(c, 100, (path + ".missing").c_str(), 0), -ENOENT);
    EXPECT_EQ(write_file_chunk(c, 100, path.c_str(), 0), 0);
    EXPECT_EQ(r.calls[2].bytes, std::string(content.begin(), content.begin() + 100));
    output_file_close(c);
    close(fd);
}

}  // namespace
