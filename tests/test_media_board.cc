// The emulated board's storage medium on its own: plans, checksums, sparse expansion and the
// refusals of its announcing commands.
#include <gtest/gtest.h>

#include <set>

#include "tests/media_rig.h"
#include "util/add_sum.h"

using board::Bytes;
using board::MediaConfig;
using board::Portion;
using board::PortionOrder;
using mediatest::Rig;
using testsupport::pattern;

TEST(MediaBoard, PlansCoverTheImageInTheirOrder) {
    auto seq = board::media_plan(10, 4, PortionOrder::Sequential, 1);
    ASSERT_EQ(3u, seq.size());
    EXPECT_EQ(8u, seq[2].offset);
    EXPECT_EQ(2u, seq[2].size);
    auto shuffled = board::media_plan(0x100000, 0x1000, PortionOrder::Shuffled, 3);
    std::set<uint64_t> offsets;
    bool moved = false;
    for (size_t i = 0; i < shuffled.size(); i++) {
        offsets.insert(shuffled[i].offset);
        moved |= shuffled[i].offset != i * 0x1000;
    }
    EXPECT_EQ(256u, offsets.size());
    EXPECT_TRUE(moved);
    auto repeated = board::media_plan(0x5000, 0x1000, PortionOrder::Repeated, 1);
    ASSERT_EQ(6u, repeated.size());
    EXPECT_EQ(0x2000u, repeated[5].offset);
    EXPECT_TRUE(board::media_plan(0, 0x1000, PortionOrder::Sequential, 1).empty());
}

TEST(MediaBoard, PositionedSumsEqualTheWordSumHoweverTheBytesArrive) {
    Bytes data = pattern(1001, 4);
    const uint32_t want = add_sum(data.data(), (unsigned)data.size());
    for (size_t piece : {1u, 3u, 7u, 64u, 1001u}) {
        uint32_t sum = 0;
        for (size_t at = 0; at < data.size(); at += piece) {
            size_t n = std::min(piece, data.size() - at);
            sum = board::word_sum(sum, at, data.data() + at, n);
        }
        EXPECT_EQ(want, sum) << piece;
    }
}

TEST(MediaBoard, SparseExpansionAndItsRefusals) {
    Bytes image = pattern(0x3000, 5);
    image.resize(0x6000, 0x11);
    image.resize(0x8000, 0);
    Bytes sparse = mediatest::sparse_encode(image, 4096);
    Bytes part(0x10000, 0xAB);
    EXPECT_EQ("", board::sparse_expand(sparse, &part, 0x2000));
    EXPECT_EQ(mediatest::slice(image, 0, 0x6000), mediatest::slice(part, 0x2000, 0x6000));
    EXPECT_EQ(Bytes(0x2000, 0xAB), mediatest::slice(part, 0x8000, 0x2000));  // don't care

    Bytes small(0x4000);
    EXPECT_EQ("sparse image larger than partition", board::sparse_expand(sparse, &small, 0));
    Bytes bad = sparse;
    bad[0] ^= 1;
    EXPECT_EQ("bad sparse magic", board::sparse_expand(bad, &part, 0));
    bad = sparse;
    bad[bad.size() - 1] ^= 1;  // the CRC32 chunk's value
    EXPECT_EQ("sparse crc mismatch", board::sparse_expand(bad, &part, 0));
    bad = sparse;
    bad.resize(bad.size() - 30);
    EXPECT_NE("", board::sparse_expand(bad, &part, 0));
    bad = sparse;
    bad[16] += 1;  // total_blocks
    EXPECT_EQ("sparse chunks do not cover the image", board::sparse_expand(bad, &part, 0));
    bad = sparse;
    bad[12] = 2;  // block size 0x1002
    EXPECT_EQ("bad sparse block size", board::sparse_expand(bad, &part, 0));
}

