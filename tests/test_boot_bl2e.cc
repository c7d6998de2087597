// The restart into BL2E (re-opening the board by its serial number) and the not-ready waits,
// with the 500 ms pauses they ask for.
#include "tests/test_boot_rig.h"

#include "engine/action.h"
#include "engine/queued_ops.h"
#include "protocol/exchange.h"

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


// Position of each line in the log, in order; npos where one is missing or out of order.
bool in_order(const std::string& log, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const auto& l : lines) {
        at = log.find(l, at);
        if (at == std::string::npos) return false;
        at += l.size();
    }
    return true;
}

}  // namespace

// The executor hands its transport to the operation by reference: after the re-open the caller
// holds the new one, and the closed one is never touched again.
TEST(Bl2Boot, Protocol6ReopensBySerialAndTheCallerGetsTheNewTransport) {
    BootConfig c;
    c.portion = 0x2800;
    Rig rig(id(6, 1, 8), 0x7000, c);
    fb_queue_bl2boot(fd_to_slot(rig.fd), (unsigned)rig.file().size(), rig.path.c_str());
    rig.fd = -1;  // the executor closes it
    Transport* held = rig.transport;
    testing::internal::CaptureStderr();
    int status = fb_execute_queue(held);
    rig.err = testing::internal::GetCapturedStderr();
    fb_queue_reset();

    ASSERT_EQ(0, status) << rig.err;
    EXPECT_EQ(std::vector<std::string>({"VXN0001"}), rig.reopen_serials);
    ASSERT_EQ(2u, rig.transports.size());
    EXPECT_EQ(held, rig.transports[1].get());
    EXPECT_TRUE(rig.transports[0]->closed());
    EXPECT_EQ(0, rig.transports[0]->uses_after_close);
    // The board is given time to restart before it is looked for again.
    EXPECT_EQ(std::vector<unsigned>({500}), rig.pauses);
    EXPECT_EQ(std::vector<std::string>({"getvar:cbw"}), rig.paused_after);
    EXPECT_FALSE(rig.transports[1]->write_sizes.empty());
    EXPECT_TRUE(in_order(rig.err, {"bl2_boot[" + rig.path + "]...\n",
                                   "MSG[VXN]device mode:06-01-00-08\n",
                                   "MSG[VXN]bl2 serail:VXN0001\n",
                                   "MSG[VXN]bl2boot tranfer END\n",
                                   "MSG[VXN]Now jump to bl2e\n",
                                   "MSG[VXN]need update usb handle for bl2e\n",
                                   "MSG[VXN]device mode:06-01-00-12\n",
                                   "MSG[VXN]bl2boot tranfer END\n", "OKAY [",
                                   "finished. total time: "}))
        << rig.err;
    // Each stage asked for the whole file, in an order of its own, and got exactly its bytes.
    EXPECT_TRUE(rig.stages->problems.empty());
    EXPECT_EQ(2, rig.stages->stages_finished);
    ASSERT_EQ(6u, rig.stages->served.size());
    EXPECT_NE(rig.stages->served[0], rig.stages->served[3]);
}

// The serial number reply is shorter than the identify reply before it: cleared in between, the
// reopening gets "X", not "X" followed by the identify's stale bytes. Then no board answers to it.
TEST(Bl2Boot, ReopenGetsTheExactSerialAndMayFindNoBoard) {
    const board::Bytes noisy = {6, 1, 'A', 8, 'B', 'C', 'D', 'E'};
    {
        BootConfig c = plans({kEnd});
        c.comes_back = false;
        Rig rig(noisy, 0x100, c);
        rig.board.config.serial = "X";
        rig.board.config.vars["serialno"] = "X";
        EXPECT_EQ(1, rig.bl2());
        EXPECT_EQ(std::vector<std::string>({"X"}), rig.reopen_serials);
        EXPECT_TRUE(rig.logged("MSG[VXN]bl2 serail:X\n")) << rig.err;
        EXPECT_TRUE(rig.logged("MSG[VXN]need update usb handle for bl2e\n"
                               "ERR[VXN]fail in update dev handle for bl2e\n"))
            << rig.err;
        EXPECT_FALSE(rig.logged("Fail in stage"));
        EXPECT_EQ(nullptr, rig.transport);
        EXPECT_EQ(0, rig.transports[0]->uses_after_close);
        EXPECT_EQ(std::vector<unsigned>({500}), rig.pauses);
    }
    {
        // It comes back, but without a serial number: nothing answers to "VXN0001".
        BootConfig c = plans({kEnd});
        c.empty_serial_after_restart = true;
        Rig rig(id(6, 1, 8), 0x100, c);
        EXPECT_EQ(1, rig.bl2());
        EXPECT_FALSE(rig.board.gone());
        EXPECT_EQ("", rig.board.config.serial);
        EXPECT_TRUE(rig.logged("ERR[VXN]fail in update dev handle for bl2e\n")) << rig.err;
    }
}

