// The fuzz target's input language: a few bytes that describe a sparse image (its chunks, each
// with a block count that may be huge, and the damage done to it) or the runs of an image built
// with the add operations. Runs of many blocks cost a few bytes of input and nothing to hold,
// so the mutations reach long stretches, partial runs and malformed headers alike.
#pragma once
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>

#include "sparse/sparse_crc32.h"
#include "tests/sparse_test_util.h"

// The loops that make or check bytes one at a time in the target itself give libFuzzer no
// feedback worth having, and instrumented they would cost more than the library's work; they
// are left out of the coverage instrumentation, as the CRC is.
#define FUZZ_UNCOVERED __attribute__((no_sanitize("coverage")))

namespace sparsefuzz {

// Bytes of the input, read from the front; past the end every read gives 0.
struct Input {
    const uint8_t* p;
    size_t n;
    bool empty() const { return n == 0; }
    uint8_t byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v |= uint32_t(byte()) << (8 * i);
        return v;
    }
    // 7 bits a byte while the top bit is set: small counts take one byte, any u32 five.
    uint32_t count() {
        uint32_t v = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            uint8_t b = byte();
            v |= uint32_t(b & 0x7F) << shift;
            if (!(b & 0x80)) break;
        }
        return v;
    }
};

// Block sizes: powers of two and two that are not (their division takes the slow path).
inline uint32_t block_size(uint8_t sel) {
    static const uint32_t sizes[8] = {4, 8, 12, 512, 1024, 4096, 4100, 65536};
    return sizes[sel & 7];
}

// Raw payload bytes a description may ask for in all: enough for many blocks, little to copy.
constexpr size_t RAW_BUDGET = 64 << 10;
// Chunks a description may make: more only repeat what fewer show, at the cost of speed.
constexpr uint64_t CHUNKS_MAX = 256;

// Deterministic payload bytes, different for each seed.
FUZZ_UNCOVERED inline void pattern_bytes(std::string& out, size_t n, uint32_t seed) {
    uint32_t x = seed * 2654435761u + 1;
    size_t at = out.size();
    out.resize(at + n);
    for (; at < out.size(); at++) {
        x = x * 1103515245u + 12345u;
        out[at] = char(x >> 24);
    }
}

// Longest expanded image whose bytes the builder spells out to give a CRC32 chunk its right
// value; past it the value is left wrong.
constexpr uint64_t CRC_MODEL_MAX = 64 << 10;

// n bytes of the word repeated (little-endian), in a few doubling appends.
FUZZ_UNCOVERED inline void append_words(std::string& out, uint32_t word, size_t n) {
    const size_t start = out.size();
    for (int i = 0; i < 4 && i < int(n); i++) out += char(word >> (8 * i));
    while (out.size() - start < n) {
        const size_t have = out.size() - start;
        out.append(out, start, std::min(have, n - have));
    }
}

enum Flags : uint8_t {
    WITH_CRC = 1,        // a CRC32 chunk at the end with the right value
    BIG_FILE_HDR = 2,    // file_header_size 32
    BIG_CHUNK_HDR = 4,   // chunk_header_size 16
    TOTAL_OFF = 8,       // total_blocks off by a count from the input
    COUNT_OFF = 16,      // chunk_count off by a count from the input
    TRUNCATE = 32,       // the file cut short by a count from the input
    DIRECT = 64,         // runs added to an image instead of a file (see build_runs)
};

