// The first boot stage: identify, chip information, download size, one download and "boot".
#include "tests/test_boot_rig.h"

#include <cstring>

using boottest::id;
using boottest::Rig;

namespace {

board::BootConfig rom(uint32_t soc, const std::string& download_size) {
    board::BootConfig c;
    c.soc = soc;
    c.download_size = download_size;
    return c;
}

board::Bytes prefix(const board::Bytes& b, size_t n) { return board::Bytes(b.begin(), b.begin() + n); }

}  // namespace

TEST(Bl1Boot, SendsTheFirstStageBootsItAndTheBoardComesBackInBl2) {
    board::BootConfig c = rom(0x35, "0x8000");
    c.feature_word = 0x1234abcd;
    Rig rig(id(5, 0, 0), 0x9000, c);
    ASSERT_EQ(0, rig.bl1());
    EXPECT_EQ(std::vector<std::string>({"getvar:identify", "getvar:getchipinfo-1",
                                        "getvar:downloadsize", "download:00008000", "boot"}),
              rig.board.commands);
    // Only the first stage goes out; the rest of the file is left alone.
    EXPECT_EQ(prefix(rig.file(), 0x8000), rig.stages->first_stage);
    EXPECT_TRUE(rig.stages->problems.empty());
    EXPECT_EQ("MSG[VXN]device mode:05-00-00-00\n"
              "MSG[VXN]soc[35], feat 1234abcd\n"
              "MSG[VXN]download sz is 0x8000\n"
              "MSG[VXN]okay download bl2\n"
              "response:\n",
              rig.err);
    // "boot" restarts the board: it leaves the bus and asks to be found again, in BL2.
    EXPECT_TRUE(rig.board.gone());
    EXPECT_TRUE(rig.board.reenumerate_requested);
    EXPECT_EQ(8, rig.board.config.identify[3]);
    // This chip comes back without a pause.
    EXPECT_TRUE(rig.pauses.empty());

    // Found again (as the USB side would after re-enumeration), the board is in BL2.
    rig.board.come_back();
    rig.transport = rig.open_transport();
    ASSERT_EQ(0, rig.bl2());
    EXPECT_TRUE(rig.logged("MSG[VXN]device mode:05-00-00-08\n"));
    EXPECT_TRUE(rig.stages->problems.empty());
}

TEST(Bl1Boot, RefusesAnOldProtocolOrAnotherStage) {
    const struct {
        board::Bytes identify;
        const char* line;
    } cases[] = {
        {id(4, 0, 0), "ERR[VXN]illegle device mode:04-00-00-00\n"},
        {id(0xFF, 1, 0), "ERR[VXN]illegle device mode:-1-01-00-00\n"},
        {id(5, 0, 8), "ERR[VXN]illegle device mode:05-00-00-08\n"},
        {id(6, 1, 12), "ERR[VXN]illegle device mode:06-01-00-12\n"},
    };
    for (const auto& k : cases) {
        Rig rig(k.identify, 0x9000, rom(0x35, "0x8000"));
        EXPECT_EQ(-725, rig.bl1());
        EXPECT_TRUE(rig.logged(k.line)) << rig.err;
        EXPECT_EQ(std::vector<std::string>({"getvar:identify"}), rig.board.commands);
    }
}

TEST(Bl1Boot, EachFailedRequestHasItsOwnResult) {
    const struct {
        const char* failing;
        int result;
        const char* line;
    } cases[] = {
        {"getvar:identify", -719, "ERR[VXN]Fail in get identify\n"},
        {"getvar:getchipinfo", -731, "ERR[VXN]Fail in get chipinfo\n"},
        {"getvar:downloadsize", -748, "ERR[VXN]Fail in get download size\n"},
        {"download:", -778, "ERR[VXN]Fail in download bl2 data\n"},
        {"boot", -1, "response:\n"},
    };
    for (const auto& k : cases) {
        Rig rig(id(5, 0, 0), 0x9000, rom(0x35, "0x8000"));
        rig.board.config.faults.fail_prefix = k.failing;
        EXPECT_EQ(k.result, rig.bl1()) << k.failing;
        EXPECT_TRUE(rig.logged(k.line)) << rig.err;
        EXPECT_EQ(0, rig.board.commands.back().compare(0, strlen(k.failing), k.failing));
        EXPECT_FALSE(rig.board.reenumerate_requested);
    }
}

TEST(Bl1Boot, DownloadSizeBounds) {
    const struct {
        const char* text;
        size_t file_size;
        int result;
        uint32_t sent;
    } cases[] = {
        {"0xc0000", 0xC0000, 0, 0xC0000}, {"1k", 0x1000, 0, 0x400},  {"1", 0x10, 0, 1},
        {"0xc0001", 0xC0001, -754, 0},    {"0", 0x1000, -754, 0},    {"-5", 0x1000, -754, 0},
        {"many", 0x1000, -754, 0},        {"", 0x1000, -754, 0},
        // Above 4 GiB: only its low 32 bits (0x10) would be in range.
        {"0x100000010", 0x1000, -754, 0},
    };
    for (const auto& k : cases) {
        Rig rig(id(5, 0, 0), k.file_size, rom(0x35, k.text));
        EXPECT_EQ(k.result, rig.bl1()) << k.text;
        EXPECT_TRUE(rig.logged(std::string("MSG[VXN]download sz is ") + k.text + "\n")) << rig.err;
        if (k.result == 0) {
            EXPECT_EQ(prefix(rig.file(), k.sent), rig.stages->first_stage) << k.text;
        } else {
            EXPECT_TRUE(rig.logged("exceed range (0,0xc0000)\n")) << rig.err;
            EXPECT_EQ("getvar:downloadsize", rig.board.commands.back());
        }
    }
    Rig rig(id(5, 0, 0), 0x1000, rom(0x35, "0xc0001"));
    rig.bl1();
    EXPECT_TRUE(rig.logged("ERR[VXN]downloadsize(0xc0001) exceed range (0,0xc0000)\n"));
}