TEST(MediaBoard, AnnouncementsThatTheBoardRefuses) {
    Rig rig;
    EXPECT_EQ(-1, rig.announce("oem mwrite 0x10 normal store nothing 0x0"));
    EXPECT_STREQ("remote: no partition store/nothing", fb_get_error());
    EXPECT_EQ(-1, rig.announce("oem mwrite 0x10 normal disk boot 0x0"));
    EXPECT_EQ(-1, rig.announce("oem mwrite 0x10 raw store boot 0x0"));
    EXPECT_STREQ("remote: unknown image type raw", fb_get_error());
    EXPECT_EQ(-1, rig.announce("oem mwrite 0x400001 normal store boot 0x0"));
    EXPECT_STREQ("remote: image larger than partition", fb_get_error());
    EXPECT_EQ(-1, rig.announce("oem mwrite 0x10 normal store boot 0xffffffffffffffff"));
    // The slice of the partition is measured from its offset: one byte past the end is refused,
    // an image that fills the partition's last bytes exactly is taken.
    EXPECT_EQ(-1, rig.announce("oem mwrite 0x10 normal store boot 0x3ffff1"));
    EXPECT_STREQ("remote: image larger than partition", fb_get_error());
    EXPECT_EQ(-1, rig.announce("oem mwrite 0x0 normal store boot 0x400001"));
    {
        Rig fits;
        EXPECT_EQ(0, fits.announce("oem mwrite 0x10 normal store boot 0x3ffff0"));
        EXPECT_EQ(0, fits.announce("oem mwrite 0x0 normal store boot 0x400000"));
    }
    EXPECT_EQ(-1, rig.announce("oem mwrite zz normal store boot 0x0"));
    EXPECT_STREQ("remote: bad arguments", fb_get_error());
    EXPECT_EQ(-1, rig.announce("oem mread 0x10 sparse store boot 0x0"));
    EXPECT_STREQ("remote: cannot read sparse images", fb_get_error());
    EXPECT_EQ(-1, rig.announce("oem mread 0x10 normal store boot 0x3ffff1"));
    EXPECT_STREQ("remote: read beyond partition", fb_get_error());
    char resp[129];
    EXPECT_EQ(-1, fb_command_response(&rig.transport, "mwrite:verify=addsum", resp));
    EXPECT_STREQ("remote: no mwrite announced", fb_get_error());
    EXPECT_EQ(-1, fb_command_response(&rig.transport, "mread:status=finish", resp));
    EXPECT_STREQ("remote: no portion uploaded", fb_get_error());
    EXPECT_EQ(0, fb_command_response(&rig.transport, "oem other", resp));  // left to the core
    EXPECT_FALSE(rig.transport.closed());
}

TEST(MediaBoard, WrongChecksumsAndIncompleteImagesNeverComplete) {
    // A host that sends a wrong checksum: the board says so and forgets the write.
    Rig rig;
    ASSERT_EQ(0, rig.announce("oem mwrite 0x8 normal store boot 0x0"));
    bool dir = true;
    long long off = -1;
    char resp[129];
    ASSERT_EQ(8, _command_start(&rig.transport, "mwrite:verify=addsum", 8, resp, &dir, &off));
    Bytes data = pattern(8, 1);
    uint8_t wrong[4] = {1, 2, 3, 4};
    ASSERT_EQ(8, _command_data(&rig.transport, data.data(), 8, &dir));
    ASSERT_EQ(4, _command_data(&rig.transport, wrong, 4, &dir));
    EXPECT_EQ(-1, _command_end(&rig.transport));
    EXPECT_STREQ("remote: addsum mismatch", fb_get_error());
    EXPECT_EQ(1, rig.media->checksums_wrong);
    EXPECT_EQ(1u, rig.media->problems.size());
    EXPECT_EQ(-1, fb_command_response(&rig.transport, "mwrite:verify=addsum", resp));
    EXPECT_TRUE(rig.media->completed.empty());

    // A plan that leaves bytes out: the board does not claim the image.
    MediaConfig c;
    c.plan = {Portion{0, 4}};
    Rig part(c);
    ASSERT_EQ(0, part.announce("oem mwrite 0x8 normal store boot 0x0"));
    ASSERT_EQ(4, _command_start(&part.transport, "mwrite:verify=addsum", 8, resp, &dir, &off));
    uint32_t sum = add_sum(data.data(), 4);
    ASSERT_EQ(4, _command_data(&part.transport, data.data(), 4, &dir));
    ASSERT_EQ(4, _command_data(&part.transport, &sum, 4, &dir));
    ASSERT_EQ(0, _command_end(&part.transport));
    EXPECT_EQ(-1, fb_command_response(&part.transport, "mwrite:verify=addsum", resp));
    EXPECT_STREQ("remote: image incomplete", fb_get_error());
    EXPECT_TRUE(part.media->completed.empty());

    // A plan that asks past the end of the announced slice (a host that serves it anyway): the
    // board keeps none of those bytes and says so.
    MediaConfig past;
    past.plan = {Portion{0, 8}, Portion{4, 8}};
    Rig beyond(past);
    ASSERT_EQ(0, beyond.announce("oem mwrite 0x8 normal store boot 0x0"));
    for (const Portion& p : past.plan) {
        ASSERT_EQ(8, _command_start(&beyond.transport, "mwrite:verify=addsum", 16, resp, &dir, &off));
        EXPECT_EQ((long long)p.offset, off);
        Bytes bytes = pattern(8, 2 + (uint32_t)p.offset);
        uint32_t s = add_sum(bytes.data(), 8);
        ASSERT_EQ(8, _command_data(&beyond.transport, bytes.data(), 8, &dir));
        ASSERT_EQ(4, _command_data(&beyond.transport, &s, 4, &dir));
        ASSERT_EQ(0, _command_end(&beyond.transport));
    }
    EXPECT_EQ(std::vector<std::string>({"the plan asks beyond the image"}), beyond.media->problems);
    Bytes kept = beyond.media->contents("store", "boot");
    EXPECT_EQ(pattern(8, 2), mediatest::slice(kept, 0, 8));
    EXPECT_EQ(Bytes(8, 0), mediatest::slice(kept, 8, 8));
}

