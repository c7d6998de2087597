// The media write stream against the emulated board's storage medium.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "protocol/media_write.h"
#include "tests/media_rig.h"
#include "util/add_sum.h"
#include "util/platform.h"
#include "util/progress.h"

using board::Bytes;
using board::MediaConfig;
using board::Portion;
using board::PortionOrder;
using mediatest::contains;
using mediatest::open_at;
using mediatest::Rig;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testsupport::pattern;
using testsupport::script;
using testsupport::write_file;

namespace {

constexpr const char* kCmd = "mwrite:verify=addsum";

struct Outcome {
    int result;
    std::string err;
};

Outcome mwrite(Rig& rig, int fd, long long size) {
    CaptureStderr();
    int r = fb_mwrite_data(&rig.transport, fd, size, kCmd);
    close(fd);
    return {r, GetCapturedStderr()};
}

}  // namespace

TEST(MediaWrite, OkayAtOnceEndsWithoutReadingTheFile) {
    Rig rig(MediaConfig(), false);
    script(rig.board, kCmd, {"OKAY"});
    std::string path = write_file("img", pattern(1000));
    int fd = open_at(path, 0);
    CaptureStderr();
    EXPECT_EQ(0, fb_mwrite_data(&rig.transport, fd, 1000, kCmd));
    std::string err = GetCapturedStderr();
    EXPECT_TRUE(contains(err, "MSG[VXN]mwrite finish\n")) << err;
    EXPECT_EQ(0, lseek(fd, 0, SEEK_CUR));
    EXPECT_EQ(std::vector<size_t>({strlen(kCmd)}), rig.transport.write_sizes);
    close(fd);
}

TEST(MediaWrite, ChunksOfA0x30000RequestAndTheSixByteChecksum) {
    MediaConfig c;
    c.portion = 0x30000;
    Rig rig(c);
    Bytes img = pattern(0x30000, 3);
    std::string path = write_file("img", img);
    ASSERT_EQ(0, rig.announce("oem mwrite 0x30000 normal store boot 0x0"));
    rig.transport.write_sizes.clear();
    Outcome o = mwrite(rig, open_at(path, 0), 0x30000);
    EXPECT_EQ(0, o.result) << o.err;
    EXPECT_EQ(std::vector<size_t>({strlen(kCmd), 0x20000, 0x10000, 4, strlen(kCmd)}), rig.transport.write_sizes);
    EXPECT_EQ(img, mediatest::slice(rig.media->contents("store", "boot"), 0, img.size()));
    EXPECT_EQ(1, rig.media->checksums_accepted);
    EXPECT_EQ(add_sum(img.data(), (unsigned)img.size()), rig.media->served.at(0).sum);

    // 01 00 00 00 02 00: the board accepts the 4 checksum bytes 03 00 00 00.
    Rig six;
    std::string small = write_file("six", Bytes{1, 0, 0, 0, 2, 0});
    ASSERT_EQ(0, six.announce("oem mwrite 0x6 normal key key 0x0"));
    six.transport.write_sizes.clear();
    o = mwrite(six, open_at(small, 0), 6);
    EXPECT_EQ(0, o.result) << o.err;
    EXPECT_EQ(std::vector<size_t>({strlen(kCmd), 6, 4, strlen(kCmd)}), six.transport.write_sizes);
    ASSERT_EQ(1u, six.media->served.size());
    EXPECT_EQ(3u, six.media->served[0].sum);
    EXPECT_EQ(0, six.media->checksums_wrong);
    EXPECT_EQ(std::vector<std::string>({"mwrite normal key/key 0x0 0x6"}), six.media->completed);
}

