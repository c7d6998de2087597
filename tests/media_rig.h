// Helpers of the media stream tests: a board with a storage medium behind an in-process
// transport, image files (also large ones made of holes) and the log lines of a run.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "protocol/exchange.h"
#include "tests/test_support.h"
#include "tools/board/board_media.h"
#include "util/file_io.h"
#include "util/platform.h"

namespace mediatest {

struct Rig {
    board::Board board;
    board::MediaStore* media;
    board::BoardTransport transport{board};

    // Without a medium (`with_media` false) the board answers only what a test scripts.
    explicit Rig(board::MediaConfig config = board::MediaConfig(), bool with_media = true) {
        auto m = std::make_unique<board::MediaStore>(std::move(config));
        media = m.get();
        if (with_media) board.add_feature(std::move(m));
        else bare_ = std::move(m);
    }
    // Sends an announcing text ("oem mwrite ...", "oem mread ...") and returns its result.
    int announce(const std::string& text) {
        char resp[129] = {0};
        return fb_command_response(&transport, text.c_str(), resp);
    }

  private:
    std::unique_ptr<board::MediaStore> bare_;
};

// A file of `size` bytes that is all holes but for `data` written at `at`.
inline std::string holey_file(const std::string& name, long long size, long long at, const board::Bytes& data) {
    std::string path = testsupport::temp_dir() + "/" + name;
    int fd = open_host_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(0, ftruncate(fd, size));
    if (!data.empty()) {
        EXPECT_EQ(at, (long long)lseek(fd, at, SEEK_SET));
        EXPECT_EQ((long long)data.size(), write_full(fd, data.data(), data.size()));
    }
    close(fd);
    return path;
}

inline int open_at(const std::string& path, long long pos) {
    int fd = open_host_file(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(pos, (long long)lseek(fd, pos, SEEK_SET));
    return fd;
}

inline board::Bytes slice(const board::Bytes& b, size_t at, size_t n) {
    return board::Bytes(b.begin() + at, b.begin() + at + n);
}

namespace detail {

inline void put32(board::Bytes* b, uint32_t v) {
    for (int i = 0; i < 4; i++) b->push_back((uint8_t)(v >> (8 * i)));
}
inline void put16(board::Bytes* b, uint16_t v) {
    b->push_back((uint8_t)v);
    b->push_back((uint8_t)(v >> 8));
}

inline uint32_t crc32(uint32_t crc, const uint8_t* p, size_t n) {
    crc = ~crc;
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; k++) crc = crc & 1 ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
    }
    return ~crc;
}

}  // namespace detail

// The sparse encoding of an image: zero blocks as "don't care", blocks of one repeated word as
// fills, the rest raw, adjacent blocks of a kind in one chunk, and a CRC32 chunk at the end.
inline board::Bytes sparse_encode(const board::Bytes& image, uint32_t block, bool crc_chunk = true) {
    using namespace detail;
    const size_t blocks = (image.size() + block - 1) / block;
    board::Bytes padded = image;
    padded.resize(blocks * block, 0);
    // 0 raw, 1 fill, 2 don't care
    auto kind = [&](size_t i, uint32_t* word) {
        const uint8_t* p = padded.data() + i * block;
        memcpy(word, p, 4);
        bool uniform = true;
        for (size_t k = 4; k < block && uniform; k += 4) uniform = memcmp(p, p + k, 4) == 0;
        if (!uniform) return 0;
        return *word == 0 ? 2 : 1;
    };
    board::Bytes chunks;
    uint32_t count = 0;
    for (size_t i = 0; i < blocks;) {
        uint32_t word;
        int k = kind(i, &word);
        size_t j = i + 1;
        uint32_t w2;
        while (j < blocks && kind(j, &w2) == k && (k != 1 || w2 == word)) j++;
        const uint32_t n = (uint32_t)(j - i);
        put16(&chunks, (uint16_t)(0xCAC1 + k));
        put16(&chunks, 0);
        put32(&chunks, n);
        if (k == 0) {
            put32(&chunks, 12 + n * block);
            chunks.insert(chunks.end(), padded.begin() + i * block, padded.begin() + j * block);
        } else if (k == 1) {
            put32(&chunks, 16);
            put32(&chunks, word);
        } else {
            put32(&chunks, 12);
        }
        count++;
        i = j;
    }
    if (crc_chunk) {
        put16(&chunks, 0xCAC4);
        put16(&chunks, 0);
        put32(&chunks, 0);
        put32(&chunks, 16);
        put32(&chunks, crc32(0, padded.data(), padded.size()));
        count++;
    }
    board::Bytes out;
    put32(&out, 0xED26FF3Au);
    put16(&out, 1);
    put16(&out, 0);
    put16(&out, 28);
    put16(&out, 12);
    put32(&out, block);
    put32(&out, (uint32_t)blocks);
    put32(&out, count);
    put32(&out, 0);
    out.insert(out.end(), chunks.begin(), chunks.end());
    return out;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace mediatest
