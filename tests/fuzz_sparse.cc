// libFuzzer target of the sparse library. Each input runs one family of checks, picked by its
// first byte (by its length for an input that is a sparse image itself, as the seeds are):
//   reading: the import from memory, with and without checksums, answers as the header walk
//     does; now and then also the import from a descriptor, the probe, the diagnosis of a
//     damaged image and the normal read;
//   rewriting, the normal encoding, cutting: what is read (or built with the add operations)
//     is written and read again, expands to the same bytes, is measured right, and is cut into
//     pieces that keep to their limit and together make the image again;
//   the encoder of raw images: its stream, read in pieces, is decoded here independently and
//     must give the raw image back.
// Images live in memory (sinks are callbacks into strings) but for a share of the inputs, which
// take the descriptor paths, so an input costs few system calls.
// Any difference aborts the run. Nothing may crash, hang or grow without bound either.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "sparse/sparse.h"
#include "sparse/sparse_read.h"
#include "sparse/sparse_scan.h"
#include "sparse/sparse_stream.h"
#include "tests/sparse_fuzz_input.h"

namespace {

using namespace sparsefuzz;

void quiet(const char*, ...) {}

// The library reports much of what the inputs do wrong on stderr, which the test run sends
// nowhere (libFuzzer's -close_fd_mask=2, which keeps its own lines and the sanitizers' reports
// on a copy of it); an oracle's report goes to a copy taken before libFuzzer starts.
const int report_fd = dup(2);

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (!(cond)) {                                                                \
            dprintf(report_fd >= 0 ? report_fd : 2, "%s:%d: oracle failed: %s\n",     \
                    __FILE__, __LINE__, #cond);                                       \
            abort();                                                                  \
        }                                                                             \
    } while (0)

// Expanded images are compared byte for byte up to this length; above it only their
// encodings are.
constexpr int64_t EXPAND_MAX = 64 << 10;
// The normal encoding costs a callback call per 64 KiB even for fills; beyond this it is not
// asked for.
constexpr int64_t NORMAL_MAX = int64_t(16) << 20;
// Pieces a cut may make; more only repeat what fewer show.
constexpr int PIECES_MAX = 64;

enum Family : uint8_t { READ, REWRITE, NORMAL, RESPARSE, STREAM, FAMILIES };

int count_only(void* priv, const void*, int len) {
    *static_cast<int64_t*>(priv) += len;
    return 0;
}

// Strings the checks fill are made at their final size where it is known: grown by doubling,
// one of 64 KiB would take 128 KiB, which the sanitizer's allocator maps and unmaps for every
// input, and the page faults and the system time that come with it would be most of a run.
constexpr int64_t RESERVE_MAX = 1 << 20;

void reserve(std::string& s, int64_t n) {
    if (n > 0) s.reserve(size_t(std::min(n, RESERVE_MAX)));
}

// The sparse encoding through the callback, checked against its measure; empty on failure.
std::string encode(sparse_file* s, bool crc, bool* ok) {
    std::string out;
    const int64_t measured = sparse_file_len(s, true, crc);
    // An image that cannot be measured still gives its bytes up to where it fails: at most its
    // payload and the headers.
    reserve(out, measured >= 0 ? measured : int64_t(RAW_BUDGET) + (32 << 10));
    *ok = sparse_file_callback(s, true, crc, sparsetest::append, &out) == 0;
    if (*ok) CHECK(measured == int64_t(out.size()));
    return out;
}

// The expanded image, or empty when it is too long to hold or cannot be made.
std::string expand(sparse_file* s) {
    std::string out;
    if (s->len > EXPAND_MAX) return out;
    reserve(out, s->len);
    if (sparse_file_callback(s, false, false, sparsetest::append, &out) != 0) return std::string();
    CHECK(int64_t(out.size()) == s->len);
    return out;
}

std::string read_back(int fd) {
    std::string out;
    char buf[65536];
    ssize_t n;
    reserve(out, lseek(fd, 0, SEEK_END));
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof(buf))) > 0) out.append(buf, size_t(n));
    return out;
}

