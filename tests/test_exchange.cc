// The reply rules of the command/response exchange against the emulated board.
#include <gtest/gtest.h>

#include <cstring>

#include "protocol/exchange.h"
#include "tests/test_support.h"

using board::Board;
using board::BoardTransport;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testsupport::script;

TEST(Exchange, InfoLinesThenOkayAndTheOkayPayload) {
    Board b;
    b.config.info_lines = {"one", "two", "three"};
    b.config.vars["version"] = "1.2";
    BoardTransport t(b);
    char resp[129];
    memset(resp, 'z', sizeof(resp));
    CaptureStderr();
    EXPECT_EQ(0, fb_command_response(&t, "getvar:version", resp));
    EXPECT_EQ("(bootloader) one\n(bootloader) two\n(bootloader) three\n", GetCapturedStderr());
    EXPECT_STREQ("1.2", resp);

    script(b, "oem done", {"OKAY;done"});
    CaptureStderr();
    EXPECT_EQ(0, fb_command_response(&t, "oem done", resp));
    EXPECT_NE(std::string::npos, GetCapturedStderr().find("(okay)done\n"));
    EXPECT_STREQ(";done", resp);
    EXPECT_EQ(std::vector<std::string>({"getvar:version", "oem done"}), b.commands);
}

TEST(Exchange, FailKeepsTheLinkOpenAndLongTextsAreCutToFit) {
    Board b;
    b.config.faults.fail_prefix = "oem nospace";
    b.config.faults.fail_text = "no space";
    script(b, "oem bare", {"FAIL"});
    std::string long_text(124, 'q');
    script(b, "oem long", {"FAIL" + long_text});
    BoardTransport t(b);
    EXPECT_EQ(-1, fb_command_response(&t, "oem nospace", nullptr));
    EXPECT_STREQ("remote: no space", fb_get_error());
    EXPECT_EQ(-1, fb_command_response(&t, "oem bare", nullptr));
    EXPECT_STREQ("remote failure", fb_get_error());
    EXPECT_EQ(-1, fb_command_response(&t, "oem long", nullptr));
    EXPECT_EQ("remote: " + long_text.substr(0, 119), std::string(fb_get_error()));
    EXPECT_FALSE(t.closed());
    EXPECT_EQ(0, fb_command_response(&t, "oem fine", nullptr));
}

TEST(Exchange, MalformedAndUnknownRepliesCloseTheLink) {
    Board b;
    b.config.faults.malformed_prefix = "oem short";
    BoardTransport t(b);
    EXPECT_EQ(-1, fb_command_response(&t, "oem short", nullptr));
    EXPECT_STREQ("status malformed (3 bytes)", fb_get_error());
    EXPECT_TRUE(t.closed());

    Board b2;
    script(b2, "oem odd", {"WHAT"});
    script(b2, "oem data", {"DATA0x100"});
    BoardTransport t2(b2), t3(b2);
    EXPECT_EQ(-1, fb_command_response(&t2, "oem odd", nullptr));
    EXPECT_STREQ("unknown status code", fb_get_error());
    EXPECT_TRUE(t2.closed());
    // A DATA reply to a command that allows no data phase.
    EXPECT_EQ(-1, fb_command_response(&t3, "oem data", nullptr));
    EXPECT_STREQ("unknown status code", fb_get_error());
    EXPECT_TRUE(t3.closed());
}

TEST(Exchange, DataRepliesSizesOffsetsAndDirections) {
    Board b;
    script(b, "out", {"DATAOUT0x200:0x1000"});
    script(b, "in", {"DATAIN0x20000"});
    script(b, "in5", {"DATAIN5"});
    script(b, "oct", {"DATA00001000"});
    script(b, "big", {"DATA0x2000"});
    script(b, "huge", {"DATA0x90000000"});
    script(b, "2g", {"DATA0x80000000"});
    script(b, "dashes", {"DATA0x10:zz"});
    BoardTransport t(b);
    bool dir = false;
    long long off = -5;
    EXPECT_EQ(512, _command_start(&t, "out", 0x1000, nullptr, &dir, &off));
    EXPECT_TRUE(dir);
    EXPECT_EQ(4096, off);
    EXPECT_EQ(131072, _command_start(&t, "in", 0xFFFFFFFF, nullptr, &dir, &off));
    EXPECT_FALSE(dir);
    EXPECT_EQ(0, off);
    EXPECT_EQ(512, _command_start(&t, "oct", 0x1000, nullptr, &dir, &off));  // octal, not 4096
    EXPECT_TRUE(dir);
    // An offset that does not parse reads as -1; the streams refuse it.
    EXPECT_EQ(16, _command_start(&t, "dashes", 0x1000, nullptr, &dir, &off));
    EXPECT_EQ(-1, off);
    CaptureStderr();
    EXPECT_EQ(-127, _command_start(&t, "huge", 0xFFFFFFFF, nullptr, &dir, &off));
    EXPECT_EQ("ERR[VXN]dsize 2415919104x > max 2G\n", GetCapturedStderr());
    EXPECT_FALSE(t.closed());
    EXPECT_STREQ("data request of 0x90000000 bytes, above the 0x7fffffff a transfer may move", fb_get_error());
    // Exactly 2 GiB does not fit the signed result either: refused the same way, with its cause.
    fb_set_error("older");
    CaptureStderr();
    EXPECT_EQ(-127, _command_start(&t, "2g", 0xFFFFFFFF, nullptr, &dir, &off));
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_STREQ("data request of 0x80000000 bytes, above the 0x7fffffff a transfer may move", fb_get_error());
    EXPECT_FALSE(t.closed());

    // "DATAIN5" is 7 bytes: plain DATA followed by the text IN5, which is no number.
    EXPECT_EQ(-1, _command_start(&t, "in5", 0x1000, nullptr, &dir, &off));
    EXPECT_STREQ("data size too large", fb_get_error());
    EXPECT_TRUE(t.closed());
    BoardTransport t2(b);
    EXPECT_EQ(-1, _command_start(&t2, "big", 0x1000, nullptr, &dir, &off));
    EXPECT_STREQ("data size too large", fb_get_error());
    EXPECT_TRUE(t2.closed());
}

