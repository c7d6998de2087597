// The sparse encoding of raw images made while they are sent: the index of one pass, portions of
// the stream in any order, the bounds of the index, and "partition -t sparse" against the
// emulated board, whose own decoder expands what it receives.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "sparse/sparse_stream.h"
#include "tests/media_rig.h"
#include "util/byte_order.h"
#include "util/platform.h"

using board::Bytes;
using board::Extent;
using board::MediaConfig;
using board::PortionOrder;
using mediatest::contains;
using mediatest::Rig;
using mediatest::slice;
using testsupport::pattern;
using testsupport::RunResult;
using testsupport::run_vorn;
using testsupport::write_file;

namespace {

// An image from blocks of 4096 bytes: 'd' data, '0' zeros, a letter from 'a' a fill word of that
// letter's byte repeated, 'w' the word 0x01020304.
Bytes blocks_of(const std::string& kinds, uint32_t seed = 7) {
    Bytes img;
    for (size_t i = 0; i < kinds.size(); i++) {
        Bytes b(4096, 0);
        const char k = kinds[i];
        if (k == 'd') b = pattern(4096, seed + (uint32_t)i);
        if (k == 'w')
            for (size_t j = 0; j < b.size(); j += 4) b[j] = 4, b[j + 1] = 3, b[j + 2] = 2, b[j + 3] = 1;
        if (k >= 'a' && k <= 'c') b.assign(4096, (uint8_t)(0x51 + (k - 'a')));
        img.insert(img.end(), b.begin(), b.end());
    }
    return img;
}

struct Indexed {
    sparse_stream s;
    int fd = -1;
    ~Indexed() {
        if (fd >= 0) close(fd);
    }
};

// Writes the image and indexes it; the stream is left open for reads.
void index_image(Indexed* ix, const Bytes& img, uint32_t block_size = 0, bool crc = false) {
    ix->fd = open_host_file(write_file("raw.img", img).c_str(), O_RDONLY);
    ASSERT_GE(ix->fd, 0);
    ASSERT_EQ(0, sparse_stream_index(&ix->s, ix->fd, (int64_t)img.size(), block_size, crc));
}

Bytes whole_stream(const sparse_stream& s) {
    Bytes out((size_t)s.stream_size);
    EXPECT_EQ(0, sparse_stream_read(&s, 0, out.data(), out.size()));
    return out;
}

// What the board's own decoder makes of a stream: the stretches of the expanded image.
std::vector<Extent> decoded(const Bytes& stream, uint64_t size) {
    std::vector<Extent> ext;
    EXPECT_EQ("", board::sparse_record(stream, size, 0, &ext));
    return ext;
}

std::string kinds_of(const std::vector<Extent>& ext) {
    std::string k;
    for (const Extent& e : ext) k += e.kind == Extent::Raw ? 'R' : e.kind == Extent::Fill ? 'F' : 'S';
    return k;
}

}  // namespace

TEST(SparseStream, BlockSizeIs4KiBOrTheLargestPowerOfTwoThatDividesTheSize) {
    EXPECT_EQ(4096u, sparse_stream_block_size(0));
    EXPECT_EQ(4096u, sparse_stream_block_size(8192));
    EXPECT_EQ(4096u, sparse_stream_block_size(3 * 4096));
    EXPECT_EQ(1024u, sparse_stream_block_size(3 * 4096 + 1024));
    EXPECT_EQ(2048u, sparse_stream_block_size(2048));
    EXPECT_EQ(4u, sparse_stream_block_size(12));
    EXPECT_EQ(8u, sparse_stream_block_size(40));
    EXPECT_EQ(0u, sparse_stream_block_size(6));
    EXPECT_EQ(0u, sparse_stream_block_size(4097));
    EXPECT_EQ(0u, sparse_stream_block_size(-4));
    sparse_stream s;
    EXPECT_EQ(-EINVAL, sparse_stream_init(&s, 4098, 0, false));
    EXPECT_EQ(-EINVAL, sparse_stream_init(&s, 8192, 12, false));    // does not divide
    EXPECT_EQ(-EINVAL, sparse_stream_init(&s, 8190, 2, false));     // not whole words
    EXPECT_EQ(-EINVAL, sparse_stream_init(&s, 0x400000000ll, 4, false));  // 2^32 blocks
    EXPECT_EQ(-EINVAL, sparse_stream_init(&s, 0x100000000ll, 0x80000000u, false));  // one block too large
    EXPECT_EQ(0, sparse_stream_init(&s, 12288, 12, false));
    EXPECT_EQ(1024u, s.total_blocks);
}

