// A board with boot stages, the boot-loader file it expects, and a stand-in for the front end's
// device reopening, shared by the boot-loader tests.
#pragma once
#include <gtest/gtest.h>

#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "protocol/bootloader.h"
#include "tests/test_support.h"
#include "tools/board/board_boot.h"
#include "util/pause.h"
#include "util/platform.h"

namespace boottest {

// Counts every use after Close, which a replaced transport must never see.
class WatchedTransport : public board::BoardTransport {
  public:
    using BoardTransport::BoardTransport;
    ssize_t Write(const void* data, size_t len) override {
        if (closed()) uses_after_close++;
        return BoardTransport::Write(data, len);
    }
    ssize_t Read_timeout(void* data, size_t len, unsigned ms) override {
        if (closed()) uses_after_close++;
        return BoardTransport::Read_timeout(data, len, ms);
    }
    int uses_after_close = 0;
};

// The 8 identify bytes: protocol version, serial flag, reserved, stage, then four unused.
inline board::Bytes id(int proto, int serial_flag, int stage) {
    return {(uint8_t)proto, (uint8_t)serial_flag, 0, (uint8_t)stage, 0, 0, 0, 0};
}

// Command blocks for a board's plan: a data request, a block of another type (1 end, 0xFF not
// ready), and the plans of both stages.
inline board::BootRequest data(uint32_t size, uint32_t offset, uint8_t flags = 0) {
    board::BootRequest r;
    r.size = size;
    r.offset = offset;
    r.flags = flags;
    return r;
}
inline board::BootRequest typed(uint8_t type, uint8_t flags = 0) {
    board::BootRequest r;
    r.type = type;
    r.flags = flags;
    return r;
}
const board::BootRequest kEnd = typed(1);
const board::BootRequest kNotReady = typed(0xFF);

inline board::BootConfig plans(std::vector<board::BootRequest> bl2, std::vector<board::BootRequest> bl2e = {}) {
    board::BootConfig c;
    c.bl2_plan = std::move(bl2);
    c.bl2e_plan = std::move(bl2e);
    return c;
}

struct Rig;
inline Rig*& current_rig() {
    static Rig* rig = nullptr;
    return rig;
}

struct Rig {
    board::Board board;
    board::BootStages* stages = nullptr;
    Transport* transport = nullptr;
    std::vector<std::unique_ptr<WatchedTransport>> transports;  // every one ever opened
    std::vector<std::string> reopen_serials;
    std::string path;
    int fd = -1;
    std::string err;
    // The pauses the boot-loader code asked for, in order, and the last command the board had
    // got before each; none of them is waited out.
    std::vector<unsigned> pauses;
    std::vector<std::string> paused_after;

    // The board starts in `identify`'s stage; `file_size` bytes of a pattern are the file.
    Rig(board::Bytes identify, size_t file_size, board::BootConfig boot = board::BootConfig()) {
        board.config.identify = std::move(identify);
        boot.file = testsupport::pattern(file_size, 7);
        auto feature = std::make_unique<board::BootStages>(std::move(boot));
        stages = feature.get();
        board.add_feature(std::move(feature));
        path = testsupport::write_file("boot-" + std::to_string(serial++) + ".bin", stages->config.file);
        fd = open_host_file(path.c_str(), O_RDONLY);
        transport = open_transport();
        current_rig() = this;
        fb_set_reopen(&Rig::reopen);
        outer_observer = set_sleep_observer(&Rig::record_pause);
    }
    ~Rig() {
        set_sleep_observer(outer_observer);
        if (fd >= 0) close(fd);
        if (current_rig() == this) current_rig() = nullptr;
    }

    WatchedTransport* open_transport() {
        transports.push_back(std::make_unique<WatchedTransport>(board));
        return transports.back().get();
    }
    const board::Bytes& file() const { return stages->config.file; }

    int bl1() { return bl1(file().size()); }
    int bl1(unsigned size) {
        testing::internal::CaptureStderr();
        int r = fb_bl1_boot(transport, fd, size);
        err = testing::internal::GetCapturedStderr();
        return r;
    }
    int bl2() { return bl2(file().size()); }
    int bl2(unsigned size) {
        testing::internal::CaptureStderr();
        int r = fb_bl2_boot(transport, fd, size);
        err = testing::internal::GetCapturedStderr();
        return r;
    }
    bool logged(const std::string& line) const { return err.find(line) != std::string::npos; }
    size_t count(const std::string& text) const {
        size_t n = 0;
        for (size_t p = err.find(text); p != std::string::npos; p = err.find(text, p + 1)) n++;
        return n;
    }
    size_t count_commands(const std::string& command) const {
        size_t n = 0;
        for (const auto& c : board.commands) n += c == command;
        return n;
    }

    // What the front end's reopening does, against the emulated board: close the old handle,
    // then find a board with that serial number. A board that is gone for good, or that came
    // back under another serial number, yields nothing (the real one would wait forever).
    static Transport* reopen(Transport*& t, const char* serial) {
        Rig* rig = current_rig();
        rig->reopen_serials.push_back(serial);
        t->Close();
        t = nullptr;
        board::Board& b = rig->board;
        if (b.gone() && b.reenumerate_requested) {
            b.come_back();
            b.reenumerate_requested = false;
        }
        if (!b.gone() && b.config.serial == serial) t = rig->open_transport();
        return t;
    }

    static void record_pause(unsigned ms) {
        Rig* rig = current_rig();
        rig->pauses.push_back(ms);
        rig->paused_after.push_back(rig->board.commands.empty() ? "" : rig->board.commands.back());
    }

    sleep_observer outer_observer = nullptr;
    static inline int serial = 0;
};

}  // namespace boottest