TEST(Exchange, CommandLengthLimits) {
    Board b;
    BoardTransport t(b);
    std::string c128 = "oem " + std::string(124, 'a');
    EXPECT_EQ(0, fb_command_response(&t, c128.c_str(), nullptr));
    ASSERT_EQ(1u, b.commands.size());
    EXPECT_EQ(c128, b.commands[0]);
    EXPECT_EQ(-1, fb_command_response(&t, (c128 + "b").c_str(), nullptr));
    EXPECT_STREQ("command too large", fb_get_error());
    EXPECT_EQ(1u, b.commands.size());
    EXPECT_FALSE(t.closed());
    // A variable name that makes "setvar:%s" longer than a command may be is refused unsent.
    std::string name(122, 'n');
    unsigned char v[4] = {1, 2, 3, 4};
    EXPECT_EQ(-1, fb_qrx_setvar(&t, name.c_str(), v, 4));
    EXPECT_STREQ("command too large", fb_get_error());
    EXPECT_EQ(0, fb_qrx_setvar(&t, name.substr(1).c_str(), v, 4));
    EXPECT_EQ(board::Bytes({1, 2, 3, 4}), b.setvars[name.substr(1)]);
}

TEST(Exchange, DownloadSendsItsSizeAndData) {
    Board b;
    BoardTransport t(b);
    board::Bytes data = testsupport::pattern(0x1234);
    EXPECT_EQ(0, fb_download_data(&t, data.data(), data.size()));
    ASSERT_EQ(1u, b.downloads.size());
    EXPECT_EQ("download:00001234", b.downloads[0].command);
    EXPECT_EQ(data, b.downloads[0].data);
    EXPECT_EQ(std::vector<size_t>({17, 0x1234}), t.write_sizes);
    // Nothing to send: refused before the board hears of it.
    EXPECT_EQ(-1, fb_download_data(&t, data.data(), 0));
    EXPECT_EQ(1u, b.commands.size());
    EXPECT_EQ(0, fb_setKey(&t, data.data(), 16));
    EXPECT_EQ("setkey:00000010", b.commands.back());
}

TEST(Exchange, DataPhaseFollowsTheAnnouncedDirectionAndFailuresNameTheCause) {
    Board b;
    // The board announces a read although the host sends: the data phase then reads.
    script(b, "download:00000004", {"DATAIN0x4", "abcd", "OKAY"});
    BoardTransport t(b);
    char buf[4] = {0};
    EXPECT_EQ(4, _command_send(&t, "download:00000004", buf, 4, nullptr));
    EXPECT_EQ(0, memcmp(buf, "abcd", 4));

    Board gone;
    gone.config.faults.vanish_after_data_bytes = 10;
    BoardTransport t2(gone);
    board::Bytes data(100, 7);
    EXPECT_EQ(-1, fb_download_data(&t2, data.data(), data.size()));
    EXPECT_STREQ("data transfer failure (No such device)", fb_get_error());
    EXPECT_TRUE(t2.closed());

    Board mute;
    mute.config.faults.hang_prefix = "oem wait";
    BoardTransport t3(mute);
    EXPECT_EQ(-1, fb_command(&t3, "oem wait"));
    EXPECT_STREQ("status read failed (Connection timed out)", fb_get_error());

    Board deaf;
    deaf.config.faults.fail_write_after = 0;
    BoardTransport t4(deaf);
    EXPECT_EQ(-1, fb_command(&t4, "oem x"));
    EXPECT_STREQ("command write failed (Input/output error)", fb_get_error());
    EXPECT_TRUE(t4.closed());

    Board shorty;
    script(shorty, "in", {"DATAIN0x8", "1234"});
    BoardTransport t5(shorty);
    bool dir = true;
    EXPECT_EQ(8, _command_start(&t5, "in", 8, nullptr, &dir, nullptr));
    EXPECT_EQ(-1, _command_data(&t5, buf, 8, &dir));
    EXPECT_STREQ("data transfer failure (short transfer), want 8 but 4", fb_get_error());
}

