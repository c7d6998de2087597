// One appearance of an emulated board on the emulated USB bus: the usbdevfs requests that
// libusb sends to its device node (claims, URBs, reaps) answered from a board::Board.
//
// The requests arrive on umockdev's worker thread; everything that touches the board holds the
// emulator's one lock.
#pragma once
#include <umockdev.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/board/board.h"

namespace emu {

// What the bus shows of a board: the device's descriptors and strings.
struct UsbLook {
    uint16_t vendor = 0x4f2d;
    uint16_t product = 0xc004;
    uint8_t interface_class = 0xff;
    uint8_t interface_subclass = 0x42;
    uint8_t interface_protocol = 0x03;
    // 0 for none: the device then reports no serial number at all.
    bool has_serial = true;
    std::string serial;
    std::string manufacturer = "Quenrix";
    std::string product_name = "VXN download mode";
};

// The device and configuration descriptors, as the kernel shows them in sysfs.
board::Bytes usb_descriptor_blob(const UsbLook& look);

class UsbNode {
  public:
    // `on_gone` runs on the worker thread, with the lock held, once the board has gone from
    // this node (it must not call back into the node).
    UsbNode(board::Board& board, std::mutex& lock, UsbLook look, std::function<void()> on_gone);
    ~UsbNode();
    UsbNode(const UsbNode&) = delete;
    UsbNode& operator=(const UsbNode&) = delete;

    // The handler to attach to the node's device file.
    UMockdevIoctlBase* handler() const { return handler_; }
    // Ends every transfer in flight as the kernel does on unplugging; later requests fail
    // with ENODEV. Call with the lock held.
    void unplug();
    bool unplugged() const { return unplugged_; }
    // Another process holds the board's interface (as when a second program has it open): every
    // claim fails with EBUSY until `until_us` on the monotonic clock; -1 for ever.
    void claim_elsewhere(gint64 until_us) { claimed_elsewhere_until_ = until_us; }
    // The file behind the node, by which the processes that have it open are found.
    void set_file(const std::string& path) { file_ = path; }
    // Until `until_us` the device has no active configuration: claims fail with ENOENT.
    void unconfigured(gint64 until_us) { unconfigured_until_ = until_us; }

    // A link of this many bytes per microsecond (0: as fast as the host sends): each OUT
    // transfer ends only once the link could have carried it after the ones before.
    void link_rate(double bytes_per_us) { link_rate_ = bytes_per_us; }

    // Requests that were not understood (for the tool's diagnostics).
    std::vector<unsigned long> unknown_requests;

  private:
    struct Urb {
        UMockdevIoctlClient* client;
        UMockdevIoctlData* urb;     // a reference held
        UMockdevIoctlData* buffer;  // a reference held, or nullptr
    };

    // A reap that found nothing while the client's transfer is still on the modelled link: it is
    // answered when the transfer is through instead of at once. libusb's wait on the node returns
    // at once (the emulated node is always ready), so an EAGAIN at once would have every burn
    // asking again and again, each time through the emulator's one thread.
    struct HeldReap {
        UsbNode* node;
        UMockdevIoctlClient* client;  // a reference held
        GSource* source;
        bool answered = false;
    };

    static gboolean on_ioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    static void on_vanished(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    void handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client);
    void reap(UMockdevIoctlClient* client);
    // Hands the client its first finished transfer; false when it has none.
    bool deliver(UMockdevIoctlClient* client);
    bool hold_reap(UMockdevIoctlClient* client);
    static gboolean on_held_reap(gpointer held);
    // Answers (or, for a client that has gone, drops) the held reaps of `client`, or of every
    // client when it is nullptr.
    void let_go_of_reaps(UMockdevIoctlClient* client, bool answer);
    void discard(UMockdevIoctlClient* client);
    void clear_halt(UMockdevIoctlClient* client);
    int claim(UMockdevIoctlClient* client, bool claim_it);
    void get_driver(UMockdevIoctlClient* client);
    int take_claim(unsigned ifc, UMockdevIoctlClient* client);
    void forget_client(UMockdevIoctlClient* client);
    void release_claims();
    bool holder_alive() const;
    void learn_holder(UMockdevIoctlClient* client);
    void control(Urb& urb);
    void bulk_out(Urb& urb);
    void pump();
    void finish(Urb urb, int status, int actual_length);
    // finish, but reaped no earlier than the link allows.
    void finish_on_link(Urb urb, int status, int actual_length);
    void ripen();
    void check_board();
    void drop(Urb& urb);

    board::Board& board_;
    std::mutex& lock_;
    UsbLook look_;
    std::function<void()> on_gone_;
    UMockdevIoctlBase* handler_;
    bool unplugged_ = false;
    // IN transfers waiting for the board, and transfers done but not reaped yet, in order.
    std::vector<Urb> pending_;
    std::vector<Urb> done_;
    // OUT transfers the board stopped taking part way; they end when the host discards them.
    std::vector<Urb> stuck_;
    // OUT transfers done by the board that the modelled link is still carrying, with the time
    // (monotonic, us) each one is through, in order.
    std::vector<std::pair<gint64, Urb>> on_link_;
    std::vector<HeldReap*> held_;
    double link_rate_ = 0;
    gint64 link_free_at_ = 0;
    // Which client (one open of the node) holds the claim of each interface, a reference held.
    std::map<unsigned, UMockdevIoctlClient*> claims_;
    gint64 claimed_elsewhere_until_ = 0;
    std::string file_;
    // The process that holds the claim, when it could be told (0: unknown), and when it was last
    // looked for.
    int holder_pid_ = 0;
    gint64 holder_looked_for_ = 0;
    gint64 unconfigured_until_ = 0;
};

}  // namespace emu
