// The emulated boot stages hold the host to what they asked for, and the whole command line runs
// against them.
#include "tests/test_boot_rig.h"
#include "util/byte_order.h"

#include "protocol/exchange.h"
#include "util/add_sum.h"
#include "util/file_io.h"
#include "util/platform.h"

using board::BootConfig;
using board::BootRequest;
using boottest::id;
using boottest::Rig;

namespace {

BootConfig one_request(uint32_t size, uint32_t offset, uint8_t flags = 0) {
    return boottest::plans({boottest::data(size, offset, flags)});
}

int send_checksum(Transport* t, uint32_t sum) {
    unsigned char v[4];
    put_le32(v, sum);
    return fb_qrx_setvar(t, "checksum", v, 4);
}

}  // namespace

TEST(BootStages, DefaultPlanCoversTheFileOnceInAShuffledOrder) {
    auto plan = board::boot_default_plan(0x9001, 0x3000, 8);
    ASSERT_EQ(5u, plan.size());
    EXPECT_EQ(1, plan.back().type);
    std::vector<int> seen(0x9001, 0);
    bool in_file_order = true;
    for (size_t i = 0; i + 1 < plan.size(); i++) {
        EXPECT_EQ(0, plan[i].type);
        for (uint32_t k = 0; k < plan[i].size; k++) seen.at(plan[i].offset + k)++;
        if (plan[i].offset != i * 0x3000) in_file_order = false;
    }
    for (int n : seen) ASSERT_EQ(1, n);
    EXPECT_FALSE(in_file_order);
    EXPECT_EQ(1u, board::boot_default_plan(0, 0x3000, 8).size());
}

TEST(BootStages, NoticesWrongBytesWrongChecksumsAndOversizeDownloads) {
    char reply[256];
    {
        Rig rig(id(5, 0, 8), 0x100, one_request(0x10, 0x20));
        ASSERT_EQ(0, _command_send_no_data(rig.transport, "getvar:cbw", reply));
        board::Bytes wrong(rig.file().begin() + 0x20, rig.file().begin() + 0x30);
        wrong[5] ^= 1;
        ASSERT_EQ(0, fb_download_data(rig.transport, wrong.data(), 0x10));
        EXPECT_EQ(0, send_checksum(rig.transport, add_sum(wrong.data(), 0x10)));
        ASSERT_EQ(1u, rig.stages->problems.size());
        EXPECT_EQ("byte at file offset 0x25 differs", rig.stages->problems[0]);
        EXPECT_TRUE(rig.stages->served.empty());
    }
    {
        Rig rig(id(5, 0, 8), 0x100, one_request(0x10, 0x20));
        ASSERT_EQ(0, _command_send_no_data(rig.transport, "getvar:cbw", reply));
        const uint8_t* right = rig.file().data() + 0x20;
        ASSERT_EQ(0, fb_download_data(rig.transport, right, 0x10));
        EXPECT_EQ(-1, send_checksum(rig.transport, add_sum(right, 0x10) + 1));
        EXPECT_STREQ("remote: checksum mismatch", fb_get_error());
        EXPECT_EQ(1, rig.stages->checksums_wrong);
        // After a refusal the request starts again from its first byte.
        ASSERT_EQ(0, fb_download_data(rig.transport, right, 0x10));
        EXPECT_EQ(0, send_checksum(rig.transport, add_sum(right, 0x10)));
        EXPECT_EQ((std::vector<std::pair<uint32_t, uint32_t>>{{0x20, 0x10}}), rig.stages->served);
    }
    {
        Rig rig(id(5, 0, 8), 0x4000, one_request(0x3000, 0));
        ASSERT_EQ(0, _command_send_no_data(rig.transport, "getvar:cbw", reply));
        ASSERT_EQ(0, fb_download_data(rig.transport, rig.file().data(), 0x3000));
        EXPECT_EQ(-1, fb_download_data(rig.transport, rig.file().data(), 0x10));
        ASSERT_EQ(2u, rig.stages->problems.size());
        EXPECT_EQ("download of 0x3000 bytes, more than 8 KiB", rig.stages->problems[0]);
        EXPECT_EQ("0x3010 bytes sent for a request of 0x3000", rig.stages->problems[1]);
    }
    {
        Rig rig(id(5, 0, 8), 0x100, one_request(0x10, 0));
        ASSERT_EQ(0, _command_send_no_data(rig.transport, "getvar:cbw", reply));
        ASSERT_EQ(0, _command_send_no_data(rig.transport, "getvar:cbw", reply));
        EXPECT_EQ("command block asked for before request 1 was complete", rig.stages->problems.at(0));
        EXPECT_EQ(1, reply[17]);  // past its plan the stage keeps saying it is at its end
    }
    {
        board::BootConfig c;
        c.download_size = "0x100";
        Rig rig(id(5, 0, 0), 0x1000, c);
        EXPECT_EQ(-1, fb_download_data(rig.transport, rig.file().data(), 0x101));
        EXPECT_EQ(-1, fb_command(rig.transport, "boot"));
        EXPECT_STREQ("remote: nothing to boot", fb_get_error());
        EXPECT_EQ(1u, rig.stages->problems.size());
    }
}

