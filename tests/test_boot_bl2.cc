// The second boot stage and its extension: command blocks, 8 KiB downloads, checksums and the
// restart into BL2E.
#include "tests/test_boot_rig.h"

#include <cstring>

#include "protocol/exchange.h"
#include "util/add_sum.h"
#include "util/platform.h"

using board::BootConfig;
using board::BootRequest;
using boottest::data;
using boottest::id;
using boottest::kEnd;
using boottest::kNotReady;
using boottest::plans;
using boottest::Rig;
using boottest::typed;

namespace {


// Every byte of the file, once, in the requests the board served.
bool covers_file(const std::vector<std::pair<uint32_t, uint32_t>>& served, size_t size, size_t from = 0) {
    std::vector<int> seen(size, 0);
    for (size_t i = from; i < served.size(); i++)
        for (uint32_t k = 0; k < served[i].second; k++) seen.at(served[i].first + k)++;
    for (int n : seen)
        if (n != 1) return false;
    return true;
}

}  // namespace

TEST(Bl2Boot, Protocol5IsOneStageInTheBoardsOwnOrder) {
    BootConfig c;
    c.portion = 0x3000;
    Rig rig(id(5, 0, 8), 0x9001, c);
    ASSERT_EQ(0, rig.bl2());
    EXPECT_TRUE(rig.stages->problems.empty()) << rig.stages->problems[0];
    EXPECT_TRUE(covers_file(rig.stages->served, rig.file().size()));
    // Four portions, not in file order.
    ASSERT_EQ(4u, rig.stages->served.size());
    EXPECT_NE(0u, rig.stages->served[0].first);
    EXPECT_EQ(4, rig.stages->checksums_accepted);
    for (uint32_t n : rig.stages->download_sizes) EXPECT_LE(n, 0x2000u);
    EXPECT_EQ(0u, rig.count_commands("getvar:serialno"));
    EXPECT_EQ(1u, rig.count_commands("getvar:identify"));
    EXPECT_EQ(1, rig.stages->stages_finished);
    EXPECT_EQ(0, rig.stages->restarts);
    EXPECT_EQ(1u, rig.count("MSG[VXN]bl2boot tranfer END\n"));
    EXPECT_FALSE(rig.logged("bl2e"));
    EXPECT_TRUE(rig.logged("MSG[VXN]device mode:05-00-00-08\n"));
    EXPECT_TRUE(rig.logged("MSG[VXN]OK in download sequence 1, size 0x"));
    EXPECT_EQ(rig.transport, rig.transports[0].get());
    EXPECT_TRUE(rig.pauses.empty());
}

TEST(Bl2Boot, A0x5000RequestIsThreeDownloadsAndOneChecksum) {
    Rig rig(id(5, 0, 8), 0x6000, plans({data(0x5000, 0x800), kEnd}));
    ASSERT_EQ(0, rig.bl2());
    EXPECT_EQ(std::vector<std::string>({"getvar:identify", "getvar:cbw", "download:00002000",
                                        "download:00002000", "download:00001000",
                                        "setvar:checksum", "getvar:cbw"}),
              rig.board.commands);
    EXPECT_EQ(std::vector<uint32_t>({0x2000, 0x2000, 0x1000}), rig.stages->download_sizes);
    EXPECT_EQ(1, rig.stages->checksums_accepted);
    EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{0x800, 0x5000}}), rig.stages->served);
    EXPECT_TRUE(rig.stages->problems.empty());
    EXPECT_TRUE(rig.logged("MSG[VXN]OK in download sequence 1, size 0x5000, offset 0x800\n"));
}