TEST(Bl1Boot, FileSmallerThanTheFirstStageOrShortToRead) {
    {
        Rig rig(id(5, 0, 0), 0x7FFF, rom(0x35, "0x8000"));
        EXPECT_EQ(-760, rig.bl1());
        EXPECT_TRUE(rig.logged("ERR[VXN]Download sz 0x8000 > bl2 file sz 0x7fff\n")) << rig.err;
        EXPECT_EQ("getvar:downloadsize", rig.board.commands.back());
    }
    {
        // The size handed over claims more than the file holds: the read comes up short.
        Rig rig(id(5, 0, 0), 0x4000, rom(0x35, "0x8000"));
        EXPECT_EQ(-772, rig.bl1(0x9000));
        EXPECT_TRUE(rig.logged("ERR[VXN]Fail in read img,want 32768 but 16384\n")) << rig.err;
        EXPECT_EQ("getvar:downloadsize", rig.board.commands.back());
    }
}

// The reply buffer is cleared before each request: a download size text shorter than the
// chip information before it must not pick up its bytes. SoC 0x3035 puts '5', '0' right
// where they would turn "0x10" into "0x1050".
TEST(Bl1Boot, ShortDownloadSizeTextIsNotFollowedByOlderBytes) {
    Rig rig(id(5, 0, 0), 0x2000, rom(0x3035, "0x10"));
    ASSERT_EQ(0, rig.bl1());
    EXPECT_TRUE(rig.logged("MSG[VXN]download sz is 0x10\n")) << rig.err;
    EXPECT_EQ("download:00000010", rig.board.commands[3]);
    EXPECT_EQ(prefix(rig.file(), 0x10), rig.stages->first_stage);
}

// The same for binary records: a chip information record of 8 bytes after a (long) identify
// reply must not take its feature word from the identify bytes at 36..39.
TEST(Bl1Boot, ShortChipInformationIsNotFollowedByOlderBytes) {
    board::BootConfig c = rom(0x35, "0x10");
    c.chip_info_size = 8;
    board::Bytes long_identify(44, 0xAA);
    long_identify[0] = 5;
    long_identify[3] = 0;
    Rig rig(long_identify, 0x100, c);
    ASSERT_EQ(0, rig.bl1());
    EXPECT_TRUE(rig.logged("MSG[VXN]soc[35], feat 0\n")) << rig.err;
}

// SoC 0x39 has a fixed first stage and, like 0x36, re-enumerates after "boot" (1.5 s pause each,
// after the "boot" command).
TEST(Bl1Boot, FixedSizeSocAndReenumerationPauses) {
    {
        Rig rig(id(5, 0, 0), 0x637FF, rom(0x39, "0x8000"));
        EXPECT_EQ(-760, rig.bl1());
        EXPECT_TRUE(rig.logged("MSG[VXN]p1 bl2 sz 0x63800\n")) << rig.err;
        EXPECT_TRUE(rig.logged("ERR[VXN]Download sz 0x63800 > bl2 file sz 0x637ff\n")) << rig.err;
        EXPECT_EQ(0u, rig.count_commands("getvar:downloadsize"));
        EXPECT_TRUE(rig.pauses.empty());
    }
    {
        Rig rig(id(6, 1, 0), 0x70000, rom(0x39, "0x8000"));
        ASSERT_EQ(0, rig.bl1());
        EXPECT_EQ(std::vector<unsigned>({1500}), rig.pauses);
        EXPECT_EQ(std::vector<std::string>({"boot"}), rig.paused_after);
        EXPECT_EQ(std::vector<std::string>(
                      {"getvar:identify", "getvar:getchipinfo-1", "download:00063800", "boot"}),
                  rig.board.commands);
        EXPECT_EQ(prefix(rig.file(), 0x63800), rig.stages->first_stage);
        EXPECT_TRUE(rig.logged("MSG[VXN]okay download bl2\nresponse:\n"
                               "MSG[VXN]wait sometime for 0x39 re-enum\n"))
            << rig.err;
    }
    {
        Rig rig(id(5, 0, 0), 0x9000, rom(0x36, "0x8000"));
        ASSERT_EQ(0, rig.bl1());
        EXPECT_TRUE(rig.logged("MSG[VXN]wait sometime for 0x36 re-enum\n")) << rig.err;
        EXPECT_EQ(1u, rig.count_commands("getvar:downloadsize"));
        EXPECT_EQ(std::vector<unsigned>({1500}), rig.pauses);
    }
}