// The probe takes what the header walk takes; the diagnosis calls a file with the sparse magic
// whole when, besides, every payload is in it, and else damaged, with its reason.
void check_probes(int fd, const std::string& img, bool scanned, const sparse_scan_result& scan) {
    static const int devnull = open("/dev/null", O_WRONLY);
    int saved = dup(2);
    dup2(devnull, 2);
    const int probed = sparse_img_probe(fd);
    dup2(saved, 2);
    close(saved);
    CHECK(probed == (scanned ? 1 : 0));
    lseek(fd, 0, SEEK_SET);
    std::string reason;
    const int kind = sparse_img_diagnose(fd, &reason);
    const bool magic = img.size() >= 4 && sparsetest::le32(img, 0) == 0xED26FF3Au;
    const bool whole = scanned && scan.end <= int64_t(img.size());
    CHECK(kind == (!magic ? SPARSE_IMAGE_NOT : whole ? SPARSE_IMAGE_WHOLE : SPARSE_IMAGE_DAMAGED));
    CHECK((kind == SPARSE_IMAGE_DAMAGED) == !reason.empty());
    CHECK(lseek(fd, 0, SEEK_CUR) == 0);
}

// The import from memory answers as the header walk does, a checksummed import accepts no
// more than a plain one, and (with `via_fd`) the import from a descriptor, the probes and the
// normal read agree with both. The plain import from memory, or none.
sparse_file* import_checked(const std::string& img, bool crc_too, bool via_fd) {
    sparse_scan_result scan;
    const bool scanned = sparse_buf_scan(img.data(), img.size(), &scan) == 0;
    sparse_file* s = sparse_file_import_buf(img.data(), img.size(), true, false);
    // Memory has no holes: an image whose last raw payload is missing is refused from it.
    if (scanned && scan.end <= int64_t(img.size())) CHECK(s != nullptr);
    if (s) CHECK(scanned);
    if (s) CHECK(int64_t(scan.total_blocks) * scan.block_size == s->len);
    if (crc_too) {
        sparse_file* c = sparse_file_import_buf(img.data(), img.size(), true, true);
        CHECK(!c || s);
        sparse_file_destroy(c);
    }
    if (!via_fd) return s;

    int fd = sparsetest::memory_file(img);
    CHECK(fd >= 0);
    sparse_scan_result fd_scan;
    const bool fd_scanned = sparse_file_scan(fd, &fd_scan) == 0;
    CHECK(fd_scanned == scanned);
    if (scanned) CHECK(fd_scan.end == scan.end && fd_scan.chunk_count == scan.chunk_count);
    check_probes(fd, img, scanned, scan);
    lseek(fd, 0, SEEK_SET);
    sparse_file* f = sparse_file_import(fd, true, false);
    CHECK((f != nullptr) == scanned);
    if (f && s) CHECK(expand(f) == expand(s));
    if (!f && img.size() <= EXPAND_MAX) {
        lseek(fd, 0, SEEK_SET);
        sparse_file* n = sparse_file_import_auto(fd, false, false);
        CHECK(n != nullptr);
        CHECK(expand(n) == img);
        sparse_file_destroy(n);
    }
    sparse_file_destroy(f);
    close(fd);
    return s;
}

