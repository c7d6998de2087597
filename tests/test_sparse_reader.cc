// Reading sparse and normal images: runs recorded, reports and their locations, and the
// malformed headers and chunks that must be refused (or passed over) without harm.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "tests/sparse_test_util.h"
#include "tests/test_support.h"
#include "util/platform.h"

using namespace sparsetest;

namespace {

struct Opened {
    int fd;
    explicit Opened(const std::string& content, const std::string& name = "img.bin") {
        fd = open_host_file(testsupport::write_file(name, content).c_str(), O_RDONLY);
    }
    ~Opened() { close(fd); }
};

// Imports the bytes with reports captured; the object (or none) and the report text.
sparse_file* import(const std::string& bytes, bool crc, std::string* report, int* fd_out = nullptr) {
    static int n = 0;
    std::string path = testsupport::write_file("import" + std::to_string(n++) + ".img", bytes);
    int fd = open_host_file(path.c_str(), O_RDONLY);
    reports().clear();
    sparse_print_verbose = capture_print;
    sparse_file* s = sparse_file_import(fd, true, crc);
    sparse_print_verbose = sparse_default_print;
    *report = reports();
    if (fd_out)
        *fd_out = fd;
    else if (!s)
        close(fd);
    return s;
}

TEST(SparseReader, NormalImages) {
    Opened zeros(std::string(8192, '\0'));
    sparse_file* s = sparse_file_import_auto(zeros.fd, false, false);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 8192, BACKED_BLOCK_FILL, 0, 0}}));
    sparse_file_destroy(s);

    board::Bytes noise = testsupport::pattern(10000, 3);
    Opened mixed(std::string(noise.begin(), noise.end()));
    s = sparse_file_import_auto(mixed.fd, false, false);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 10000, BACKED_BLOCK_FD, 0, 0}}));
    sparse_file_destroy(s);

    // The short tail is never uniform, even when it looks so.
    std::string pattern_then_tail = std::string(4096, 'a') + std::string(1808, 'a');
    Opened tail(pattern_then_tail);
    s = sparse_file_import_auto(tail.fd, false, false);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 4096, BACKED_BLOCK_FILL, 0, 0x61616161},
                                          {1, 1808, BACKED_BLOCK_FD, 4096, 0}}));
    sparse_file_destroy(s);

    // Blocks of one 32-bit word repeated are fills of that word; any other block is data.
    std::string words;
    for (int i = 0; i < 1024; i++) put32(words, 0x01020304);
    std::string almost = words;
    almost[4095] = 9;
    Opened kinds(words + words + almost + words);
    s = sparse_file_import_auto(kinds.fd, false, false);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 8192, BACKED_BLOCK_FILL, 0, 0x01020304},
                                          {2, 4096, BACKED_BLOCK_FD, 8192, 0},
                                          {3, 4096, BACKED_BLOCK_FILL, 0, 0x01020304}}));
    sparse_file_destroy(s);

    // crc without sparse makes no sense.
    s = sparse_file_new(4096, 4096);
    EXPECT_EQ(sparse_file_read(s, kinds.fd, false, true), -EINVAL);
    sparse_file_destroy(s);
}