TEST(MediaWrite, EveryPortionOrderFillsThePartition) {
    // A size that is neither a multiple of the portion nor of 4 puts checksum tails mid-image.
    const size_t size = 0x123457;
    Bytes img = pattern(size, 7);
    std::string path = write_file("img", img);
    for (PortionOrder order : {PortionOrder::Sequential, PortionOrder::Shuffled, PortionOrder::Repeated,
                               PortionOrder::Rejected}) {
        MediaConfig c;
        c.portion = 0x30001;
        c.order = order;
        c.seed = 5;
        Rig rig(c);
        ASSERT_EQ(0, rig.announce("oem mwrite 0x123457 normal store system 0x1000"));
        Outcome o = mwrite(rig, open_at(path, 0), (long long)size);
        SCOPED_TRACE((int)order);
        EXPECT_EQ(0, o.result) << o.err;
        Bytes part = rig.media->contents("store", "system");
        EXPECT_EQ(Bytes(0x1000, 0), mediatest::slice(part, 0, 0x1000));
        EXPECT_EQ(img, mediatest::slice(part, 0x1000, size));
        EXPECT_EQ(0, rig.media->checksums_wrong);
        EXPECT_TRUE(rig.media->problems.empty());
        const size_t portions = (size + 0x30000) / 0x30001;
        EXPECT_EQ(portions + (order == PortionOrder::Repeated), rig.media->served.size());
        EXPECT_EQ(order == PortionOrder::Rejected ? 1 : 0, rig.media->checksums_refused);
        if (order == PortionOrder::Shuffled) {
            bool moved = false;
            for (size_t i = 0; i < portions; i++) moved |= rig.media->served[i].offset != i * 0x30001;
            EXPECT_TRUE(moved);
        }
        EXPECT_EQ(1u, rig.media->completed.size());
    }
}

TEST(MediaWrite, RequestsWithoutOffsetPlainDataAndSlices) {
    // The slice starts at byte 100 of the file; a request without an offset starts there.
    MediaConfig c;
    c.data_code = "DATA";
    c.zero_offset_written = false;
    c.plan = {{0, 8}, {8, 8}, {0, 8}};
    Rig rig(c);
    Bytes file = pattern(200, 9);
    std::string path = write_file("img", file);
    ASSERT_EQ(0, rig.announce("oem mwrite 0x10 normal store boot 0x0"));
    int fd = open_at(path, 100);
    CaptureStderr();
    int r = fb_mwrite_data(&rig.transport, fd, 16, kCmd);
    std::string err = GetCapturedStderr();
    EXPECT_EQ(0, r) << err;
    EXPECT_EQ(mediatest::slice(file, 100, 16), mediatest::slice(rig.media->contents("store", "boot"), 0, 16));
    EXPECT_EQ(3u, rig.media->served.size());
    // Each request is read at its own place: the descriptor stays where the slice starts.
    EXPECT_EQ(100, lseek(fd, 0, SEEK_CUR));
    close(fd);
}