TEST(SparseStream, RawAndFillChunksNeverDontCare) {
    const Bytes img = blocks_of("dd000aaad0wwd");
    Indexed ix;
    index_image(&ix, img);
    const sparse_stream& s = ix.s;
    EXPECT_EQ(4096u, s.block_size);
    EXPECT_EQ(13u, s.total_blocks);
    EXPECT_EQ(7u, sparse_stream_chunk_count(&s));
    EXPECT_EQ(28 + 3 * 12 + 4 * 16 + 4 * 4096, s.stream_size);
    EXPECT_EQ(4u * 4096, s.raw_payload);

    const Bytes stream = whole_stream(s);
    EXPECT_EQ(0xED26FF3Au, get_le32(stream.data()));
    EXPECT_EQ(7u, get_le32(stream.data() + 20));
    std::vector<Extent> ext = decoded(stream, img.size());
    EXPECT_EQ("RFFRFFR", kinds_of(ext));
    EXPECT_EQ(0u, ext[1].value);
    EXPECT_EQ(0x51515151u, ext[2].value);
    EXPECT_EQ(0x01020304u, ext[5].value);
    Bytes part(img.size(), 0xEE);
    EXPECT_EQ("", board::sparse_expand(stream, &part, 0));
    EXPECT_EQ(img, part);
}

TEST(SparseStream, PortionsOfAnySizeInAnyOrder) {
    const Bytes img = blocks_of("d0d0ddd00000bbbbwd0d");
    Indexed ix;
    index_image(&ix, img, 0, true);
    const Bytes stream = whole_stream(ix.s);
    Bytes part(img.size());
    EXPECT_EQ("", board::sparse_expand(stream, &part, 0));  // the CRC32 chunk checks out too
    EXPECT_EQ(img, part);

    uint32_t x = 99;
    for (int round = 0; round < 300; round++) {
        x = x * 1103515245u + 12345u;
        const size_t at = (x >> 8) % stream.size();
        x = x * 1103515245u + 12345u;
        const size_t n = std::min<size_t>((x >> 8) % 9000, stream.size() - at);
        Bytes got(n, 0xCC);
        ASSERT_EQ(0, sparse_stream_read(&ix.s, (int64_t)at, got.data(), n)) << at << "+" << n;
        ASSERT_EQ(slice(stream, at, n), got) << at << "+" << n;
    }
    Bytes one(1);
    EXPECT_EQ(-EINVAL, sparse_stream_read(&ix.s, ix.s.stream_size, one.data(), 1));
    EXPECT_EQ(-EINVAL, sparse_stream_read(&ix.s, -1, one.data(), 1));
    EXPECT_EQ(0, sparse_stream_read(&ix.s, ix.s.stream_size, one.data(), 0));
}

TEST(SparseStream, ShortFillsGoOutInsideTheRawRun) {
    // Blocks of one word (the size is 4 bytes more than a multiple of 8): 3 data words, 5 zero
    // words (20 bytes do not pay for a fill chunk), 9 words of 7 (36 bytes do), 2 data words.
    Bytes img;
    auto word = [&](uint32_t v) {
        for (int i = 0; i < 4; i++) img.push_back((uint8_t)(v >> (8 * i)));
    };
    for (uint32_t v : {11u, 12u, 13u}) word(v);
    for (int i = 0; i < 5; i++) word(0);
    for (int i = 0; i < 9; i++) word(7);
    for (uint32_t v : {14u, 15u}) word(v);
    ASSERT_EQ(76u, img.size());
    Indexed ix;
    index_image(&ix, img);
    EXPECT_EQ(4u, ix.s.block_size);
    const Bytes stream = whole_stream(ix.s);
    std::vector<Extent> ext = decoded(stream, img.size());
    ASSERT_EQ("RFR", kinds_of(ext));
    EXPECT_EQ(32u, ext[0].size);
    EXPECT_EQ(slice(img, 0, 32), ext[0].data);
    EXPECT_EQ(7u, ext[1].value);
    EXPECT_EQ(36u, ext[1].size);
}

