// The action queue, its executor lines and the callbacks, against the emulated board.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "engine/action.h"
#include "engine/queued_ops.h"
#include "protocol/exchange.h"
#include "tests/test_support.h"

using board::Board;
using board::BoardTransport;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Runs the queue against the board; returns the executor's result and its standard error.
std::pair<int, std::string> run(Board& b) {
    BoardTransport t(b);
    Transport* tp = &t;
    CaptureStderr();
    int r = fb_execute_queue(tp);
    std::string err = GetCapturedStderr();
    fb_queue_reset();
    return {r, err};
}

}  // namespace

TEST(Queue, EmptyQueuePrintsNothing) {
    Board b;
    auto [r, err] = run(b);
    EXPECT_EQ(0, r);
    EXPECT_EQ("", err);
    EXPECT_TRUE(b.commands.empty());
}

TEST(Queue, CommandTextLimitIs127Characters) {
    std::string ok(127, 'a');
    queue_action(OpCommand, "%s", ok.c_str());
    EXPECT_STREQ(ok.c_str(), action_last->command_text);
    EXPECT_EXIT(queue_action(OpCommand, "%s", (ok + "b").c_str()), testing::ExitedWithCode(1),
                "^error: Command length \\(128\\) exceeds maximum size \\(128\\)\n$");
    // Texts are copied literally: a percent sign is not a conversion.
    fb_queue_command("oem 100%s%n", "");
    EXPECT_STREQ("oem 100%s%n", action_last->command_text);
}

TEST(Queue, FirstFailureStopsTheQueueAndTheFinishedLineFollows) {
    Board b;
    b.config.faults.fail_prefix = "download:";
    b.config.faults.fail_text = "no room";
    static char data[32];
    fb_queue_download("a.bin", data, sizeof(data));
    fb_queue_command("oem after", "after");
    auto [r, err] = run(b);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(0u, err.find("downloading 'a.bin'...\nFAILED (remote: no room)\nfinished. total time: "));
    EXPECT_EQ(std::vector<std::string>({"download:00000020"}), b.commands);
}

TEST(Queue, SuccessfulActionsPrintMessageCommandAndTiming) {
    Board b;
    fb_queue_command("oem hi", "");
    fb_queue_notice("just a notice");
    fb_queue_wait_for_disconnect();
    auto [r, err] = run(b);
    EXPECT_EQ(0, r);
    // The format of the timings, not their figures: a loaded machine may take a while.
    EXPECT_TRUE(std::regex_match(err, std::regex("\\.\\.\\.\ncmd\\[oem hi\\]\nresponse:\nOKAY \\[ *\\d+\\.\\d{3}s\\]\n"
                                                 "just a notice\nfinished\\. total time: \\d+\\.\\d{3}s\n")))
        << err;
}

TEST(Queue, RebootFailureDoesNotStopTheQueue) {
    Board b;
    b.config.faults.fail_prefix = "reboot";
    fb_queue_reboot("bootloader");
    fb_queue_command("oem next", nullptr);
    auto [r, err] = run(b);
    EXPECT_EQ(0, r);
    EXPECT_EQ(std::vector<std::string>({"reboot-bootloader", "oem next"}), b.commands);
    EXPECT_NE(std::string::npos, err.find("rebooting...\ncmd[reboot-bootloader]\nresponse:\n\ncmd[oem next]"));
}

TEST(Queue, QueryReplyIsZeroPaddedForItsCallback) {
    Board b;
    b.config.binary_vars["soctype"] = {0x01, 0x02, 0x03};
    fb_queue_display("soctype", "soctype");
    auto [r, err] = run(b);
    EXPECT_EQ(0, r);
    EXPECT_EQ("00: 00030201 00000000 00000000 00000000\n"
              "10: 00000000 00000000 00000000 00000000\n"
              "20: 00000000 00000000 00000000 00000000\n"
              "30: 00000000 00000000 00000000 00000000\n"
              "finished. total time: ",
              err.substr(0, err.rfind(':') + 2));
}

TEST(Queue, IdentifyTextAndFailedDisplays) {
    Board b;
    b.config.identify = {0x06, 0x01, 0x00, 0x08, 0x80, 0xFF, 0x10, 0x7F};
    b.config.vars["serialno"] = "SN42";
    fb_queue_display("identify", "identify");
    fb_queue_display("serialno", "serialno");
    fb_queue_display("missing", "missing");
    fb_queue_command("oem never", nullptr);
    auto [r, err] = run(b);
    EXPECT_EQ(-1, r);
    EXPECT_EQ(0u, err.find("VXN mode [BL2]\t06-01-00-08-FFFFFF80-FFFFFFFF-10-7F\n"
                           "serialno: SN42\n"
                           "getvar:missing FAILED (remote: unknown variable)\n"
                           "finished."))
        << err;
    for (auto [stage, tag] : std::vector<std::pair<int, std::string>>{
             {0, "[BL1]\t"}, {12, "[BL2E]\t"}, {16, "[TPL]\t"}, {3, "[undefined]\t"}}) {
        Board s;
        s.config.identify[3] = (uint8_t)stage;
        fb_queue_display("identify", "identify");
        EXPECT_EQ(0u, run(s).second.find("VXN mode " + tag));
    }
}