TEST(Bl2Boot, NoChecksumFlagAndEmptyRequests) {
    Rig rig(id(5, 0, 8), 0x400,
            plans({data(0x100, 0x10, 0x01), data(0, 0x20), data(0, 0x30, 0x01), data(0x10, 0x3F0, 0x7E),
                   kEnd}));
    ASSERT_EQ(0, rig.bl2());
    EXPECT_EQ(std::vector<std::string>({"getvar:identify", "getvar:cbw", "download:00000100",
                                        "getvar:cbw", "setvar:checksum", "getvar:cbw", "getvar:cbw",
                                        "download:00000010", "setvar:checksum", "getvar:cbw"}),
              rig.board.commands);
    // Other flag bits than 0 and 7 change nothing: the last request has its checksum.
    EXPECT_EQ(2, rig.stages->checksums_accepted);
    EXPECT_EQ(4u, rig.stages->served.size());
    EXPECT_TRUE(rig.stages->problems.empty());
    EXPECT_TRUE(rig.logged("MSG[VXN]OK in download sequence 2, size 0x0, offset 0x20\n"));
    EXPECT_TRUE(rig.logged("MSG[VXN]OK in download sequence 3, size 0x0, offset 0x30\n"));
}

TEST(Bl2Boot, RefusesAnotherStageOrAnOldProtocol) {
    const struct {
        board::Bytes identify;
        int result;
        const char* line;
    } cases[] = {
        {id(4, 0, 8), -551, "ERR[VXN]illegle protocol 4\n"},
        {id(0x80, 0, 8), -551, "ERR[VXN]illegle protocol -128\n"},
        {id(5, 0, 0), -547, "ERR[VXN]illegle fw mode 0 for bl2_boot\n"},
        {id(6, 1, 12), -547, "ERR[VXN]illegle fw mode 12 for bl2_boot\n"},
    };
    for (const auto& k : cases) {
        Rig rig(k.identify, 0x1000);
        EXPECT_EQ(k.result, rig.bl2());
        EXPECT_TRUE(rig.logged(k.line)) << rig.err;
        EXPECT_EQ(std::vector<std::string>({"getvar:identify"}), rig.board.commands);
    }
    {
        Rig rig(id(5, 0, 8), 0x1000);
        rig.board.config.faults.fail_prefix = "getvar:identify";
        EXPECT_EQ(-539, rig.bl2());
        EXPECT_EQ("ERR[VXN]Fail in get identify\n", rig.err);
    }
    {
        Rig rig(id(6, 1, 8), 0x1000);
        rig.board.config.faults.fail_prefix = "getvar:serialno";
        EXPECT_EQ(-569, rig.bl2());
        EXPECT_TRUE(rig.logged("ERR[VXN]Fail in update serialno\n")) << rig.err;
        EXPECT_EQ(0u, rig.count_commands("getvar:cbw"));
    }
}

TEST(Bl2Boot, CommandBlockResults) {
    BootRequest bad_sig = data(0x100, 0);
    bad_sig.signature = "QRXD";
    const struct {
        BootRequest block;
        int result;
        const char* line;
    } cases[] = {
        {bad_sig, -608, "ERR[VXN]cbw signature not match\n"},
        {typed(0x02), -636, "ERR[VXN]bl2 error code[2]\n"},
        {typed(0x7F), -636, "ERR[VXN]bl2 error code[127]\n"},
        {typed(0x80), -632, "ERR[VXN]unsupported type -128\n"},
        {typed(0xFE), -632, "ERR[VXN]unsupported type -2\n"},
        {data(0x100, 0, 0x80), -641, "ERR[VXN]err, bl2_boot can't support bulkin\n"},
        {data(0x100, 0, 0x81), -641, "ERR[VXN]err, bl2_boot can't support bulkin\n"},
    };
    for (const auto& k : cases) {
        Rig rig(id(5, 0, 8), 0x1000, plans({k.block, kEnd}));
        EXPECT_EQ(k.result, rig.bl2());
        EXPECT_TRUE(rig.logged(std::string(k.line) + "ERR[VXN]Fail in stage BL2\n")) << rig.err;
        EXPECT_EQ("getvar:cbw", rig.board.commands.back());
    }
    {
        Rig rig(id(5, 0, 8), 0x1000);
        rig.board.config.faults.fail_prefix = "getvar:cbw";
        rig.board.config.faults.fail_text = "busy";
        EXPECT_EQ(-604, rig.bl2());
        EXPECT_TRUE(rig.logged("ERR[VXN]Fail get cbw,ret=-1,err[remote: busy]\n"
                               "ERR[VXN]Fail in stage BL2\n"))
            << rig.err;
    }
    {
        Rig rig(id(5, 0, 8), 0x4000, plans({data(0x3000, 0x800), kEnd}));
        rig.board.config.faults.fail_prefix = "download:";
        EXPECT_EQ(-672, rig.bl2());
        EXPECT_TRUE(rig.logged("ERR[VXN]FAil in download, leftLen 0x3000, totallen 0x3000\n"
                               "ERR[VXN]Fail in stage BL2\n"))
            << rig.err;
    }
    {
        // The link dies in the middle of the second download of a request.
        Rig rig(id(5, 0, 8), 0x4000, plans({data(0x3000, 0x800), kEnd}));
        rig.board.config.faults.vanish_after_data_bytes = 0x2100;
        EXPECT_EQ(-672, rig.bl2());
        EXPECT_TRUE(rig.logged("ERR[VXN]FAil in download, leftLen 0x1000, totallen 0x3000\n"))
            << rig.err;
    }
}