TEST(SparseStream, TheIndexStaysSmallForImagesOfManyBlocks) {
    // 2^21 blocks (of 64 bytes, to keep the test quick; the benchmark shows 16 GiB in 4 KiB
    // blocks) of alternating data and zeros, fed as the one pass would. Beyond 2^20 blocks a
    // single zero block no longer earns a chunk of its own: the data goes out in long raw runs.
    const uint32_t bs = 64;
    const int64_t size = (int64_t)bs << 21;
    const Bytes data = pattern(bs, 9), zero(bs, 0);
    sparse_stream s;
    ASSERT_EQ(0, sparse_stream_init(&s, size, bs, false));
    EXPECT_EQ(2u, s.min_fill_blocks);
    for (int64_t at = 0; at < size; at += 2 * bs) {
        sparse_stream_feed(&s, data.data(), bs);
        sparse_stream_feed(&s, zero.data(), bs);
    }
    sparse_stream_finish(&s);
    EXPECT_EQ(2u, sparse_stream_chunk_count(&s));  // raw chunks of 64 MiB
    EXPECT_EQ(size + 28 + 2 * 12, s.stream_size);

    // The worst case: fills just long enough, between single data blocks. Still at most 2^20
    // fill chunks, 16 bytes each.
    sparse_stream w;
    ASSERT_EQ(0, sparse_stream_init(&w, size, bs, false));
    int64_t at = 0;
    for (; at + 3 * bs <= size; at += 3 * bs) {
        sparse_stream_feed(&w, data.data(), bs);
        sparse_stream_feed(&w, zero.data(), bs);
        sparse_stream_feed(&w, zero.data(), bs);
    }
    for (; at < size; at += bs) sparse_stream_feed(&w, data.data(), bs);
    sparse_stream_finish(&w);
    EXPECT_GT(sparse_stream_chunk_count(&w), 1u << 20);
    EXPECT_LE(sparse_stream_chunk_count(&w), (2u << 20) + 1);
    EXPECT_LT(sparse_stream_index_bytes(&w), 64u << 20);
}

TEST(SparseStream, ImagesThatChangeOrEndEarlyAreErrors) {
    const Bytes img = blocks_of("dd0d");
    std::string path = write_file("short.img", img);
    int fd = open_host_file(path.c_str(), O_RDONLY);
    sparse_stream s;
    EXPECT_EQ(-EINVAL, sparse_stream_index(&s, fd, (int64_t)img.size() + 4096, 0, false));
    ASSERT_EQ(0, sparse_stream_index(&s, fd, (int64_t)img.size(), 0, false));
    close(fd);
    // The image loses its last block after the pass: serving the raw payload of that block fails.
    ASSERT_EQ(0, truncate(path.c_str(), 3 * 4096));
    fd = open_host_file(path.c_str(), O_RDONLY);
    s.fd = fd;
    Bytes all((size_t)s.stream_size);
    EXPECT_EQ(-EINVAL, sparse_stream_read(&s, 0, all.data(), all.size()));
    EXPECT_EQ(0, sparse_stream_read(&s, 0, all.data(), 28 + 12 + 8192));
    close(fd);
}

