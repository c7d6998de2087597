// One emulated board behind a usbredir connection: the virtual machine's usb-redir device sends
// the guest's control and bulk transfers, and this answers them from a board::Board, one whole
// transfer at a time.
//
// Replies leave the board as a real device sends them: packets of the endpoint's maximum size
// from the start of each reply. An IN transfer whose buffer ends inside such a packet is a babble
// (the guest sees EOVERFLOW), and the rest of that packet is lost.
#pragma once
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "tools/board/board.h"
#include "tools/redir/usb_look.h"

struct usbredirparser;
struct usb_redir_control_packet_header;
struct usb_redir_bulk_packet_header;

namespace redir {

// Misbehaviour of the USB side. A prefix matches a command that starts with it; empty: none.
struct UsbFaults {
    // An empty IN transfer comes before the reply to such a command.
    std::string zlp_before;
    // The bulk-in endpoint stalls instead of replying, until the host clears the halt; the
    // replies to that command are dropped.
    std::string stall_on;
};

struct BoardSpec {
    board::Board board;
    UsbLook look;
    UsbFaults faults;
    // Plugged in once the machine connects (else only on a "plug" on the control channel).
    bool plugged_at_start = true;
    // Socket of the machine's usb-redir character device.
    std::string socket;
    // Properties of the usb-redir device the machine's monitor adds when the guest asks for it
    // ("bus=hc1.0,port=11"); empty: the machine has the device from its start.
    std::string hotplug;
};

class RedirBoard {
  public:
    // `log` gets one line per event of the board (owned by the caller, may be null).
    RedirBoard(std::unique_ptr<BoardSpec> setup, int index, FILE* log);
    ~RedirBoard();
    RedirBoard(const RedirBoard&) = delete;
    RedirBoard& operator=(const RedirBoard&) = delete;

    // Connects to the machine's socket, after any earlier connection; false (errno set) while it
    // is not there yet.
    bool connect_socket();
    // The machine has hung up (its device was removed, or it ended): the board is off the bus
    // until the next connection, which it then plugs into as a board plugged in anew.
    void hang_up();
    int fd() const { return fd_; }
    const BoardSpec& setup() const { return *setup_; }
    bool wants_write() const;
    // Handles what the socket has for us; false once the machine has hung up.
    bool on_readable();
    bool on_writable();
    // Timed work: leaving the bus after a last reply, coming back after a restart.
    void tick();

    void plug();
    void unplug();
    bool plugged() const { return plugged_; }

    board::Board& board() { return setup_->board; }
    int index() const { return index_; }
    unsigned reenumerate_delay_ms = 200;
    // A line in the board's log.
    void note(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Parser callbacks (static trampolines call these).
    void on_hello();
    void on_control(uint64_t id, usb_redir_control_packet_header* h, uint8_t* data, int len);
    void on_bulk(uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int len);
    void on_cancel(uint64_t id);
    void on_set_configuration(uint64_t id, uint8_t configuration);
    void on_configuration_query(uint64_t id);
    void on_alt_setting(uint64_t id, uint8_t interface, uint8_t alt);
    void on_disconnect_ack();
    int socket_read(uint8_t* data, int count);
    int socket_write(uint8_t* data, int count);

  private:
    struct PendingIn {
        uint64_t id;
        uint32_t length;
    };
    void announce();
    void send_bulk_in(uint64_t id, uint8_t status, const uint8_t* data, uint32_t len);
    void bulk_out(uint64_t id, usb_redir_bulk_packet_header* h, const uint8_t* data, int len);
    void pump();
    bool serve_in(const PendingIn& in);
    void check_gone();
    void go_off_bus();
    void look_at_command(const uint8_t* data, int len);

    std::unique_ptr<BoardSpec> setup_;
    int index_;
    FILE* log_;
    int fd_ = -1;
    usbredirparser* parser_ = nullptr;
    bool hello_ = false;
    bool plugged_ = false;
    bool wanted_ = false;  // plugged, or coming back
    long long back_at_ms_ = -1;
    long long off_at_ms_ = -1;
    bool gone_after_reply_ = false;
    bool halted_ = false;
    bool zlp_next_ = false;
    bool stall_next_ = false;
    std::deque<PendingIn> pending_;
    uint8_t configuration_ = 0;
    int appearances_ = 0;
};

}  // namespace redir