TEST(Bl2Boot, RequestsMustLieWithinTheFile) {
    {
        Rig rig(id(5, 0, 8), 0x1FF, plans({data(0x100, 0x100), kEnd}));
        EXPECT_EQ(-655, rig.bl2());
        EXPECT_TRUE(rig.logged("ERR[VXN]fileOffset + transferSize > filesz: 0x: 100 + 100 > 1ff\n"
                               "ERR[VXN]Fail in stage BL2\n"))
            << rig.err;
        EXPECT_EQ(0u, rig.count_commands("download:00000100"));
        // The queue's failure line names the refusal, not an older exchange error.
        EXPECT_STREQ("fileOffset + transferSize > filesz: 0x: 100 + 100 > 1ff", fb_get_error());
    }
    {
        Rig rig(id(5, 0, 8), 0x200, plans({data(0x100, 0x100), kEnd}));
        EXPECT_EQ(0, rig.bl2());
        EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{0x100, 0x100}}), rig.stages->served);
    }
    {
        // 0xFFFFFF00 + 0x200 wraps to 0x100 in 32 bits, which would look like it fits.
        Rig rig(id(5, 0, 8), 0x200, plans({data(0x200, 0xFFFFFF00), kEnd}));
        EXPECT_EQ(-655, rig.bl2());
        EXPECT_TRUE(rig.logged("ERR[VXN]fileOffset + transferSize > filesz: 0x: ffffff00 + 200 > 200\n"))
            << rig.err;
        EXPECT_EQ(0u, rig.stages->download_sizes.size());
    }
    {
        Rig rig(id(5, 0, 8), 0x200, plans({data(0xFFFFFFFF, 0x1), kEnd}));
        EXPECT_EQ(-655, rig.bl2());
        EXPECT_TRUE(rig.logged("0x: 1 + ffffffff > 200\n")) << rig.err;
    }
    {
        // The size handed over claims more than the file holds: the read comes up short.
        Rig rig(id(5, 0, 8), 0x100, plans({data(0x800, 0), kEnd}));
        EXPECT_EQ(-666, rig.bl2(0x1000));
        EXPECT_TRUE(rig.logged("ERR[VXN]Fail in read img,want 2048 but 256\n"
                               "ERR[VXN]Fail in stage BL2\n"))
            << rig.err;
    }
    {
        // A descriptor that cannot seek.
        Rig rig(id(5, 0, 8), 0x100, plans({data(0x80, 0x40), kEnd}));
        int p[2];
        ASSERT_EQ(0, make_pipe(p));
        close(rig.fd);
        rig.fd = p[0];
        EXPECT_EQ(-651, rig.bl2(0x100));
        EXPECT_TRUE(rig.logged("ERR[VXN]Fail in seek to fileOffset 0x40\nERR[VXN]Fail in stage BL2\n"))
            << rig.err;
        close(p[1]);
    }
}