namespace {

// The stream size and chunk count the board should see for an image in blocks of `bs` bytes,
// worked out here on its own: every run of equal one-word blocks is a fill chunk, every run of
// other blocks a raw chunk (images small enough that no fill is folded).
uint64_t expected_stream(const Bytes& img, uint32_t bs, unsigned* chunks, uint64_t* raw_bytes) {
    uint64_t size = 28;
    *chunks = 0;
    *raw_bytes = 0;
    int prev = -1;  // -1 none, 0 raw, 1 fill
    uint32_t prev_word = 0;
    for (size_t at = 0; at < img.size(); at += bs) {
        uint32_t word = get_le32(&img[at]);
        bool uniform = true;
        for (size_t k = 4; k < bs && uniform; k += 4) uniform = get_le32(&img[at + k]) == word;
        const int kind = uniform ? 1 : 0;
        if (kind != prev || (kind == 1 && word != prev_word)) {
            ++*chunks;
            size += kind ? 16 : 12;
        }
        if (!kind) {
            size += bs;
            *raw_bytes += bs;
        }
        prev = kind;
        prev_word = word;
    }
    return size;
}

MediaConfig boot_for(size_t image, PortionOrder order, uint32_t portion) {
    MediaConfig c;
    c.media = {{"store", {{"boot", image + 0x3000, Bytes(image + 0x3000, 0xEE)}}}};
    c.order = order;
    c.portion = portion;
    c.seed = 5;
    return c;
}

// Burns the image with "-t sparse" and checks what the board got: the announce of the encoded
// size, the partition holding exactly the image with the bytes beyond it untouched, and only
// the data blocks and headers across the link.
void burn_sparse(const Bytes& img, uint32_t bs, PortionOrder order, uint32_t portion) {
    SCOPED_TRACE(testing::Message() << img.size() << " bytes, order " << (int)order << ", portion " << portion);
    unsigned chunks = 0;
    uint64_t raw = 0;
    const uint64_t stream = expected_stream(img, bs, &chunks, &raw);
    Rig rig(boot_for(img.size(), order, portion));
    std::string path = write_file("image.img", img);
    RunResult r = run_vorn(rig.board, {"partition", "-t", "sparse", "-p", "boot", "-f", path});
    ASSERT_EQ(0, r.status) << r.err;
    char announce[96];
    snprintf(announce, sizeof(announce), "oem mwrite 0x%llx sparse store boot 0x0", (unsigned long long)stream);
    EXPECT_EQ(announce, rig.board.commands.at(0));
    EXPECT_TRUE(std::regex_search(r.err, std::regex("MSG\\[VXN\\]sparse stream: [0-9.]+ (bytes|KiB|MiB) of [0-9.]+ "
                                                    "(bytes|KiB|MiB) to send, " + std::to_string(chunks) +
                                                    " chunks\n")))
        << r.err;
    EXPECT_FALSE(contains(r.err, "sparse format detected"));
    Bytes want = img;
    want.resize(img.size() + 0x3000, 0xEE);
    EXPECT_EQ(want, rig.media->contents("store", "boot"));
    EXPECT_TRUE(rig.media->problems.empty());
    EXPECT_EQ(0, rig.media->checksums_wrong);
    // Each portion of the stream crossed once (a repeated one counted once).
    std::map<uint64_t, uint32_t> portions;
    for (const auto& s : rig.media->served) portions[s.offset] = s.size;
    uint64_t crossed = 0;
    for (const auto& p : portions) crossed += p.second;
    EXPECT_EQ(stream, crossed);
    // Besides the data blocks only headers: 28 bytes, 12 per raw chunk, 16 per fill chunk.
    EXPECT_LE(stream - raw, 28u + 16u * chunks);
}

// Empty where e2fsprogs is missing, and in a Windows build, which cannot run the Linux program
// even where wine shows it.
std::string mke2fs() {
#ifndef _WIN32
    for (const char* p : {"/usr/sbin/mke2fs", "/sbin/mke2fs"})
        if (access(p, X_OK) == 0) return p;
#endif
    return "";
}

// An ext4 image of `kib` KiB in blocks of fs_block bytes, made from a folder of files.
Bytes ext4_image(unsigned kib, unsigned fs_block) {
    const std::string dir = testsupport::temp_dir();
    make_dir((dir + "/tree").c_str());
    write_file("tree/noise.bin", pattern(700 * 1000, 31));
    std::string text;
    for (int i = 0; i < 3000; i++) text += "entry " + std::to_string(i) + "\n";
    write_file("tree/notes.txt", text);
    write_file("tree/fill.bin", std::string(1 << 20, '\x3C'));
    const std::string img = dir + "/fs.img";
    const std::string cmd = mke2fs() + " -q -F -t ext4 -b " + std::to_string(fs_block) + " -d " + dir +
                            "/tree " + img + " " + std::to_string(kib) + "k >/dev/null 2>&1";
    EXPECT_EQ(0, system(cmd.c_str())) << cmd;
    std::string bytes = testsupport::read_file(img);
    return Bytes(bytes.begin(), bytes.end());
}

}  // namespace

