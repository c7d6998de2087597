// libFuzzer target of the sparse library. An input either is a sparse image itself (it starts
// with the format's magic: the seed corpus) or describes one compactly (tests/sparse_fuzz_input.h).
// Every image goes through the probe, the import (with and without checksums) and the normal
// read; what is accepted goes through both writers over both sinks, measuring and cutting, and
// the oracle: the probe answers as the import does; what is read, written and read again
// expands to the same bytes; pieces keep to their limit and together make the image again.
// Any difference aborts the run. Nothing may crash, hang or grow without bound either.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "sparse/sparse.h"
#include "sparse/sparse_read.h"
#include "sparse/sparse_scan.h"
#include "tests/sparse_fuzz_input.h"

namespace {

using namespace sparsefuzz;

void quiet(const char*, ...) {}

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fprintf(stderr, "%s:%d: oracle failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                                   \
        }                                                                              \
    } while (0)

// Expanded images are compared byte for byte up to this length; above it only their
// encodings are.
constexpr int64_t EXPAND_MAX = 64 << 10;
// The normal encoding costs a callback call per 64 KiB even for fills; beyond this it is not
// asked for.
constexpr int64_t NORMAL_MAX = int64_t(16) << 20;

int count_only(void* priv, const void*, int len) {
    *static_cast<int64_t*>(priv) += len;
    return 0;
}

// The sparse encoding through the callback, checked against its measure; empty on failure.
std::string encode(sparse_file* s, bool crc, bool* ok) {
    std::string out;
    *ok = sparse_file_callback(s, true, crc, sparsetest::append, &out) == 0;
    if (*ok) CHECK(sparse_file_len(s, true, crc) == int64_t(out.size()));
    return out;
}

// The expanded image, or empty when it is too long to hold or cannot be made.
std::string expand(sparse_file* s) {
    std::string out;
    if (s->len > EXPAND_MAX) return out;
    if (sparse_file_callback(s, false, false, sparsetest::append, &out) != 0) return std::string();
    CHECK(int64_t(out.size()) == s->len);
    return out;
}

std::string read_back(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof(buf))) > 0) out.append(buf, size_t(n));
    return out;
}

// The probe (silenced), the header walk and the import answer alike.
sparse_file* import_checked(int fd) {
    sparse_scan_result scan;
    lseek(fd, 0, SEEK_SET);
    const bool scanned = sparse_file_scan(fd, &scan) == 0;
    int saved = dup(2), devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    lseek(fd, 0, SEEK_SET);
    const int probed = sparse_img_probe(fd);
    dup2(saved, 2);
    close(saved);
    close(devnull);
    lseek(fd, 0, SEEK_SET);
    sparse_file* s = sparse_file_import(fd, true, false);
    CHECK(scanned == (s != nullptr));
    CHECK(probed == (s ? 1 : 0));
    if (s) CHECK(int64_t(scan.total_blocks) * scan.block_size == s->len);
    return s;
}

// Written as a sparse image (with a checksum or not) and read again, the image expands to the
// same bytes, and the encoding of what was read is written again unchanged (runs of no bytes,
// which only the add operations make, leave empty chunks that reading drops, so an image
// built with them is compared from the second round on). The descriptor sink gives the
// callback's bytes.
void check_rewrite(sparse_file* s, const std::string& expanded, bool crc, bool imported) {
    bool ok;
    std::string enc = encode(s, crc, &ok);
    if (!ok) return;
    int fd = sparsetest::memory_file("");
    CHECK(sparse_file_write(s, fd, false, true, crc) == 0);
    CHECK(read_back(fd) == enc);
    close(fd);

    // The reader takes images of at most 16 TiB expanded (a bound on its memory); the add
    // operations make larger ones.
    if (uint64_t(s->len) > SPARSE_IMPORT_MAX_LEN) return;
    int in = sparsetest::memory_file(enc);
    sparse_file* again = sparse_file_import(in, true, crc);
    CHECK(again != nullptr);
    lseek(in, 0, SEEK_SET);
    sparse_scan_result scan;
    CHECK(sparse_file_scan(in, &scan) == 0 && scan.end == int64_t(enc.size()));
    bool ok2;
    const std::string enc2 = encode(again, crc, &ok2);
    CHECK(ok2);
    if (imported) CHECK(enc2 == enc);
    else if (enc2 != enc) check_rewrite(again, std::string(), crc, true);
    if (!expanded.empty() && again->len <= EXPAND_MAX) {
        std::string e2 = expand(again);
        // The sparse encoding holds whole blocks; the image's own length ends within the last.
        CHECK(e2.size() >= expanded.size() && e2.compare(0, expanded.size(), expanded) == 0);
    }
    sparse_file_destroy(again);
    close(in);
}