TEST(BootStages, CommandLinesBl1ThenBl2) {
    Rig rig(id(5, 0, 0), 0x9000);
    testsupport::RunResult r1 = testsupport::run_vorn(rig.board, {"bl1_boot", "-f", rig.path});
    EXPECT_EQ(0, r1.status) << r1.err;
    EXPECT_NE(std::string::npos, r1.err.find("bl1_boot[" + rig.path + "]...\n")) << r1.err;
    EXPECT_NE(std::string::npos, r1.err.find("MSG[VXN]okay download bl2\n")) << r1.err;
    EXPECT_TRUE(rig.board.gone());

    rig.board.come_back();
    rig.board.reenumerate_requested = false;
    testsupport::RunResult r2 = testsupport::run_vorn(rig.board, {"bl2_boot", "-f", rig.path});
    EXPECT_EQ(0, r2.status) << r2.err;
    EXPECT_NE(std::string::npos, r2.err.find("MSG[VXN]bl2boot tranfer END\nOKAY [")) << r2.err;
    EXPECT_TRUE(rig.stages->problems.empty());
    EXPECT_EQ(rig.file().size() / rig.stages->config.portion, rig.stages->served.size());

    // A missing file queues nothing, and the run says it failed.
    testsupport::RunResult r3 = testsupport::run_vorn(rig.board, {"bl2_boot", "-f", "/nonexistent/x"});
    EXPECT_EQ(1, r3.status);
    EXPECT_NE(std::string::npos, r3.err.find("ERR[VXN]Fail in open file /nonexistent/x\n")) << r3.err;
}

TEST(BootStages, SavesWhatHappenedForTheEmulatorsFinalState) {
    Rig rig(id(5, 0, 8), 0x100, one_request(0x100, 0));
    rig.stages->config.refuse_checksums = 1;
    char reply[256];
    ASSERT_EQ(0, _command_send_no_data(rig.transport, "getvar:cbw", reply));
    ASSERT_EQ(0, fb_download_data(rig.transport, rig.file().data(), 0x100));
    EXPECT_EQ(-1, send_checksum(rig.transport, add_sum(rig.file().data(), 0x100)));
    EXPECT_EQ(-1, send_checksum(rig.transport, 0));
    std::string error;
    ASSERT_TRUE(rig.stages->save_state(testsupport::temp_dir(), &error)) << error;
    EXPECT_EQ("first_stage=0\nserved=0\nserved_bytes=0\ndownloads=1\nchecksums_accepted=0\n"
              "checksums_refused=1\nchecksums_wrong=0\nrestarts=0\nstages_finished=0\n"
              "problem=checksum after 0x0 of 0x100 bytes\n",
              testsupport::read_file(testsupport::temp_dir() + "/boot.txt"));
    EXPECT_FALSE(rig.stages->save_state("/nonexistent/dir", &error));
    EXPECT_EQ("cannot write /nonexistent/dir/boot.txt", error);
}

// The size of a boot-loader file is 64 bits wide: 4 GiB and 256 bytes are not 256 bytes.
TEST(BootStages, ABootLoaderFileOver4GiB) {
    Rig rig(id(5, 0, 0), 0x9000);
    std::string big = testsupport::temp_dir() + "/big-bl.bin";
    int fd = open_host_file(big.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(0, ftruncate(fd, 0x100000100ll));
    ASSERT_EQ((long long)rig.file().size(), write_full(fd, rig.file().data(), rig.file().size()));
    close(fd);
    testsupport::RunResult r = testsupport::run_vorn(rig.board, {"bl1_boot", "-f", big});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("MSG[VXN]okay download bl2\n")) << r.err;
    EXPECT_TRUE(rig.stages->problems.empty());
    EXPECT_FALSE(rig.stages->first_stage.empty());
}