TEST(MediaBoard, OptionTextOfTheUsbEmulator) {
    std::string contents = testsupport::write_file("initial.bin", std::string("abc"));
    MediaConfig c;
    std::string error;
    ASSERT_TRUE(board::media_config_parse("part=store/boot/4K/" + contents + ",part=store/sys/1M,part=key/k/16,"
                                          "portion=0x3000,order=rejected,seed=9,ask=0x100000000+0x10,ask=0+4,"
                                          "no-store,no-check,data-code=DATA,no-zero-offset,read-portion=1k,"
                                          "vanish-after-read=5,fail-write-at=0x10,verify=v1",
                                          &c, &error))
        << error;
    ASSERT_EQ(2u, c.media.size());
    EXPECT_EQ("store", c.media[0].name);
    ASSERT_EQ(2u, c.media[0].partitions.size());
    EXPECT_EQ(4096u, c.media[0].partitions[0].size);
    EXPECT_EQ(Bytes({'a', 'b', 'c'}), c.media[0].partitions[0].initial);
    EXPECT_EQ(1u << 20, c.media[0].partitions[1].size);
    EXPECT_EQ("k", c.media[1].partitions[0].name);
    EXPECT_EQ(0x3000u, c.portion);
    EXPECT_EQ(PortionOrder::Rejected, c.order);
    EXPECT_EQ(9u, c.seed);
    ASSERT_EQ(2u, c.plan.size());
    EXPECT_EQ(0x100000000ull, c.plan[0].offset);
    EXPECT_EQ(4u, c.plan[1].size);
    EXPECT_FALSE(c.store);
    EXPECT_FALSE(c.check_sums);
    EXPECT_EQ("DATA", c.data_code);
    EXPECT_FALSE(c.zero_offset_written);
    EXPECT_EQ(1024u, c.read_portion);
    EXPECT_EQ(5, c.vanish_after_read_bytes);
    EXPECT_EQ(16, c.fail_write_at);
    EXPECT_EQ("v1", c.verify_text);

    MediaConfig d;
    EXPECT_TRUE(board::media_config_parse("", &d, &error));
    EXPECT_EQ(3u, d.media.size());  // the defaults stay
    for (const char* bad : {"part=store/boot", "part=store//1M", "portion=0", "order=up", "ask=5", "ask=0+0",
                            "frobnicate", "part=key/k/2/" "/nonexistent/file", "part=key/k/2/"}) {
        error.clear();
        MediaConfig e;
        EXPECT_FALSE(board::media_config_parse(bad, &e, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(MediaBoard, TheBoardsOwnChecksumAndNumbers) {
    // The board sums with its own code; these are the checksum's defining examples.
    auto sum = [](const std::string& s) {
        return board::word_sum(0, 0, reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(0x00636261u, sum("abc"));
    EXPECT_EQ(0x64636261u, sum("abcd"));
    EXPECT_EQ(0x646362C6u, sum("abcde"));
    EXPECT_EQ(0u, sum(std::string("\xFF\xFF\xFF\xFF\x01\x00\x00\x00", 8)));
    EXPECT_EQ(0u, sum(""));
    // In pieces of any size, at their positions, the same sum.
    const uint8_t* p = reinterpret_cast<const uint8_t*>("abcdefg");
    EXPECT_EQ(sum("abcdefg"), board::word_sum(board::word_sum(0, 0, p, 3), 3, p + 3, 4));

    uint64_t v = 0;
    const struct {
        const char* text;
        uint64_t value;
    } good[] = {{"0x1F400", 0x1F400}, {"0X1f400", 0x1F400}, {"128000", 128000}, {"0372000", 0x1F400},
                {"0", 0},            {"125k", 0x1F400},    {"2M", 2 << 20},     {"1g", 1ull << 30},
                {"0x10k", 0x4000}};
    for (const auto& g : good) {
        EXPECT_TRUE(board::read_number(g.text, &v)) << g.text;
        EXPECT_EQ(g.value, v) << g.text;
    }
    for (const char* bad : {"", "0x", "k", "08", "12a", "-1", " 1", "0x1FFFFFFFFFFFFFFFF", "1 "})
        EXPECT_FALSE(board::read_number(bad, &v)) << bad;
}