TEST(SparseStreamBurn, EveryKindOfImageInEveryPortionOrder) {
    Bytes noise = pattern(64 * 4096 + 1024, 41);  // no zero blocks; the size wants 1 KiB blocks
    const std::vector<std::pair<Bytes, uint32_t>> images = {
        {Bytes(64 * 4096, 0), 4096},
        {noise, 1024},
        {blocks_of("aaaabbwwwwccca"), 4096},
        {blocks_of("d0d0d0d0d0d0d0d0d0d0"), 4096},
        {blocks_of("0000dddd0aaaa0ddwd00"), 4096},
    };
    for (const auto& image : images)
        for (PortionOrder order :
             {PortionOrder::Sequential, PortionOrder::Shuffled, PortionOrder::Repeated, PortionOrder::Rejected})
            for (uint32_t portion : {0x1003u, 0x100000u}) burn_sparse(image.first, image.second, order, portion);
}

TEST(SparseStreamBurn, Ext4ImagesWithAndWithoutAPartialLastBlock) {
    if (mke2fs().empty()) GTEST_SKIP() << "e2fsprogs is not installed";
    const Bytes whole = ext4_image(8 * 1024, 4096);
    ASSERT_EQ(8u << 20, whole.size());
    burn_sparse(whole, 4096, PortionOrder::Shuffled, 0x8000);
    // 8 MiB and 1 KiB: blocks of 1 KiB, so that the expanded image ends where the file does.
    const Bytes partial = ext4_image(8 * 1024 + 1, 1024);
    ASSERT_EQ((8u << 20) + 1024, partial.size());
    burn_sparse(partial, 1024, PortionOrder::Sequential, 0x100000);
    unsigned chunks = 0;
    uint64_t raw = 0;
    EXPECT_LT(expected_stream(partial, 1024, &chunks, &raw), partial.size() / 2);
}

TEST(SparseStreamBurn, SizesNotWholeWordsAreRefusedBeforeAnythingIsSent) {
    Rig rig(boot_for(8192, PortionOrder::Sequential, 0x1000));
    std::string path = write_file("odd.img", pattern(4098, 3));
    RunResult r = run_vorn(rig.board, {"partition", "--imagetype", "sparse", "-p", "boot", "-f", path});
    EXPECT_EQ(-857, r.status);
    EXPECT_TRUE(contains(r.err, "ERR[VXN]cannot send " + path + " as sparse: its size 4098 is not a multiple of 4 bytes\n"))
        << r.err;
    EXPECT_TRUE(rig.board.commands.empty());
    EXPECT_EQ(Bytes(8192 + 0x3000, 0xEE), rig.media->contents("store", "boot"));
#ifndef _WIN32
    // 16 GiB and one word: blocks of 4 bytes, one more than a sparse image can count. A file with
    // holes, so it costs no disk.
    std::string huge = write_file("huge.img", "");
    ASSERT_EQ(0, truncate(huge.c_str(), (16ll << 30) + 4));
    r = run_vorn(rig.board, {"partition", "-t", "sparse", "-p", "boot", "-f", huge});
    EXPECT_EQ(-857, r.status);
    EXPECT_TRUE(contains(r.err, "ERR[VXN]cannot send " + huge + " as sparse: its 17179869188 bytes are more than "
                                "2^32 - 1 blocks of 4 bytes, the most a sparse image holds\n"))
        << r.err;
    EXPECT_TRUE(rig.board.commands.empty());
    unlink(huge.c_str());
#endif
}