// The normal encoding on a descriptor is the expanded image, holes read as zeros.
void check_normal(sparse_file* s, const std::string& expanded) {
    if (s->len > NORMAL_MAX) return;
    int64_t counted = 0;
    if (sparse_file_callback(s, false, false, count_only, &counted) != 0) return;
    CHECK(sparse_file_len(s, false, false) == counted);
    if (expanded.empty()) return;
    int fd = sparsetest::memory_file("");
    CHECK(sparse_file_write(s, fd, false, false, false) == 0);
    CHECK(read_back(fd) == expanded);
    close(fd);
}

// Cut into pieces that each keep to the limit; laid over one another they make the image.
void check_resparse(sparse_file* s, const std::string& expanded, uint8_t sel) {
    bool ok;
    const int64_t whole = int64_t(encode(s, false, &ok).size());
    if (!ok) return;
    // Limits that give at most about 16 pieces, and now and then one too small to hold a block.
    const int64_t smallest = int64_t(s->block_size) + 56 + 12 + 48;
    int64_t max_len = std::max<int64_t>(smallest, whole / (1 + sel % 16)) + (sel >> 4) * 7;
    if (sel == 0xFF) max_len = s->block_size;
    if (max_len > UINT32_MAX) return;
    int n = sparse_file_resparse(s, unsigned(max_len), nullptr, 0);
    if (n <= 0 || n > 4096) return;
    std::vector<sparse_file*> pieces(size_t(n), nullptr);
    CHECK(sparse_file_resparse(s, unsigned(max_len), pieces.data(), n) == n);
    std::string overlay(expanded.size(), '\0');
    for (sparse_file* p : pieces) {
        std::string enc = encode(p, false, &ok);
        CHECK(ok && int64_t(enc.size()) <= max_len);
        int fd = sparsetest::memory_file(enc);
        sparse_file* back = sparse_file_import(fd, true, false);
        CHECK(back != nullptr || uint64_t(s->len) > SPARSE_IMPORT_MAX_LEN);
        sparse_file_destroy(back);
        close(fd);
        if (!expanded.empty()) {
            struct Lay {
                std::string* image;
                size_t pos;
            } lay{&overlay, 0};
            auto put = [](void* priv, const void* data, int len) {
                auto* l = static_cast<Lay*>(priv);
                if (data) l->image->replace(l->pos, size_t(len), static_cast<const char*>(data),
                                            size_t(len));
                l->pos += size_t(len);
                return 0;
            };
            CHECK(sparse_file_callback(p, false, false, put, &lay) == 0);
        }
        sparse_file_destroy(p);
    }
    if (!expanded.empty()) CHECK(overlay == expanded);
}

void exercise(sparse_file* s, uint8_t sel, bool imported) {
    const std::string expanded = expand(s);
    check_rewrite(s, expanded, sel & 1, imported);
    check_normal(s, expanded);
    check_resparse(s, expanded, sel);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sparse_print_verbose = quiet;
    static const uint8_t magic[4] = {0x3A, 0xFF, 0x26, 0xED};
    Input in{data, size};
    const bool raw = size >= 4 && memcmp(data, magic, 4) == 0;
    const uint8_t bs_sel = raw ? 5 : in.byte();
    const uint8_t flags = raw ? 0 : in.byte();
    const uint8_t sel = raw ? uint8_t(size) : in.byte();

    if (!raw && (flags & DIRECT)) {
        sparse_file* s = build_runs(in, block_size(bs_sel));
        if (s) exercise(s, sel, false);
        sparse_file_destroy(s);
        return 0;
    }

    const std::string img = raw ? std::string(reinterpret_cast<const char*>(data), size)
                                : build_image(in, flags, block_size(bs_sel));
    int fd = sparsetest::memory_file(img);
    if (fd < 0) return 0;
    sparse_file* s = import_checked(fd);
    // A checksummed import accepts no more than a plain one.
    if (sel & 2) {
        lseek(fd, 0, SEEK_SET);
        sparse_file* c = sparse_file_import(fd, true, true);
        CHECK(!c || s);
        sparse_file_destroy(c);
    }
    if (s) {
        lseek(fd, 0, SEEK_SET);
        sparse_scan_result scan;
        CHECK(sparse_file_scan(fd, &scan) == 0);
        // Runs refer to the file: only a complete one can be written.
        if (scan.end <= int64_t(img.size())) exercise(s, sel, true);
    } else if (img.size() <= EXPAND_MAX) {
        lseek(fd, 0, SEEK_SET);
        sparse_file* n = sparse_file_import_auto(fd, false, false);
        CHECK(n != nullptr);
        CHECK(expand(n) == img);
        sparse_file_destroy(n);
    }
    sparse_file_destroy(s);
    close(fd);
    return 0;
}
