// The fuzz seeds, and every truncation and many bit flips of them, through the reader: each is
// accepted or refused, nothing else happens; the valid ones survive a write and a re-read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <set>

#include "sparse/sparse_scan.h"
#include "tests/sparse_seed_images.h"
#include "tests/sparse_test_util.h"

namespace {

void quiet(const char*, ...) {}

// The bytes in a scratch file, imported from its start.
sparse_file* import_bytes(const std::string& bytes, bool crc, int* fd_out) {
    int fd = sparsetest::memory_file(bytes);
    EXPECT_GE(fd, 0);
    sparse_file* s = sparse_file_import(fd, true, crc);
    *fd_out = fd;
    return s;
}

// The header walk answers as the import without checksums does; for an accepted image it also
// says where its chunks end (at most the file's end, save a last payload cut off).
void expect_scan_agrees(const std::string& bytes, const std::string& what, bool probe = false) {
    int fd;
    sparse_file* s = import_bytes(bytes, false, &fd);
    sparse_scan_result scan = {};
    lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(sparse_file_scan(fd, &scan) == 0, s != nullptr) << what;
    if (s) {
        EXPECT_EQ(int64_t(scan.total_blocks) * scan.block_size, s->len)
            << what;
        EXPECT_GE(scan.end, 28) << what;
    }
    if (probe) {
        lseek(fd, 0, SEEK_SET);
        testing::internal::CaptureStderr();
        EXPECT_EQ(sparse_img_probe(fd), s ? 1 : 0) << what;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), s ? "sparse format detected\n" : "");
    }
    sparse_file_destroy(s);
    close(fd);
}

TEST(SparseSeeds, ValidAndBrokenImages) {
    sparse_print_verbose = quiet;
    // An unknown chunk covers no blocks, so the image it replaces a chunk of comes up short.
    std::set<std::string> valid = {"mixed",           "mixed-crc",       "tiny-blocks",
                                   "huge-fill",       "big-file-header", "flipped-data",
                                   "unknown-payload", "chunk-header-16", "empty-runs",
                                   "many-fills"};
    for (const auto& [name, bytes] : sparseseeds::images()) {
        expect_scan_agrees(bytes, name, true);
        int fd;
        sparse_file* s = import_bytes(bytes, true, &fd);
        EXPECT_EQ(s != nullptr, valid.count(name) > 0) << name;
        if (s) {
            // Written again, it reads back with the same encoding.
            std::string again = sparseseeds::encode(s, true);
            int fd2;
            sparse_file* t = import_bytes(again, true, &fd2);
            ASSERT_NE(t, nullptr) << name;
            EXPECT_EQ(sparseseeds::encode(t, true), again) << name;
            sparse_file_destroy(t);
            close(fd2);
        }
        sparse_file_destroy(s);
        close(fd);
    }
    // A flipped bit in a checksummed image is found.
    for (const auto& [name, bytes] : sparseseeds::images()) {
        if (name != "mixed-crc") continue;
        std::string t = bytes;
        t[28 + 12 + 100] ^= 4;
        int fd;
        EXPECT_EQ(import_bytes(t, true, &fd), nullptr);
        close(fd);
        sparse_file* s = import_bytes(t, false, &fd);
        EXPECT_NE(s, nullptr);
        sparse_file_destroy(s);
        close(fd);
    }
}

TEST(SparseSeeds, TruncationsAndFlips) {
    sparse_print_verbose = quiet;
    for (const auto& [name, bytes] : sparseseeds::images()) {
        if (bytes.size() > 20000) continue;
        int accepted = 0;
        for (size_t n = 0; n < bytes.size(); n += 1 + n / 64) {
            expect_scan_agrees(bytes.substr(0, n), name + " cut at " + std::to_string(n));
            int fd;
            sparse_file* s = import_bytes(bytes.substr(0, n), false, &fd);
            if (s) {
                accepted++;
                EXPECT_GE(sparse_file_len(s, true, false), 28);
            }
            sparse_file_destroy(s);
            close(fd);
        }
        uint32_t seed = 1;
        for (int i = 0; i < 200 && !bytes.empty(); i++) {
            seed = seed * 1103515245 + 12345;
            std::string t = bytes;
            t[(seed >> 8) % t.size()] ^= char(1 << (seed % 8));
            expect_scan_agrees(t, name + " flip " + std::to_string(i));
            for (bool crc : {false, true}) {
                int fd;
                sparse_file* s = import_bytes(t, crc, &fd);
                if (s) sparse_file_len(s, true, crc);
                sparse_file_destroy(s);
                close(fd);
            }
        }
        // Only the whole image (or a prefix that the last raw payload lies beyond) passes.
        EXPECT_LE(accepted, 2) << name;
    }
}

}  // namespace