// The bytes of a sparse image described by the input (after its flags byte).
inline std::string build_image(Input& in, uint8_t flags, uint32_t bs) {
    using namespace sparsetest;
    const uint16_t fh = (flags & BIG_FILE_HDR) ? 32 : 28;
    const uint16_t ch = (flags & BIG_CHUNK_HDR) ? 16 : 12;
    // The damage comes first in the input, the chunks take the rest.
    const uint32_t total_delta = (flags & TOTAL_OFF) ? in.count() : 0;
    const uint32_t count_delta = (flags & COUNT_OFF) ? in.count() : 0;
    const uint32_t cut = (flags & TRUNCATE) ? in.count() : 0;
    std::string body;
    // Room for the most the chunks can take (payload, headers and their extra bytes), so that
    // the body is never grown by doubling past the sanitizer's small allocations.
    body.reserve(RAW_BUDGET + CHUNKS_MAX * 64);
    uint64_t total = 0, chunks = 0;
    size_t raw_left = RAW_BUDGET;
    std::string expanded_for_crc;  // only while it stays small
    bool crc_known = flags & WITH_CRC;
    while (!in.empty() && chunks < CHUNKS_MAX) {
        const uint8_t op = in.byte();
        const uint32_t arg = in.count();
        uint32_t blocks = arg;
        switch (op & 7) {
            case 0: {  // raw, whole blocks of payload
                blocks = uint32_t(std::min<size_t>(arg % 16, raw_left / bs));
                body += chunk(0xCAC1, blocks, uint32_t(ch + uint64_t(blocks) * bs), ch);
                std::string data;
                pattern_bytes(data, size_t(blocks) * bs, op);
                raw_left -= data.size();
                body += data;
                if (crc_known) expanded_for_crc += data;
                break;
            }
            case 1: {  // fill
                uint32_t value = in.u32();
                body += chunk(0xCAC2, blocks, ch + 4u, ch);
                put32(body, value);
                if (crc_known && expanded_for_crc.size() + uint64_t(blocks) * bs <= CRC_MODEL_MAX) {
                    append_words(expanded_for_crc, value, size_t(blocks) * bs);
                } else {
                    crc_known = false;
                }
                break;
            }
            case 2:  // don't care
                body += chunk(0xCAC3, blocks, ch, ch);
                if (crc_known && expanded_for_crc.size() + uint64_t(blocks) * bs <= CRC_MODEL_MAX)
                    expanded_for_crc.append(size_t(blocks) * bs, '\0');
                else
                    crc_known = false;
                break;
            case 3:  // a CRC32 chunk with a value from the input
                body += chunk(0xCAC4, 0, ch + 4u, ch);
                put32(body, in.u32());
                blocks = 0;
                break;
            case 4: {  // a chunk of unknown type with a short payload
                uint32_t payload = op >> 3;
                body += chunk(uint16_t(0xCAC5 + (op >> 7)), blocks, ch + payload, ch);
                body.append(payload, 'u');
                blocks = 0;
                break;
            }
            default: {  // a chunk header with sizes that do not agree
                body += chunk(uint16_t(0xCAC1 + (op >> 3) % 4), blocks, ch + in.count() % 64, ch);
                body.append(op >> 5, 'x');
                break;
            }
        }
        total += blocks;
        chunks++;
    }
    if (flags & WITH_CRC) {
        body += chunk(0xCAC4, 0, ch + 4u, ch);
        put32(body, crc_known ? sparse_crc32(0, expanded_for_crc.data(), expanded_for_crc.size())
                              : 0);
        chunks++;
    }
    std::string img = header(bs, uint32_t(total + total_delta), uint32_t(chunks + count_delta),
                             fh, ch) +
                      body;
    img.resize(img.size() - std::min<size_t>(img.size(), cut));
    return img;
}

// Memory and a descriptor holding the same pattern, behind the DATA, FD and FILE runs of
// images built with the add operations.
struct Backing {
    std::string bytes;
    int fd = -1;
    std::string path;  // the descriptor by name, for FILE runs
};

constexpr uint32_t BACKING_LEN = 1 << 20;
// A FILE run opens its file each time it is written; a few show what more would, at the cost of
// an open through /proc each. Later ones are FD runs.
constexpr int FILE_RUNS_MAX = 4;

inline Backing& backing() {
    static Backing b;
    if (b.fd < 0) {
        pattern_bytes(b.bytes, BACKING_LEN, 7);
        b.fd = sparsetest::memory_file(b.bytes);
        b.path = "/proc/self/fd/" + std::to_string(b.fd);
    }
    return b;
}

// An image built with the add operations: runs of any length (partial blocks too) of every
// type, mostly in ascending order, in an image whose length need not be whole blocks. None
// when the length cannot be described.
inline sparse_file* build_runs(Input& in, uint32_t bs) {
    Backing& b = backing();
    const uint64_t extra = in.count();
    struct Run {
        uint8_t kind;
        uint32_t block, len, offset, value;
    };
    Run runs[64];
    int n = 0;
    uint64_t block = 0, end = 0;
    size_t data_left = RAW_BUDGET;
    int named = 0;
    while (!in.empty() && n < 64) {
        const uint8_t op = in.byte();
        Run r = {uint8_t(op & 3), 0, in.count(), 0, 0};
        if (r.kind == 3 && ++named > FILE_RUNS_MAX) r.kind = 2;
        // Gaps forward, and now and then a step back (runs out of order or overlapping).
        uint32_t gap = in.count();
        block = (op & 0x80) ? block - std::min<uint64_t>(block, gap) : block + gap;
        if (block > UINT32_MAX) break;
        r.block = uint32_t(block);
        if (r.kind == 1) {
            r.value = in.u32();
        } else {
            // Data comes from the backing, mostly stays inside it, and is little in all,
            // counted as the whole blocks it takes in the sparse encoding.
            r.offset = in.count() % BACKING_LEN;
            r.len = std::min<uint32_t>(r.len, uint32_t(data_left));
            if (!(op & 0x40) || r.kind == 0) r.len = std::min(r.len, BACKING_LEN - r.offset);
            const uint64_t taken = bb_blocks(r.len, bs) * bs;
            if (taken > data_left) r.len = 0;
            data_left -= r.len ? size_t(taken) : 0;
        }
        runs[n++] = r;
        block += bb_blocks(r.len, bs);
        end = std::max(end, block * bs);
    }
    sparse_file* s = sparse_file_new(bs, int64_t(std::min<uint64_t>(end + extra, INT64_MAX / 2)));
    if (!s) return nullptr;
    for (int i = 0; i < n; i++) {
        const Run& r = runs[i];
        switch (r.kind) {
            case 0: sparse_file_add_data(s, b.bytes.data() + r.offset, r.len, r.block); break;
            case 1: sparse_file_add_fill(s, r.value, r.len, r.block); break;
            case 2: sparse_file_add_fd(s, b.fd, r.offset, r.len, r.block); break;
            case 3: sparse_file_add_file(s, b.path.c_str(), r.offset, r.len, r.block); break;
        }
    }
    return s;
}

}  // namespace sparsefuzz
