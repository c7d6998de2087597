// Small sparse images, valid and broken, that seed the reader's fuzzing and its regression
// test: every chunk type, odd header sizes, checksums, and the damage the reader must refuse.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "sparse/sparse.h"
#include "tests/sparse_test_util.h"

namespace sparseseeds {

inline std::string encode(sparse_file* s, bool crc) {
    std::string out;
    sparse_file_callback(s, true, crc, sparsetest::append, &out);
    return out;
}

inline void put32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) s[at + i] = char(v >> (8 * i));
}

// name -> bytes
inline std::vector<std::pair<std::string, std::string>> images() {
    std::vector<std::pair<std::string, std::string>> v;
    static std::string data;
    data.assign(6 * 1024, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = char(i * 7 + i / 251);

    sparse_file* s = sparse_file_new(1024, 16 * 1024);
    sparse_file_add_data(s, data.data(), 2048, 0);
    sparse_file_add_fill(s, 0xA5A5A5A5, 4096, 4);
    sparse_file_add_data(s, data.data() + 2048, 1500, 10);
    v.push_back({"mixed", encode(s, false)});
    v.push_back({"mixed-crc", encode(s, true)});
    sparse_file_destroy(s);

    s = sparse_file_new(4, 64);
    sparse_file_add_fill(s, 1, 8, 0);
    sparse_file_add_data(s, data.data(), 4, 5);
    v.push_back({"tiny-blocks", encode(s, true)});
    sparse_file_destroy(s);

    s = sparse_file_new(4096, int64_t(1) << 33);
    sparse_file_add_fill(s, 0, 0xFFFFF000, 0);
    sparse_file_add_fill(s, 0, 0xFFFFF000, 0xFFFFF);
    v.push_back({"huge-fill", encode(s, true)});
    sparse_file_destroy(s);

    std::string base = v[0].second;
    std::string t;
    t = base; t[8] = 32; t.insert(28, 4, 'h'); v.push_back({"big-file-header", t});
    t = base; put32(t, 20, 7); v.push_back({"too-many-chunks", t});
    t = base; put32(t, 12, 0); v.push_back({"block-size-0", t});
    t = base; put32(t, 12, 1022); v.push_back({"block-size-odd", t});
    t = base; put32(t, 16, 0xFFFFFFFF); v.push_back({"total-blocks-max", t});
    t = base; t[28] = char(0xEF); t[29] = char(0xBE); v.push_back({"unknown-chunk", t});
    t = base; put32(t, 28 + 8, 4); v.push_back({"chunk-bytes-small", t});
    t = base; put32(t, 28 + 4, 0x80000000); v.push_back({"chunk-blocks-huge", t});
    t = base; t.resize(base.size() / 2); v.push_back({"truncated", t});
    t = base; t[40] ^= 0x10; v.push_back({"flipped-data", t});
    t = v[1].second; t[t.size() - 1] ^= 1; v.push_back({"bad-crc", t});

    // Hostile chunk lists, accepted or not by the letter of the format.
    using namespace sparsetest;
    v.push_back({"unknown-payload", header(4096, 1, 2) + chunk(0xBEEF, 5, 28) +
                                        std::string(16, 'u') + fill_chunk(1, 3)});
    v.push_back({"chunk-header-16", header(4096, 2, 2, 32, 16) + chunk(0xCAC3, 1, 16, 16) +
                                        chunk(0xCAC2, 1, 20, 16) + "fill"});
    v.push_back({"raw-payload-missing", header(4096, 2, 1) + chunk(0xCAC1, 2, 12 + 8192)});
    v.push_back({"raw-size-odd",
                 header(4096, 1, 1) + chunk(0xCAC1, 1, 12 + 4000) + std::string(4000, 'o')});
    v.push_back({"fill-payload-8", header(4096, 1, 1) + chunk(0xCAC2, 1, 20) + "12345678"});
    v.push_back({"skip-payload", header(4096, 2, 2) + fill_chunk(1, 0) + chunk(0xCAC3, 1, 16) +
                                     "abcd"});
    v.push_back({"crc-payload-3", header(4096, 0, 1) + chunk(0xCAC4, 0, 15) + "abc"});
    v.push_back({"blocks-beyond-total", header(4096, 2, 1) + fill_chunk(3, 0)});
    v.push_back({"empty-runs", header(4096, 2, 4) + raw_chunk(0, 'x') + fill_chunk(0, 5) +
                                   raw_chunk(1, 'y') + fill_chunk(1, 6)});
    std::string fills = header(4, 1000, 1000);
    for (uint32_t i = 0; i < 1000; i++) fills += fill_chunk(1, i % 3);
    v.push_back({"many-fills", fills});
    v.push_back({"raw-bytes", data.substr(0, 5000)});
    v.push_back({"empty", ""});
    return v;
}

}  // namespace sparseseeds