TEST(Bl2Boot, Bl2eMustReportItsStage) {
    BootConfig c = plans({kEnd}, {kEnd});
    c.bl2e_stage = 16;
    Rig rig(id(6, 0, 8), 0x100, c);
    EXPECT_EQ(-595, rig.bl2());
    EXPECT_TRUE(rig.logged("MSG[VXN]device mode:06-00-00-16\nERR[VXN]illegle stage for bl2E\n"))
        << rig.err;
    EXPECT_FALSE(rig.logged("Fail in stage"));
    EXPECT_EQ(std::vector<unsigned>({500}), rig.pauses);
}

TEST(Bl2Boot, NotReadyWaitsInBl2AndEndsBl2e) {
    {
        Rig rig(id(5, 0, 8), 0x200, plans({kNotReady, data(0x200, 0), kEnd}));
        ASSERT_EQ(0, rig.bl2());
        // One wait before the stage is asked again.
        EXPECT_EQ(std::vector<unsigned>({500}), rig.pauses);
        EXPECT_EQ(std::vector<std::string>({"getvar:cbw"}), rig.paused_after);
        EXPECT_EQ(std::vector<std::string>({"getvar:identify", "getvar:cbw", "getvar:identify",
                                            "getvar:cbw", "download:00000200", "setvar:checksum",
                                            "getvar:cbw"}),
                  rig.board.commands);
        EXPECT_TRUE(rig.logged("MSG[VXN]bl2boot need wait and continue next loop\n"
                               "MSG[VXN]device mode:05-00-00-08\n"))
            << rig.err;
        EXPECT_EQ(1u, rig.stages->served.size());
    }
    {
        BootConfig c = plans({kNotReady, kEnd});
        c.stage_after_not_ready = 0;
        Rig rig(id(5, 0, 8), 0x200, c);
        EXPECT_EQ(-622, rig.bl2());
        EXPECT_TRUE(rig.logged("MSG[VXN]device mode:05-00-00-00\n"
                               "ERR[VXN]illegle stage for bl2 next\nERR[VXN]Fail in stage BL2\n"))
            << rig.err;
        EXPECT_EQ(std::vector<unsigned>({500}), rig.pauses);
    }
    {
        BootConfig c = plans({kNotReady, kEnd});
        c.fail_identify_after_not_ready = true;
        Rig rig(id(5, 0, 8), 0x200, c);
        EXPECT_EQ(-1, rig.bl2());
        EXPECT_TRUE(rig.logged("MSG[VXN]bl2boot need wait and continue next loop\n"
                               "ERR[VXN]Fail in stage BL2\n"))
            << rig.err;
        EXPECT_FALSE(rig.logged("illegle stage"));
    }
    {
        Rig rig(id(6, 0, 8), 0x200, plans({kEnd}, {kNotReady, kEnd}));
        EXPECT_EQ(-614, rig.bl2());
        EXPECT_TRUE(rig.logged("MSG[VXN]err cbw requestType for bl2e,only support in bl2\n")) << rig.err;
        EXPECT_STREQ("the board is not ready in BL2E, where it may not wait", fb_get_error());
        EXPECT_FALSE(rig.logged("Fail in stage"));
        EXPECT_EQ(1u, rig.count("MSG[VXN]bl2boot tranfer END\n"));
        // Only the restart into BL2E waits: a not-ready block there ends the stage at once.
        EXPECT_EQ(std::vector<unsigned>({500}), rig.pauses);
    }
}

namespace {

// The board's identify fails once it is in BL2E.
class Bl2eIdentifyFails : public board::Feature {
  public:
    bool on_command(board::Board& b, const std::string& command) override {
        if (command != "getvar:identify" || b.config.identify.at(3) != 12) return false;
        b.reply("FAIL", "identify not ready");
        return true;
    }
};

}  // namespace

TEST(Bl2Boot, AFailedBl2eIdentifyKeepsTheTransportsReason) {
    Rig rig(id(6, 0, 8), 0x100, plans({kEnd}, {kEnd}));
    rig.board.add_feature(std::make_unique<Bl2eIdentifyFails>());
    EXPECT_EQ(-595, rig.bl2());
    EXPECT_TRUE(rig.logged("MSG[VXN]Now jump to bl2e\nERR[VXN]illegle stage for bl2E\n")) << rig.err;
    EXPECT_STREQ("remote: identify not ready", fb_get_error());
}