TEST(Bl2Boot, Protocol5HasOneChecksumTry) {
    BootConfig c = plans({data(0x1000, 0), kEnd});
    c.refuse_checksums = 1;
    Rig rig(id(5, 0, 8), 0x1000, c);
    EXPECT_EQ(-1, rig.bl2());
    char line[128];
    snprintf(line, sizeof(line), "MSG[VXN]FAIL in setvar:checksum, origsum 0x%x, trytime 1 : 1\n",
             add_sum(rig.file().data(), 0x1000));
    EXPECT_TRUE(rig.logged(std::string(line) + "ERR[VXN]Fail in stage BL2\n")) << rig.err;
    EXPECT_EQ(1u, rig.count("setvar:checksum"));
    EXPECT_EQ(1u, rig.count_commands("download:00001000"));
}

// Protocol 6 without the serial flag: BL2E follows on the same link (one 500 ms pause).
TEST(Bl2Boot, Protocol6RetriesARefusedChecksumTwiceAndGoesOnToBl2e) {
    {
        BootConfig c = plans({data(0x3000, 0x1000), kEnd}, {data(0x1000, 0), kEnd});
        c.refuse_checksums = 2;
        Rig rig(id(6, 0, 8), 0x4000, c);
        ASSERT_EQ(0, rig.bl2());
        EXPECT_EQ(1u, rig.count(", trytime 1 : 3\n"));
        EXPECT_EQ(1u, rig.count(", trytime 2 : 3\n"));
        EXPECT_EQ(0u, rig.count(", trytime 3 : 3\n"));
        EXPECT_EQ(2, rig.stages->checksums_refused);
        // The whole request went out three times, each time from its start.
        EXPECT_EQ(std::vector<uint32_t>({0x2000, 0x1000, 0x2000, 0x1000, 0x2000, 0x1000, 0x1000}),
                  rig.stages->download_sizes);
        EXPECT_TRUE(rig.logged("MSG[VXN]Now jump to bl2e\n")) << rig.err;
        EXPECT_FALSE(rig.logged("need update usb handle"));
        EXPECT_TRUE(rig.logged("MSG[VXN]device mode:06-00-00-12\n")) << rig.err;
        EXPECT_EQ(2u, rig.count("MSG[VXN]bl2boot tranfer END\n"));
        EXPECT_TRUE(covers_file(rig.stages->served, 0x4000));
        EXPECT_TRUE(rig.reopen_serials.empty());
        EXPECT_TRUE(rig.stages->problems.empty());
        EXPECT_EQ(std::vector<unsigned>({500}), rig.pauses);
    }
    {
        BootConfig c = plans({data(0x3000, 0x1000), kEnd});
        c.refuse_checksums = 3;
        Rig rig(id(6, 0, 8), 0x4000, c);
        EXPECT_EQ(-1, rig.bl2());
        EXPECT_EQ(3u, rig.count("MSG[VXN]FAIL in setvar:checksum, origsum 0x"));
        EXPECT_TRUE(rig.logged(", trytime 3 : 3\nERR[VXN]Fail in stage BL2\n")) << rig.err;
        EXPECT_FALSE(rig.logged("bl2e"));
        EXPECT_EQ(1u, rig.count_commands("getvar:cbw"));
        EXPECT_TRUE(rig.pauses.empty());
    }
}

// A malformed checksum reply closes the link; the retries that follow fail on the closed link and
// must not replace the first cause with theirs.
TEST(Bl2Boot, AMalformedChecksumReplyStaysTheCauseThroughTheRetries) {
    Rig rig(id(6, 0, 8), 0x1000, plans({data(0x1000, 0), kEnd}));
    rig.board.config.faults.malformed_prefix = "setvar:checksum";
    EXPECT_NE(0, rig.bl2());
    EXPECT_STREQ("status malformed (3 bytes)", fb_get_error());
    EXPECT_TRUE(rig.logged("ERR[VXN]Fail in stage BL2\n")) << rig.err;
}
