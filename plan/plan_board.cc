#include "plan/plan_board.h"

#include <cstdio>

#include "cli/device.h"
#include "engine/queued_ops.h"
#include "plan/plan.h"
#include "plan/plan_watchdog.h"
#include "protocol/bootloader.h"
#include "usb/usb.h"
#include "util/log.h"
#include "util/pause.h"

namespace {

// Every byte that moves restarts the step's clock: a long transfer is limited only by its stalls.
class WatchedTransport : public Transport {
  public:
    explicit WatchedTransport(Transport* inner) : inner_(inner) {}
    ~WatchedTransport() override { usb_close(inner_); }
    ssize_t Read(void* data, size_t len) override { return seen(inner_->Read(data, len)); }
    ssize_t Write(const void* data, size_t len) override { return seen(inner_->Write(data, len)); }
    int Close() override { return inner_->Close(); }
    int WaitForDisconnect() override { return inner_->WaitForDisconnect(); }
    ssize_t Read_timeout(void* data, size_t len, unsigned timeout_ms) override {
        return seen(inner_->Read_timeout(data, len, timeout_ms));
    }

  private:
    ssize_t seen(ssize_t n) {
        if (n > 0) watchdog_activity();
        return n;
    }
    Transport* inner_;
};

BoardLink* reopen_board = nullptr;
bool reopened = false;

}  // namespace

void board_print_line(const BoardLink& b) {
    stderr_end_open_line();
    fprintf(stderr, "board at %s: serial %s, stage %s\n", b.port.c_str(), b.serial.c_str(),
            plan_stage_name(b.stage).c_str());
    fflush(stderr);
}

namespace {

// Opens the board at `selector` and takes its port path and serial number.
bool open_at(const char* selector, BoardLink* b, bool restarting) {
    usb_ifc_info info = {};
    // A denial while the board restarts is most likely udev not having applied its rule yet.
    usb_set_board_restarting(restarting);
    Transport* t = open_device_found(nullptr, selector, &info);
    usb_set_board_restarting(false);
    if (!t) return false;
    watchdog_activity();
    b->transport = new WatchedTransport(t);
    b->port = info.location;
    b->serial = info.serial;
    return true;
}

// The re-open of bl2_boot, by port path; the stage is read by bl2_boot itself.
Transport* reopen_by_port(Transport*& transport, const char*) {
    BoardLink* b = reopen_board;
    if (transport) usb_close(transport);
    transport = nullptr;
    b->transport = nullptr;
    watchdog_doing("the board at " + b->port + " to come back");
    if (open_at(b->port.c_str(), b, true)) reopened = true;
    transport = b->transport;
    return transport;
}

}  // namespace

bool board_read_stage(BoardLink* b) {
    char reply[129];
    if (!fb_getvar_raw(b->transport, "identify", reply)) return false;
    b->stage = (signed char)reply[3];
    return true;
}

bool board_open(const char* selector, BoardLink* b) {
    if (!open_at(selector, b, false)) return false;
    b->first_serial = b->serial;
    if (!board_read_stage(b)) return false;
    board_print_line(*b);
    return true;
}

bool board_wait_for_return(BoardLink* b) {
    board_close(b);
    watchdog_doing("the board at " + b->port + " to leave");
    while (board_present(b->port.c_str())) sleep_ms(1);
    watchdog_doing("the board at " + b->port + " to come back");
    if (!open_at(b->port.c_str(), b, true)) return false;
    watchdog_doing("an answer from the board");
    if (!board_read_stage(b)) return false;
    board_print_line(*b);
    return true;
}

void board_reopen_by_port(BoardLink* b) {
    reopen_board = b;
    fb_set_reopen(reopen_by_port);
}

bool board_take_reopened() {
    bool r = reopened;
    reopened = false;
    return r;
}

void board_close(BoardLink* b) {
    if (b->transport) usb_close(b->transport);
    b->transport = nullptr;
}

BoardLink::~BoardLink() {
    board_close(this);
}

