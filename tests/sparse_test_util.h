// Helpers of the sparse library tests: a recording write callback, a capture of the reader's
// reports, and the runs of an image as plain records.
#pragma once
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "sparse/sparse.h"
#include "sparse/sparse_file.h"
#ifdef _WIN32
#include <fcntl.h>

#include "tests/test_support.h"
#include "util/platform.h"
#else
#include <sys/mman.h>
#endif

namespace sparsetest {

struct Call {
    bool has_data;
    int len;
    std::string bytes;
};

struct Recorder {
    std::vector<Call> calls;
    int fail_at = -1;  // index of the call that fails (-1: none)
    std::string stream() const {
        std::string s;
        for (const Call& c : calls) s += c.has_data ? c.bytes : std::string(size_t(c.len), '\0');
        return s;
    }
    int64_t total() const {
        int64_t n = 0;
        for (const Call& c : calls) n += c.len;
        return n;
    }
};

inline int record(void* priv, const void* data, int len) {
    auto* r = static_cast<Recorder*>(priv);
    if (int(r->calls.size()) == r->fail_at) return -1;
    Call c{data != nullptr, len, {}};
    if (data) c.bytes.assign(static_cast<const char*>(data), size_t(len));
    r->calls.push_back(c);
    return 0;
}

// A write callback that appends to a std::string (zeros where no bytes are given).
inline int append(void* priv, const void* data, int len) {
    auto* s = static_cast<std::string*>(priv);
    if (data)
        s->append(static_cast<const char*>(data), size_t(len));
    else
        s->append(size_t(len), '\0');
    return 0;
}

// A descriptor holding the bytes, positioned at the start: an anonymous file in memory where
// the system has them, else a scratch file in the test's temporary folder. The scratch files take
// sixteen names in turn (a test holds only a few open at once), so that a test of thousands of
// images does not leave thousands of files.
inline int memory_file(const std::string& bytes) {
#ifdef _WIN32
    static unsigned turn = 0;
    const std::string path = testsupport::temp_dir() + "/mem-" + std::to_string(turn++ % 16);
    int fd = open_host_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
#else
    int fd = memfd_create("sparse-test", MFD_CLOEXEC);
#endif
    if (fd >= 0 && write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size())) {
        close(fd);
        return -1;
    }
    if (fd >= 0) lseek(fd, 0, SEEK_SET);
    return fd;
}

inline std::string& reports() {
    static std::string text;
    return text;
}

inline void capture_print(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    reports() += buf;
}

struct RunInfo {
    uint32_t block;
    uint32_t len;
    bb_type type;
    int64_t offset;  // FILE/FD
    uint32_t fill;   // FILL
    bool operator==(const RunInfo& o) const {
        return block == o.block && len == o.len && type == o.type && offset == o.offset &&
               fill == o.fill;
    }
};

inline std::vector<RunInfo> runs(sparse_file* s) {
    std::vector<RunInfo> out;
    for (backed_block* bb = backed_block_iter_new(s->block_list); bb;
         bb = backed_block_iter_next(bb)) {
        RunInfo r{bb->block, bb->len, bb->type, 0, 0};
        if (bb->type == BACKED_BLOCK_FD || bb->type == BACKED_BLOCK_FILE)
            r.offset = bb->file_offset;
        if (bb->type == BACKED_BLOCK_FILL) r.fill = bb->fill_val;
        out.push_back(r);
    }
    return out;
}

inline uint32_t le32(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t le16(const std::string& s, size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data() + at);
    return uint16_t(p[0] | p[1] << 8);
}

// The chunk headers of a sparse encoding: type and block count of each, in order.
inline std::vector<std::pair<uint16_t, uint32_t>> chunk_list(const std::string& img) {
    std::vector<std::pair<uint16_t, uint32_t>> v;
    if (img.size() < 28) return v;
    size_t at = le16(img, 8);
    const uint32_t count = le32(img, 20);
    for (uint32_t i = 0; i < count && at + 12 <= img.size(); i++) {
        v.push_back({le16(img, at), le32(img, at + 4)});
        at += le32(img, at + 8);
    }
    return v;
}

// Builders of sparse image bytes for the reader tests.
inline void put32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; i++) s += char(v >> (8 * i));
}
inline void put16(std::string& s, uint16_t v) {
    s += char(v);
    s += char(v >> 8);
}
inline std::string header(uint32_t block_size, uint32_t total_blocks, uint32_t chunks,
                          uint16_t file_hdr = 28, uint16_t chunk_hdr = 12, uint16_t major = 1) {
    std::string s;
    put32(s, 0xED26FF3A);
    put16(s, major);
    put16(s, 0);
    put16(s, file_hdr);
    put16(s, chunk_hdr);
    put32(s, block_size);
    put32(s, total_blocks);
    put32(s, chunks);
    put32(s, 0);
    s.resize(size_t(file_hdr) > s.size() ? file_hdr : s.size(), '\0');
    return s;
}
inline std::string chunk(uint16_t type, uint32_t blocks, uint32_t bytes, uint16_t chunk_hdr = 12) {
    std::string s;
    put16(s, type);
    put16(s, 0);
    put32(s, blocks);
    put32(s, bytes);
    s.resize(chunk_hdr > 12 ? chunk_hdr : 12, '\0');
    return s;
}

inline std::string raw_chunk(uint32_t blocks, char c, uint32_t bs = 4096) {
    return chunk(0xCAC1, blocks, 12 + blocks * bs) + std::string(size_t(blocks) * bs, c);
}
inline std::string fill_chunk(uint32_t blocks, uint32_t value) {
    std::string s = chunk(0xCAC2, blocks, 16);
    put32(s, value);
    return s;
}

}  // namespace sparsetest