TEST(Queue, SetvarSendsTheValueLittleEndian) {
    Board b;
    fb_queue_setvar("bootdelay", 0x01020304);
    auto [r, err] = run(b);
    EXPECT_EQ(0, r);
    EXPECT_EQ(board::Bytes({4, 3, 2, 1}), b.setvars["bootdelay"]);
    EXPECT_EQ(0u, err.find("setvar 'bootdelay' 0x01020304...\nOKAY ["));
}

TEST(Queue, KeysAreAlways16Bytes) {
    Board b;
    unsigned char short_key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    unsigned char long_key[20];
    for (int i = 0; i < 20; i++) long_key[i] = (unsigned char)(i + 100);
    CaptureStderr();
    fb_queue_setKey("k10", short_key, 10);
    fb_queue_setKey("k20", long_key, 20);
    fb_queue_setKey("k16", long_key, 16);
    EXPECT_EQ("FILL size from 10 to 16\nTRIM size from 20 to 16\n", GetCapturedStderr());
    auto [r, err] = run(b);
    EXPECT_EQ(0, r);
    ASSERT_EQ(3u, b.keys.size());
    EXPECT_EQ(board::Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 0, 0, 0, 0, 0}), b.keys[0]);
    EXPECT_EQ(board::Bytes(long_key, long_key + 16), b.keys[1]);
    EXPECT_EQ("setkey:00000010", b.commands[0]);
    EXPECT_NE(std::string::npos, err.find("SetingKey 'k20'..."));
}

TEST(Queue, RequirementsMatchValuesAndPrefixes) {
    const char* prefix[] = {"abc*"};
    const char* star[] = {"*"};
    EXPECT_EQ(1, match("abc", prefix, 1));
    EXPECT_EQ(1, match("abcdef", prefix, 1));
    EXPECT_EQ(0, match("ab", prefix, 1));
    EXPECT_EQ(1, match("*", star, 1));
    EXPECT_EQ(0, match("anything", star, 1));

    Board b;
    b.config.vars["product"] = "qrx-evb";
    static const char* wanted[] = {"qrx-a", "qrx-b*"};
    static const char* rejected[] = {"qrx-evb"};
    fb_queue_require(nullptr, "product", false, 2, wanted);
    auto [r, err] = run(b);
    EXPECT_EQ(-1, r);
    EXPECT_NE(std::string::npos,
              err.find("checking product...\nFAILED\n\nDevice product is 'qrx-evb'.\n"
                       "Update requires 'qrx-a' or 'qrx-b*'.\n\n"));
    fb_queue_require(nullptr, "product", true, 1, rejected);
    EXPECT_NE(std::string::npos, run(b).second.find("Update rejects 'qrx-evb'.\n\n"));
    fb_queue_require("other-board", "product", false, 2, wanted);
    auto [r2, err2] = run(b);
    EXPECT_EQ(0, r2);
    EXPECT_NE(std::string::npos, err2.find("IGNORE, product is  required only for other-board ["));
    fb_queue_require(nullptr, "product", true, 2, wanted);
    EXPECT_EQ(0, run(b).first);
}

TEST(Queue, SaveFlashEraseAndSlotActions) {
    Board b;
    b.config.vars["serialno"] = "0123456789";
    static char dest[4];
    static char image[2048];
    fb_queue_query_save("serialno", dest, sizeof(dest));
    fb_queue_erase("misc");
    fb_set_active("b");
    fb_queue_flash("boot", image, sizeof(image));
    auto [r, err] = run(b);
    EXPECT_EQ(-1, r);  // the board knows no "erase:"; the queue stops there
    EXPECT_EQ(0, memcmp(dest, "0123", 4));
    EXPECT_NE(std::string::npos, err.find("erasing 'misc'...\ncmd[erase:misc]"));
    EXPECT_EQ(std::vector<std::string>({"getvar:serialno", "erase:misc"}), b.commands);

    fb_queue_flash("boot", image, sizeof(image));
    testsupport::script(b, "flash:boot", {"OKAY"});
    auto [r2, err2] = run(b);
    EXPECT_EQ(0, r2);
    EXPECT_NE(std::string::npos, err2.find("sending 'boot' (2 KB)...\nOKAY"));
    EXPECT_NE(std::string::npos, err2.find("writing 'boot'...\ncmd[flash:boot]"));
}

TEST(Queue, GetvarOutsideTheQueue) {
    Board b;
    b.config.vars["serialno"] = "SN-7";
    BoardTransport t(b);
    std::string v;
    EXPECT_TRUE(fb_getvar(&t, "serialno", &v));
    EXPECT_EQ("SN-7", v);
    EXPECT_FALSE(fb_getvar(&t, "nothing", &v));
    EXPECT_EQ("SN-7", v);
}