TEST(SparseReader, HeaderReports) {
    std::string report;
    EXPECT_EQ(import(std::string(20, 'x'), false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at header\n");

    std::string bad_magic = header(4096, 1, 1);
    bad_magic[0] = 0;
    EXPECT_EQ(import(bad_magic, false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at header magic\n");

    EXPECT_EQ(import(header(4096, 1, 1, 28, 12, 2), false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at header major version\n");

    std::string small = header(4096, 0, 0);
    small[8] = 20;
    EXPECT_EQ(import(small, false, &report), nullptr);
    EXPECT_EQ(report, "");
    std::string small_chunk = header(4096, 0, 0);
    small_chunk[10] = 8;
    EXPECT_EQ(import(small_chunk, false, &report), nullptr);

    // Larger headers are passed over.
    sparse_file* s = import(header(4096, 1, 1, 32, 16) + chunk(0xCAC3, 1, 16, 16), false, &report);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(runs(s).empty());
    sparse_file_destroy(s);
    s = import(header(4096, 2, 1, 32) + fill_chunk(2, 7), false, &report);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 8192, BACKED_BLOCK_FILL, 0, 7}}));
    sparse_file_destroy(s);
}

// Block size 0 (a division by zero further on) or one that is not whole words: refused as
// an invalid image, reported without a location.
TEST(SparseReader, BrokenBlockSizes) {
    std::string report;
    for (uint32_t bs : {0u, 2u, 4097u, 4094u}) {
        EXPECT_EQ(import(header(bs, 1, 1) + chunk(0xCAC1, 1, 12 + bs), false, &report), nullptr);
        EXPECT_EQ(report, "Invalid sparse file format\n") << bs;
    }
    // Products of block count and size are 64-bit: 2^31 blocks of 2^31 bytes is beyond what an
    // import accepts, not a wrapped small number.
    EXPECT_EQ(import(header(0x80000000, 0x80000000, 1) + fill_chunk(1, 0), false, &report),
              nullptr);
    EXPECT_EQ(report, "Invalid sparse file format\n");
    // Raw chunk size that wraps 32 bits when multiplied: 2^20 blocks of 2^12 bytes = 2^32.
    EXPECT_EQ(import(header(4096, 1 << 20, 1) + chunk(0xCAC1, 1 << 20, 12), false, &report),
              nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at data block at 40\n");
}

TEST(SparseReader, ChunkReports) {
    std::string report;
    EXPECT_EQ(import(header(4096, 2, 1) + raw_chunk(1, 'r'), false, &report), nullptr);
    EXPECT_EQ(report, "");  // one block short of total_blocks: refused, reported by nobody

    EXPECT_EQ(import(header(4096, 1, 1) + chunk(0xCAC1, 1, 12 + 4000), false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at data block at 40\n");

    std::string skip4 = header(4096, 2, 2) + fill_chunk(1, 0) + chunk(0xCAC3, 1, 16) + "abcd";
    EXPECT_EQ(import(skip4, false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at skip block at 56\n");

    EXPECT_EQ(import(header(4096, 1, 1) + chunk(0xCAC2, 1, 20) + "12345678", false, &report),
              nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at fill block at 40\n");

    // The CRC chunk's value is ignored without checksumming, checked with it.
    std::string crc_img = header(4096, 1, 2) + fill_chunk(1, 0) + chunk(0xCAC4, 0, 16);
    put32(crc_img, 0x12345678);
    sparse_file* s = import(crc_img, false, &report);
    EXPECT_NE(s, nullptr);
    sparse_file_destroy(s);
    EXPECT_EQ(import(crc_img, true, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at crc block at 56\n");
    EXPECT_EQ(import(header(4096, 0, 1) + chunk(0xCAC4, 0, 13) + "x", false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at crc block at 40\n");

    // A file that ends inside a chunk header.
    EXPECT_EQ(import(header(4096, 1, 1) + "abc", false, &report), nullptr);

    // Without checksumming the last raw payload may be missing; the reader never reads it.
    s = import(header(4096, 2, 1) + chunk(0xCAC1, 2, 12 + 8192), false, &report);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 8192, BACKED_BLOCK_FD, 40, 0}}));
    sparse_file_destroy(s);
    EXPECT_EQ(import(header(4096, 2, 1) + chunk(0xCAC1, 2, 12 + 8192), true, &report), nullptr);

    // Chunk sizes below the chunk header size are refused (no wrapped payload length).
    EXPECT_EQ(import(header(4096, 1, 1) + chunk(0xCAC2, 1, 4), false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at fill block at 40\n");
    // More blocks than the image has, and counts beyond the signed 32-bit range.
    EXPECT_EQ(import(header(4096, 2, 1) + fill_chunk(3, 0), false, &report), nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at fill block at 40\n");
    EXPECT_EQ(import(header(4, 0xFFFFFFFF, 1) + fill_chunk(0x80000000, 0), false, &report),
              nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at fill block at 40\n");
}

// The payload of a chunk of unknown type is passed over: the next header is read where it
// starts, not inside the payload.
TEST(SparseReader, UnknownChunkPayloadIsPassedOver) {
    std::string report;
    std::string img = header(4096, 1, 2) + chunk(0xBEEF, 5, 12 + 16) + std::string(16, 'z') +
                      fill_chunk(1, 0xA5A5A5A5);
    sparse_file* s = import(img, false, &report);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(report, "Invalid sparse file format at unknown block BEEF at 40\n");
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 4096, BACKED_BLOCK_FILL, 0, 0xA5A5A5A5}}));
    sparse_file_destroy(s);
    EXPECT_EQ(import(header(4096, 0, 1) + chunk(0xBEEF, 0, 4), false, &report), nullptr);
}

// Raw and fill chunks of no blocks record no run, so no two runs start at the same block.
TEST(SparseReader, EmptyChunksRecordNothing) {
    std::string report;
    int fd;
    std::string img = header(4096, 2, 4) + raw_chunk(0, 'x') + fill_chunk(0, 5) +
                      raw_chunk(1, 'y') + fill_chunk(1, 0x06060606);
    sparse_file* s = import(img, false, &report, &fd);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 4096, BACKED_BLOCK_FD, 28 + 12 + 16 + 12, 0},
                                          {1, 4096, BACKED_BLOCK_FILL, 0, 0x06060606}}));
    Recorder r;
    EXPECT_EQ(sparse_file_callback(s, false, false, record, &r), 0);
    EXPECT_EQ(r.stream(), std::string(4096, 'y') + std::string(4096, '\6'));
    sparse_file_destroy(s);
    close(fd);
}

// A fill of 4 GiB or more does not fit one 32-bit run: several runs, the same image.
TEST(SparseReader, HugeFillBecomesSeveralRuns) {
    std::string report;
    const uint32_t blocks = 3u << 20;  // 12 GiB of 4096-byte blocks
    std::string img = header(4096, blocks, 1) + fill_chunk(blocks, 0x5A5A5A5A);
    sparse_file* s = import(img, true, &report);
    ASSERT_NE(s, nullptr);
    std::vector<RunInfo> r = runs(s);
    ASSERT_EQ(r.size(), 4u);
    uint64_t total = 0;
    uint32_t next = 0;
    for (const RunInfo& run : r) {
        EXPECT_EQ(run.block, next);
        EXPECT_EQ(run.len % 4096, 0u);
        EXPECT_EQ(run.fill, 0x5A5A5A5Au);
        next += run.len / 4096;
        total += run.len;
    }
    EXPECT_EQ(total, uint64_t(blocks) * 4096);
    // Written again as a sparse image it reads back the same, checksum included.
    Recorder out;
    EXPECT_EQ(sparse_file_callback(s, true, true, record, &out), 0);
    sparse_file* again = import(out.stream(), true, &report);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(sparse_file_len(again, false, false), int64_t(blocks) * 4096);
    sparse_file_destroy(again);
    sparse_file_destroy(s);
}

// Written with a checksum (don't-care blocks counted as zeros), read back with it checked.
TEST(SparseReader, ChecksummedRoundTrip) {
    board::Bytes data = testsupport::pattern(3 * 4096 + 500, 9);
    sparse_file* s = sparse_file_new(4096, 20 * 4096);
    sparse_file_add_data(s, data.data(), 4096, 0);
    sparse_file_add_fill(s, 0xCAFEF00D, 3 * 4096, 4);
    sparse_file_add_data(s, data.data() + 4096, 2 * 4096 + 500, 10);
    Recorder out;
    ASSERT_EQ(sparse_file_callback(s, true, true, record, &out), 0);
    std::string report;
    sparse_file* back = import(out.stream(), true, &report);
    ASSERT_NE(back, nullptr) << report;
    Recorder a, b;
    sparse_file_callback(s, false, false, record, &a);
    sparse_file_callback(back, false, false, record, &b);
    EXPECT_EQ(a.stream(), b.stream());
    sparse_file_destroy(back);

    std::string corrupt = out.stream();
    corrupt[28 + 12 + 7] ^= 1;
    EXPECT_EQ(import(corrupt, true, &report), nullptr);
    EXPECT_NE(report.find("crc block"), std::string::npos);
    sparse_file_destroy(s);
}

// Headers are read ahead through a buffer, yet the descriptor ends where the image ends, as
// when every header was read by itself. From memory, raw payloads become runs of that memory,
// so one missing from it is refused rather than passed over.
TEST(SparseReader, BufferedAndMemoryImports) {
    std::string img = header(4096, 3, 3) + fill_chunk(1, 9) + raw_chunk(1, 'm') +
                      chunk(0xCAC3, 1, 12);
    Opened f(img + "trailing bytes", "buffered.img");
    sparse_file* s = sparse_file_import(f.fd, false, false);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(lseek(f.fd, 0, SEEK_CUR), off_t(img.size()));
    sparse_file_destroy(s);

    s = sparse_file_import_buf(img.data(), img.size(), false, true);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(runs(s), (std::vector<RunInfo>{{0, 4096, BACKED_BLOCK_FILL, 0, 9},
                                          {1, 4096, BACKED_BLOCK_DATA, 0, 0}}));
    Recorder r;
    EXPECT_EQ(sparse_file_callback(s, false, false, record, &r), 0);
    std::string fill;
    for (int i = 0; i < 1024; i++) put32(fill, 9);
    EXPECT_TRUE(r.stream() == fill + std::string(4096, 'm') + std::string(4096, '\0'));
    sparse_file_destroy(s);

    const std::string cut = header(4096, 2, 1) + chunk(0xCAC1, 2, 12 + 8192);
    EXPECT_EQ(sparse_file_import_buf(cut.data(), cut.size(), false, false), nullptr);
    Opened on_disk(cut, "cut.img");
    s = sparse_file_import(on_disk.fd, false, false);
    EXPECT_NE(s, nullptr);
    sparse_file_destroy(s);
    EXPECT_EQ(sparse_file_import_buf(img.data(), 27, false, false), nullptr);
}

TEST(SparseReader, Probe) {
    Opened raw(std::string(4096, 'r'), "raw.img");
    testing::internal::CaptureStderr();
    EXPECT_EQ(sparse_img_probe(raw.fd), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    Opened good(header(4096, 1, 1) + fill_chunk(1, 0), "good.img");
    testing::internal::CaptureStderr();
    EXPECT_EQ(sparse_img_probe(good.fd), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "sparse format detected\n");

    // A damaged sparse image is not sparse for the probe, and the probe stays silent.
    Opened broken(header(4096, 2, 1) + fill_chunk(1, 0), "broken.img");
    testing::internal::CaptureStderr();
    EXPECT_EQ(sparse_img_probe(broken.fd), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // Chunk headers spread over more than one read of the walk: fills packed tight, then raw
    // payloads large and small to jump over. The answer is the import's, also when only the
    // very last chunk is wrong.
    std::string many = header(4096, 100000 + 40, 100000 + 40);
    for (uint32_t i = 0; i < 100000; i++) many += fill_chunk(1, i);
    for (uint32_t i = 0; i < 40; i++) many += raw_chunk(1, char('a' + i % 26));
    std::string wrong_last = many;
    wrong_last[wrong_last.size() - 4096 - 4] = 1;  // its chunk_bytes
    for (const std::string* img : {&many, &wrong_last}) {
        Opened f(*img, "many.img");
        sparse_file* imported = sparse_file_import(f.fd, false, false);
        lseek(f.fd, 0, SEEK_SET);
        testing::internal::CaptureStderr();
        EXPECT_EQ(sparse_img_probe(f.fd), imported ? 1 : 0);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(imported != nullptr, img == &many);
        // The image held in memory reads alike.
        sparse_file* from_mem = sparse_file_import_buf(img->data(), img->size(), false, true);
        EXPECT_EQ(from_mem != nullptr, img == &many);
        if (imported && from_mem) {
            Recorder a, b;
            EXPECT_EQ(sparse_file_callback(imported, false, false, record, &a), 0);
            EXPECT_EQ(sparse_file_callback(from_mem, false, false, record, &b), 0);
            EXPECT_TRUE(a.stream() == b.stream());
        }
        sparse_file_destroy(from_mem);
        sparse_file_destroy(imported);
    }

    // Auto import takes a damaged sparse image as a normal one.
    lseek(broken.fd, 0, SEEK_SET);
    sparse_file* s = sparse_file_import_auto(broken.fd, false, false);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(sparse_file_len(s, false, false), 28 + 16);
    sparse_file_destroy(s);
}

}  // namespace