// Written as a sparse image (with a checksum or not) and read again, the image expands to the
// same bytes, and the encoding of what was read is written again unchanged (runs of no bytes,
// which only the add operations make, leave empty chunks that reading drops, so an image
// built with them is compared from the second round on). With `via_fd` the descriptor sink
// gives the callback's bytes.
void check_rewrite(sparse_file* s, const std::string& expanded, bool crc, bool imported,
                   bool via_fd) {
    bool ok;
    std::string enc = encode(s, crc, &ok);
    if (!ok) return;
    if (via_fd) {
        int fd = sparsetest::memory_file("");
        CHECK(sparse_file_write(s, fd, false, true, crc) == 0);
        CHECK(read_back(fd) == enc);
        close(fd);
    }

    // The reader takes images of at most 16 TiB expanded (a bound on its memory); the add
    // operations make larger ones.
    if (uint64_t(s->len) > SPARSE_IMPORT_MAX_LEN) return;
    sparse_file* again = sparse_file_import_buf(enc.data(), enc.size(), true, crc);
    CHECK(again != nullptr);
    sparse_scan_result scan;
    CHECK(sparse_buf_scan(enc.data(), enc.size(), &scan) == 0 && scan.end == int64_t(enc.size()));
    bool ok2;
    const std::string enc2 = encode(again, crc, &ok2);
    CHECK(ok2);
    if (imported) CHECK(enc2 == enc);
    else if (enc2 != enc) check_rewrite(again, std::string(), crc, true, false);
    if (!expanded.empty() && again->len <= EXPAND_MAX) {
        std::string e2 = expand(again);
        // The sparse encoding holds whole blocks; the image's own length ends within the last.
        CHECK(e2.size() >= expanded.size() && e2.compare(0, expanded.size(), expanded) == 0);
    }
    sparse_file_destroy(again);
}