TEST(MediaWrite, RequestsBeyondTheDataOrTheBoundAreRefused) {
    Bytes file = pattern(1000, 2);
    std::string path = write_file("img", file);
    {
        // Past the end of the file: nothing of the request is sent.
        MediaConfig c;
        c.plan = {{996, 8}};
        Rig rig(c);
        ASSERT_EQ(0, rig.announce("oem mwrite 0x3e8 normal store boot 0x0"));
        rig.transport.write_sizes.clear();
        Outcome o = mwrite(rig, open_at(path, 0), 1000);
        EXPECT_EQ(-260, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in read img,want 8 but 4\n")) << o.err;
        EXPECT_EQ(std::vector<size_t>({strlen(kCmd)}), rig.transport.write_sizes);
        EXPECT_TRUE(rig.media->completed.empty());
    }
    {
        // Past the end of a slice, although the file would have the bytes.
        MediaConfig c;
        c.plan = {{0x7FFFFFFFFFFFFFFFull, 4}};
        Rig rig(c);
        ASSERT_EQ(0, rig.announce("oem mwrite 0x10 normal store boot 0x0"));
        Outcome o = mwrite(rig, open_at(path, 0), 16);
        EXPECT_EQ(-260, o.result);
        EXPECT_TRUE(contains(fb_get_error(), "beyond data size")) << fb_get_error();
    }
    {
        // A slice of 16 bytes in the middle of the file: a request that ends at the slice's end
        // is served; one that starts inside the slice but ends past it is refused before any of
        // it is sent, although the file goes on, and so is one that starts at the slice's end.
        for (const Portion& p : {Portion{8, 8}, Portion{12, 8}, Portion{16, 1}}) {
            MediaConfig c;
            c.plan = {p};
            c.store = false;
            Rig rig(c);
            ASSERT_EQ(0, rig.announce("oem mwrite 0x10 normal store boot 0x0"));
            rig.transport.write_sizes.clear();
            Outcome o = mwrite(rig, open_at(path, 100), 16);
            SCOPED_TRACE(p.offset);
            if (p.offset == 8) {
                EXPECT_EQ(0, o.result) << o.err;
                ASSERT_EQ(1u, rig.media->served.size());
                EXPECT_EQ(add_sum(file.data() + 108, 8), rig.media->served[0].sum);
                continue;
            }
            EXPECT_EQ(-260, o.result);
            EXPECT_TRUE(contains(fb_get_error(), "beyond data size 0x10")) << fb_get_error();
            EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in read img,want " + std::to_string(p.size) + " but " +
                                            std::to_string(16 - std::min<long long>(p.offset, 16)) + "\n"))
                << o.err;
            EXPECT_EQ(std::vector<size_t>({strlen(kCmd)}), rig.transport.write_sizes);
            EXPECT_TRUE(rig.media->served.empty());
        }
    }
    {
        // Larger than the data size: refused by the exchange with its bound.
        MediaConfig c;
        c.plan = {{0, 17}};
        Rig rig(c);
        ASSERT_EQ(0, rig.announce("oem mwrite 0x10 normal store boot 0x0"));
        Outcome o = mwrite(rig, open_at(path, 0), 16);
        EXPECT_EQ(-288, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]fail in send mwrite cmd[mwrite:verify=addsum]\n")) << o.err;
        EXPECT_STREQ("data size too large", fb_get_error());
        EXPECT_TRUE(rig.transport.closed());
    }
}