TEST(SparseStreamBurn, SparseImagesAndNormalBurnsAreSentAsTheyAre) {
    const Bytes img = blocks_of("dd00d");
    const Bytes sparse = mediatest::sparse_encode(img, 4096);
    std::string spath = write_file("given.sparse.img", sparse);
    Rig rig(boot_for(img.size(), PortionOrder::Sequential, 0x100000));
    RunResult r = run_vorn(rig.board, {"partition", "-t", "sparse", "-p", "boot", "-f", spath});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(r.err, "sparse format detected\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "sparse stream:")) << r.err;
    EXPECT_EQ(sparse.size(), rig.media->served.at(0).size);
    // Its zero blocks are don't-care: the partition keeps what it held there.
    Bytes want = img;
    std::fill(want.begin() + 0x2000, want.begin() + 0x4000, 0xEE);
    EXPECT_EQ(want, slice(rig.media->contents("store", "boot"), 0, img.size()));

    Rig plain(boot_for(img.size(), PortionOrder::Sequential, 0x100000));
    std::string rpath = write_file("raw.img", img);
    r = run_vorn(plain.board, {"partition", "-p", "boot", "-f", rpath});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("oem mwrite 0x5000 normal store boot 0x0", plain.board.commands.at(0));
    EXPECT_FALSE(contains(r.err, "sparse stream:")) << r.err;
}

TEST(SparseStreamBurn, AnImageOver4GiBWithHolesIntoARecordingBoard) {
    // A sparse file on disk: data at the start, across the 4 GiB mark and at the end, a fill
    // word in the middle, holes elsewhere. The board records what the expansion made of each
    // stretch instead of storing 4 GiB.
    const long long size = 0x100000000ll + 0x5000;
    struct Piece {
        long long at;
        Bytes bytes;
    };
    const std::vector<Piece> pieces = {
        {0x1000, pattern(0x2000, 51)},
        {0x80000000ll, Bytes(0x3000, 0x77)},
        {0xFFFFF000ll, pattern(0x1800, 52)},
        {size - 0x1000, pattern(0x1000, 53)},
    };
    std::string path = mediatest::holey_file("big.img", size, 0, {});
    int fd = open_host_file(path.c_str(), O_WRONLY);
    for (const Piece& p : pieces) {
        ASSERT_EQ(p.at, (long long)lseek(fd, p.at, SEEK_SET));
        ASSERT_EQ((long long)p.bytes.size(), write_full(fd, p.bytes.data(), p.bytes.size()));
    }
    close(fd);

    MediaConfig c;
    c.media = {{"store", {{"big", 5ull << 30, {}}}}};
    c.record_sparse = true;
    c.portion = 0x4000;
    c.order = PortionOrder::Shuffled;
    Rig rig(c);
    RunResult r = run_vorn(rig.board, {"partition", "-t", "sparse", "-p", "big", "-f", path});
    ASSERT_EQ(0, r.status) << r.err;
    // Block 0, a single zero block, does not earn a chunk of its own in an image of 2^20 + 5
    // blocks: it goes out with the raw run after it.
    EXPECT_TRUE(contains(r.err, "MSG[VXN]sparse stream: 24.12 KiB of 4.00 GiB to send, 7 chunks\n")) << r.err;
    ASSERT_EQ(1u, rig.media->completed.size());
    EXPECT_EQ(0u, rig.media->completed[0].find("mwrite sparse store/big 0x0 0x"));

    // The stretches follow one another from 0 to the end of the image; raw ones hold exactly the
    // bytes written there, fills the value of every byte they cover.
    auto expect_byte = [&](long long at) -> int {
        for (const Piece& p : pieces)
            if (at >= p.at && at < p.at + (long long)p.bytes.size()) return p.bytes[(size_t)(at - p.at)];
        return 0;
    };
    uint64_t pos = 0, raw = 0;
    for (const Extent& e : rig.media->extents) {
        ASSERT_EQ(pos, e.offset);
        ASSERT_NE(Extent::Skip, e.kind);
        if (e.kind == Extent::Raw) {
            raw += e.size;
            for (size_t i = 0; i < e.data.size(); i++) ASSERT_EQ(expect_byte((long long)(e.offset + i)), e.data[i]);
        } else {
            for (const Piece& p : pieces)
                for (long long at = std::max<long long>(p.at, (long long)e.offset);
                     at < std::min<long long>(p.at + (long long)p.bytes.size(), (long long)(e.offset + e.size)); at++)
                    ASSERT_EQ((e.value >> (8 * (at % 4))) & 0xFF, (uint32_t)p.bytes[(size_t)(at - p.at)]);
        }
        pos += e.size;
    }
    EXPECT_EQ((uint64_t)size, pos);
    EXPECT_EQ(0x1000u + 0x2000 + 0x2000 + 0x1000, raw);  // the data blocks and block 0
}