// The normal encoding is measured right; on a descriptor (`via_fd`) it is the expanded image,
// holes read as zeros.
void check_normal(sparse_file* s, const std::string& expanded, bool via_fd) {
    if (s->len > NORMAL_MAX) return;
    int64_t counted = 0;
    if (sparse_file_callback(s, false, false, count_only, &counted) != 0) return;
    CHECK(sparse_file_len(s, false, false) == counted);
    if (expanded.empty() || !via_fd) return;
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
    if (n <= 0 || n > PIECES_MAX) return;
    std::vector<sparse_file*> pieces(size_t(n), nullptr);
    CHECK(sparse_file_resparse(s, unsigned(max_len), pieces.data(), n) == n);
    std::string overlay(expanded.size(), '\0');
    for (sparse_file* p : pieces) {
        std::string enc = encode(p, false, &ok);
        CHECK(ok && int64_t(enc.size()) <= max_len);
        sparse_file* back = sparse_file_import_buf(enc.data(), enc.size(), true, false);
        CHECK(back != nullptr || uint64_t(s->len) > SPARSE_IMPORT_MAX_LEN);
        sparse_file_destroy(back);
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

// One family of checks on an image that was read (imported) or built with the add operations.
void exercise(sparse_file* s, Family family, uint8_t sel, bool imported) {
    const std::string expanded = expand(s);
    // The descriptor sink costs a memory file and its calls: always for the normal encoding
    // (its skips and length), for every other rewrite.
    const bool via_fd = family == NORMAL || (sel & 4);
    switch (family) {
        case REWRITE: check_rewrite(s, expanded, sel & 1, imported, via_fd); break;
        case NORMAL: check_normal(s, expanded, via_fd); break;
        case RESPARSE: check_resparse(s, expanded, sel); break;
        default: break;
    }
}

// ---- the encoder of raw images against an independent decoder ----

// CRC-32 (IEEE, reflected) of its own, so that the decoder shares nothing with the library.
FUZZ_UNCOVERED uint32_t oracle_crc(uint32_t crc, const std::string& bytes) {
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    }
    crc = ~crc;
    for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

FUZZ_UNCOVERED uint32_t le(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) v |= uint32_t(uint8_t(s[at + i])) << (8 * i);
    return v;
}

// Decodes a stream that the encoder made: plain header sizes, raw and fill chunks only, an
// optional CRC32 chunk last that must match. The expanded image; aborts on anything else.
std::string oracle_decode(const std::string& st, uint32_t block_size, bool crc) {
    CHECK(st.size() >= 28 && le(st, 0, 4) == 0xED26FF3Au && le(st, 4, 2) == 1);
    CHECK(le(st, 8, 2) == 28 && le(st, 10, 2) == 12 && le(st, 12, 4) == block_size);
    const uint32_t total = le(st, 16, 4), count = le(st, 20, 4);
    std::string out;
    reserve(out, int64_t(total) * block_size);
    size_t at = 28;
    for (uint32_t i = 0; i < count; i++) {
        CHECK(at + 12 <= st.size());
        const uint32_t type = le(st, at, 2), blocks = le(st, at + 4, 4), bytes = le(st, at + 8, 4);
        at += 12;
        if (type == 0xCAC1) {
            CHECK(blocks > 0 && bytes == 12 + uint64_t(blocks) * block_size);
            CHECK(at + bytes - 12 <= st.size());
            out.append(st, at, bytes - 12);
            at += bytes - 12;
        } else if (type == 0xCAC2) {
            CHECK(blocks > 0 && bytes == 16 && at + 4 <= st.size());
            append_words(out, le(st, at, 4), size_t(blocks) * block_size);
            at += 4;
        } else {
            CHECK(crc && type == 0xCAC4 && i + 1 == count && blocks == 0 && bytes == 16);
            CHECK(at + 4 <= st.size() && le(st, at, 4) == oracle_crc(0, out));
            at += 4;
        }
    }
    CHECK(at == st.size());
    CHECK(uint64_t(total) * block_size == out.size());
    return out;
}

// Raw image bytes described by the input: stretches of zero blocks (left as holes of the file
// or written), blocks of one repeated word, blocks that differ in one word only, and noise.
// The encoder's pass and the checks cost a step per block and a copy per byte, and what the
// runs of an image can show, a few thousand blocks show: the image holds at most 4096 units of
// the block size asked (holes reach 32 KiB), of which 16 KiB are written.
constexpr size_t STREAM_DATA_MAX = 16 << 10;
constexpr size_t STREAM_IMAGE_MAX = 32 << 10;
constexpr size_t STREAM_UNITS_MAX = 4096;

struct RawImage {
    std::string bytes;
    std::vector<std::pair<size_t, size_t>> written;  // stretches that are not holes
};

RawImage build_raw(Input& in, uint32_t unit) {
    RawImage img;
    const size_t most = std::min(STREAM_IMAGE_MAX, STREAM_UNITS_MAX * unit);
    // Stretches of data go on from where the image stands, so may reach past `most`.
    reserve(img.bytes, int64_t(most + STREAM_DATA_MAX + 12));
    size_t data = 0;
    while (!in.empty() && img.bytes.size() < most) {
        const uint8_t op = in.byte();
        const size_t n = size_t(in.count() % 64 + 1) * unit;
        const size_t at = img.bytes.size();
        if (((op & 3) != 0 || (op & 0x10)) && data + n > STREAM_DATA_MAX) break;
        switch (op & 3) {
            case 0:  // zeros: a hole, long or short, or written ones
                if (op & 0x10) break;
                img.bytes.append(std::min(n << (op >> 5), most - at), '\0');
                continue;
            case 1:  // one word repeated
                append_words(img.bytes, in.u32(), n);
                break;
            case 2: {  // one word repeated but for one word
                append_words(img.bytes, in.u32(), n);
                img.bytes[at + (size_t(op >> 2) * 4) % n] ^= char(1 + (op >> 5));
                break;
            }
            default:
                pattern_bytes(img.bytes, n, op);
                break;
        }
        if ((op & 3) == 0) img.bytes.append(n, '\0');
        data += n;
        // Stretches that meet are written in one call.
        if (!img.written.empty() && img.written.back().first + img.written.back().second == at)
            img.written.back().second += n;
        else
            img.written.push_back({at, n});
    }
    // A tail of words that may break the block size.
    const size_t tail = size_t(in.byte() & 3) * 4;
    img.written.push_back({img.bytes.size(), tail});
    img.bytes.append(tail, 'T');
    return img;
}

// The encoder's stream of the raw image, from its file (holes and all) and from memory fed in
// pieces, read in pieces of the sizes the input gives: both decode to the raw image.
void check_stream(Input& in, uint8_t sel) {
    static const uint32_t units[8] = {4, 8, 12, 64, 512, 4096, 4, 16};
    const uint32_t unit = units[sel & 7];
    const uint32_t asked = (sel & 0x08) ? 0 : unit * (1 + (sel >> 6));
    const bool crc = sel & 0x10;
    RawImage img = build_raw(in, unit);
    const int64_t size = int64_t(img.bytes.size());

    int fd = memfd_create("sparse-fuzz-raw", MFD_CLOEXEC);
    CHECK(fd >= 0 && ftruncate(fd, size) == 0);
    for (const auto& w : img.written)
        CHECK(pwrite(fd, img.bytes.data() + w.first, w.second, off_t(w.first)) == ssize_t(w.second));

    const uint32_t bs = asked ? asked : sparse_stream_block_size(size);
    const bool valid = bs != 0 && bs % 4 == 0 && size % bs == 0;
    sparse_stream st;
    const int r = sparse_stream_index(&st, fd, size, asked, crc);
    CHECK((r == 0) == valid);
    if (r != 0) {
        close(fd);
        return;
    }

    // The same index from memory, fed in pieces of whole blocks.
    sparse_stream fed;
    CHECK(sparse_stream_init(&fed, size, asked, crc) == 0);
    for (int64_t at = 0; at < size;) {
        const int64_t n = std::min<int64_t>(size - at, int64_t(in.count() % 32 + 1) * bs);
        sparse_stream_feed(&fed, img.bytes.data() + at, size_t(n));
        at += n;
    }
    sparse_stream_finish(&fed);
    fed.fd = fd;
    CHECK(fed.stream_size == st.stream_size && fed.chunks.size() == st.chunks.size());

    std::string whole(size_t(st.stream_size), '\0');
    CHECK(sparse_stream_read(&st, 0, &whole[0], whole.size()) == 0);
    CHECK(oracle_decode(whole, bs, crc) == img.bytes);
    // A few pieces of the sizes the input gives (each a read of the image per raw chunk it
    // touches), then the rest.
    std::string pieces;
    reserve(pieces, st.stream_size);
    for (int64_t k = 0, at = 0; at < st.stream_size; k++) {
        const int64_t left = st.stream_size - at;
        const size_t n = size_t(in.empty() || k >= 8 ? left
                                                     : std::min<int64_t>(left, 1 + in.count() % 70000));
        std::string piece(n, '\0');
        CHECK(sparse_stream_read(&fed, at, &piece[0], n) == 0);
        pieces += piece;
        at += int64_t(n);
    }
    CHECK(pieces == whole);
    // Nothing is served beyond the stream.
    char byte;
    CHECK(sparse_stream_read(&st, st.stream_size, &byte, 1) == -EINVAL);
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sparse_print_verbose = quiet;
    static const uint8_t magic[4] = {0x3A, 0xFF, 0x26, 0xED};
    Input in{data, size};
    const bool raw = size >= 4 && memcmp(data, magic, 4) == 0;
    // A sparse image as input takes every family but the encoder's in turn, by its length.
    const Family family = Family(raw ? size % STREAM : in.byte() % FAMILIES);
    const uint8_t bs_sel = raw ? 5 : in.byte();
    const uint8_t flags = raw ? 0 : in.byte();
    const uint8_t sel = raw ? uint8_t(size >> 2) : in.byte();

    if (family == STREAM) {
        check_stream(in, sel);
        return 0;
    }
    if (!raw && (flags & DIRECT)) {
        sparse_file* s = build_runs(in, block_size(bs_sel));
        if (s) exercise(s, family == READ ? REWRITE : family, sel, false);
        sparse_file_destroy(s);
        return 0;
    }

    const std::string img = raw ? std::string(reinterpret_cast<const char*>(data), size)
                                : build_image(in, flags, block_size(bs_sel));
    sparse_file* s = import_checked(img, family == READ && (sel & 2), family == READ && (sel & 4));
    int fd = -1;
    if (s && family != READ && (sel & 0x20)) {
        // Runs read from a descriptor, as the tools have them, for every other input.
        fd = sparsetest::memory_file(img);
        sparse_file* f = sparse_file_import(fd, true, false);
        CHECK(f != nullptr);
        sparse_file_destroy(s);
        s = f;
    }
    if (s && family != READ) exercise(s, family, sel, true);
    sparse_file_destroy(s);
    if (fd >= 0) close(fd);
    return 0;
}