TEST(MediaWrite, BoardFailuresEndTheWrite) {
    Bytes file = pattern(0x40000, 4);
    std::string path = write_file("img", file);
    {
        // A medium that fails the closing reply.
        MediaConfig c;
        c.portion = 0x10000;
        c.fail_write_at = 0x25000;
        Rig rig(c);
        ASSERT_EQ(0, rig.announce("oem mwrite 0x40000 normal store boot 0x0"));
        Outcome o = mwrite(rig, open_at(path, 0), 0x40000);
        EXPECT_EQ(-332, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in _command_end\n")) << o.err;
        EXPECT_STREQ("remote: medium write error", fb_get_error());
        EXPECT_FALSE(rig.transport.closed());
        EXPECT_EQ(2u, rig.media->served.size());
        EXPECT_TRUE(rig.media->completed.empty());
    }
    {
        // A board that keeps answering FAIL.
        Rig rig;
        rig.board.config.faults.fail_prefix = "mwrite:";
        rig.board.config.faults.fail_text = "busy";
        Outcome o = mwrite(rig, open_at(path, 0), 0x40000);
        EXPECT_EQ(-288, o.result);
        EXPECT_STREQ("remote: busy", fb_get_error());
    }
    {
        // A board that vanishes in the middle of a chunk.
        Rig rig;
        rig.board.config.faults.vanish_after_data_bytes = 0x30000;
        ASSERT_EQ(0, rig.announce("oem mwrite 0x40000 normal store boot 0x0"));
        Outcome o = mwrite(rig, open_at(path, 0), 0x40000);
        EXPECT_EQ(-260, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in send data at len 0x20000\n")) << o.err;
        EXPECT_TRUE(contains(fb_get_error(), "data transfer failure")) << fb_get_error();
        EXPECT_TRUE(rig.transport.closed());
        EXPECT_TRUE(rig.media->completed.empty());
        EXPECT_TRUE(rig.media->served.empty());
    }
    {
        // The checksum transfer fails.
        Rig rig;
        ASSERT_EQ(0, rig.announce("oem mwrite 0x40000 normal store boot 0x0"));
        rig.board.config.faults.fail_write_after = 1 + 1 + 2;  // announce, command, two chunks
        Outcome o = mwrite(rig, open_at(path, 0), 0x40000);
        EXPECT_EQ(-1, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in send addsum for transport\n")) << o.err;
    }
}

TEST(MediaWrite, MalformedRequestsAreProtocolErrors) {
    Bytes file = pattern(0x1000, 4);
    std::string path = write_file("img", file);
    {
        // A device-to-host phase in a write: refused before any transfer, the link dropped.
        Rig rig(MediaConfig(), false);
        script(rig.board, kCmd, {"DATAIN0x100"});
        Outcome o = mwrite(rig, open_at(path, 0), 0x1000);
        EXPECT_EQ(-292, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]protocol err, dir changed\n")) << o.err;
        EXPECT_EQ(std::vector<size_t>({strlen(kCmd)}), rig.transport.write_sizes);
        EXPECT_TRUE(rig.transport.read_sizes.size() == 1);
        EXPECT_TRUE(rig.transport.closed());
        EXPECT_TRUE(contains(fb_get_error(), "DATAIN")) << fb_get_error();
    }
    {
        Rig rig(MediaConfig(), false);
        script(rig.board, kCmd, {"DATAOUT0x4:-5"});
        Outcome o = mwrite(rig, open_at(path, 0), 0x1000);
        EXPECT_EQ(-297, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]illegle negative fileoffset\n")) << o.err;
    }
    {
        // A request of nothing is not the end of the write.
        Rig rig(MediaConfig(), false);
        script(rig.board, kCmd, {"DATAOUT0x0:0x0"});
        Outcome o = mwrite(rig, open_at(path, 0), 0x1000);
        EXPECT_EQ(-288, o.result);
        EXPECT_FALSE(contains(o.err, "mwrite finish")) << o.err;
        EXPECT_STREQ("data request of 0 bytes", fb_get_error());
    }
    {
        // More than 2 GiB at once, with a data size that allows it (a file of holes).
        Rig rig(MediaConfig(), false);
        script(rig.board, kCmd, {"DATAOUT0x90000000"});
        std::string big = mediatest::holey_file("big", 0x100000000ll, 0, {});
        Outcome o = mwrite(rig, open_at(big, 0), 0x100000000ll);
        EXPECT_EQ(-288, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]dsize 2415919104x > max 2G\n")) << o.err;
        EXPECT_FALSE(rig.transport.closed());
    }
    {
        // A descriptor without a position.
        Rig rig;
        int fds[2];
        ASSERT_EQ(0, make_pipe(fds));
        Outcome o = mwrite(rig, fds[0], 16);
        close(fds[1]);
        EXPECT_EQ(-267, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Excep, fail to get origOff\n")) << o.err;
        EXPECT_TRUE(rig.transport.write_sizes.empty());
    }
    {
        // The file is shorter than the data size it was queued with.
        Rig rig;
        ASSERT_EQ(0, rig.announce("oem mwrite 0x2000 normal store boot 0x0"));
        Outcome o = mwrite(rig, open_at(path, 0), 0x2000);
        EXPECT_EQ(-260, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in read img,want 8192 but 4096\n")) << o.err;
    }
}

TEST(MediaWrite, ImagesOf4GiBAndMoreAndSlicesBeyond2GiB) {
    const long long four = 0x100000000ll;
    Bytes tail = pattern(0x3000, 11);
    // Exactly 4 GiB: a 32-bit bound would be 0 and refuse every request.
    for (long long size : {four, four + 1024}) {
        MediaConfig c;
        c.store = false;
        c.plan = {{(uint64_t)size - 0x3000, 0x3000}, {0, 0x30000}, {(uint64_t)size - 0x10000, 0x10000}};
        c.media = {{"store", {{"userdata", (uint64_t)size, {}}}}};
        Rig rig(c);
        std::string path = mediatest::holey_file("big", size, size - 0x3000, tail);
        char text[96];
        snprintf(text, sizeof(text), "oem mwrite 0x%llx normal store userdata 0x0", size);
        ASSERT_EQ(0, rig.announce(text));
        Outcome o = mwrite(rig, open_at(path, 0), size);
        SCOPED_TRACE(size);
        EXPECT_EQ(0, o.result) << o.err;
        ASSERT_EQ(3u, rig.media->served.size());
        EXPECT_EQ(add_sum(tail.data(), (unsigned)tail.size()), rig.media->served[0].sum);
        EXPECT_EQ(0, rig.media->checksums_wrong);
    }
    // A slice that starts at 3 GiB of the file.
    const long long start = 0xC0000000ll;
    Bytes data = pattern(0x28000, 12);
    std::string path = mediatest::holey_file("slice", start + 0x40000, start, data);
    Rig rig;
    ASSERT_EQ(0, rig.announce("oem mwrite 0x28000 normal store boot 0x0"));
    Outcome o = mwrite(rig, open_at(path, start), 0x28000);
    EXPECT_EQ(0, o.result) << o.err;
    EXPECT_EQ(data, mediatest::slice(rig.media->contents("store", "boot"), 0, data.size()));
}

TEST(MediaWrite, ProgressLinesOfAWrite) {
    MediaConfig c;
    c.portion = 1 << 20;
    c.media = {{"store", {{"system", 10 << 20, {}}}}};
    Rig rig(c);
    std::string path = write_file("img", pattern(10 << 20, 13));
    ASSERT_EQ(0, rig.announce("oem mwrite 0xa00000 normal store system 0x0"));
    Outcome o = mwrite(rig, open_at(path, 0), 10 << 20);
    EXPECT_EQ(0, o.result) << o.err;
    // 4 MiB between lines (a percent is 104857 bytes), the last one when the end is reached.
    std::regex lines("Downloading\\.\\.\\.\n\\[ 40%/   10MBytes\\] \\d+ms\r\\[ 80%/   10MBytes\\] \\d+ms\r"
                     "\\[100%/   10MBytes\\] \\d+ms\r\nMSG\\[VXN\\]mwrite finish\n");
    EXPECT_TRUE(std::regex_search(o.err, lines)) << o.err;
}

TEST(MediaWrite, ProgressFiguresOfATransferBeyond400GiB) {
    // 1 TiB: a percent is 10995116277 bytes, which a 32-bit figure would wrap to 2405181685 and
    // so print a percent every 2.2 GiB.
    const long long total = 1ll << 40;
    qrx_progress_info_init(total, "Downloading", 0, 100);
    CaptureStderr();
    for (int i = 0; i < 10; i++) qrx_progress_info_update(1 << 30, (long long)i << 30);
    std::string quiet = GetCapturedStderr();
    EXPECT_EQ("Downloading...\n", quiet);
    CaptureStderr();
    qrx_progress_info_update(1 << 30, 10ll << 30);
    std::string line = GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(line, std::regex("\\[  1%/1048576MBytes\\] \\d+ms\r"))) << line;
    // A request that reaches the end prints at once, with the percent its bytes make up.
    CaptureStderr();
    qrx_progress_info_update(1 << 30, total - (1 << 30));
    line = GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(line, std::regex("\\[  1%/1048576MBytes\\] \\d+ms\r"))) << line;
}