TEST(Exchange, ClosingReplyMustBeOkay) {
    Board b;
    script(b, "download:00000004", {"DATA00000004"});
    // The scripted board takes the data as a command and answers it with another DATA reply.
    script(b, std::string("\x01\x02\x03\x04", 4), {"DATA4"});
    BoardTransport t(b);
    char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(-1, _command_send(&t, "download:00000004", buf, 4, nullptr));
    EXPECT_STREQ("unknown status code", fb_get_error());
    EXPECT_TRUE(t.closed());
}

TEST(Exchange, CommandPrintsItsResponseLine) {
    Board b;
    script(b, "oem hello", {"OKAYworld"});
    BoardTransport t(b);
    CaptureStderr();
    EXPECT_EQ(0, fb_command(&t, "oem hello"));
    EXPECT_EQ("response:world\n", GetCapturedStderr());
    CaptureStderr();
    EXPECT_EQ(-1, fb_command(&t, "nonsense"));
    EXPECT_EQ("response:\n", GetCapturedStderr());
    EXPECT_STREQ("remote: unknown command", fb_get_error());
}

// A failure a stream finds itself: its log line, and the text the queue's "FAILED (...)" shows.
TEST(Exchange, AStreamsOwnFailureIsLoggedAndBecomesTheErrorText) {
    fb_set_error("older failure");
    CaptureStderr();
    EXPECT_EQ(-260, fb_fail(-260, "image read failed (file too short)",
                            "Fail in read img,want %d but %d\n", 8, 4));
    EXPECT_EQ("ERR[VXN]Fail in read img,want 8 but 4\n", GetCapturedStderr());
    EXPECT_STREQ("image read failed (file too short)", fb_get_error());
    CaptureStderr();
    EXPECT_EQ(-608, fb_refuse(-608, "cbw signature %s\n", "not match"));
    EXPECT_EQ("ERR[VXN]cbw signature not match\n", GetCapturedStderr());
    EXPECT_STREQ("cbw signature not match", fb_get_error());
    // The error text is one line, whatever the caller formats.
    fb_set_error("internal error: %s\n", "staging");
    EXPECT_STREQ("internal error: staging", fb_get_error());
}

TEST(Exchange, TheBoardDeliversTransfersAsTheKernelDoes) {
    // A reply longer than the host's read overflows it and is lost; nothing is cut silently.
    Board b;
    b.config.vars["longvar"] = std::string(200, 'x');
    BoardTransport t(b);
    char buf[512];
    ASSERT_EQ(14, t.Write("getvar:longvar", 14));
    EXPECT_EQ(-1, t.Read(buf, 128));
    EXPECT_EQ(EOVERFLOW, errno);
    EXPECT_EQ(-1, t.Read(buf, 512));
    EXPECT_EQ(ETIMEDOUT, errno);

    // A zero-length packet comes before the reply when asked for.
    b.config.faults.zlp_prefix = "getvar:product";
    ASSERT_EQ(14, t.Write("getvar:product", 14));
    EXPECT_EQ(0, t.Read(buf, 128));
    ASSERT_EQ(11, t.Read(buf, 128));
    EXPECT_EQ("OKAYqrx-evb", std::string(buf, 11));

    // A stall: every read fails with EPIPE until the halt is cleared; the reply waited.
    b.config.faults.stall_prefix = "getvar:serialno";
    ASSERT_EQ(15, t.Write("getvar:serialno", 15));
    EXPECT_EQ(-1, t.Read(buf, 128));
    EXPECT_EQ(EPIPE, errno);
    EXPECT_EQ(-1, t.Read(buf, 128));
    EXPECT_EQ(EPIPE, errno);
    b.clear_halt(true);
    ASSERT_EQ(11, t.Read(buf, 128));
    EXPECT_EQ("OKAYVXN0001", std::string(buf, 11));

    // A write that times out part way moved whole packets first, and the board kept them.
    b.config.faults.write_timeout_prefix = "download:";
    ASSERT_EQ(17, t.Write("download:00002000", 17));
    ASSERT_EQ(14, t.Read(buf, 128));
    board::Bytes data = testsupport::pattern(0x2000, 3);
    board::Transfer w = b.host_out(data.data(), 3000);
    EXPECT_EQ(ETIMEDOUT, w.error);
    EXPECT_EQ(1024u, w.count);
    ASSERT_EQ(1u, b.downloads.size());
    EXPECT_EQ(board::Bytes(data.begin(), data.begin() + 1024), b.downloads[0].data);
}
