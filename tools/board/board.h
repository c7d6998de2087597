// An emulated board: the device side of the VXN protocol as a state machine that keeps what it
// was sent (memory downloads, keys, variables, a log of commands) and can be told to misbehave.
// It is driven one bulk transfer at a time, so the same model stands behind the in-process
// BoardTransport and behind the emulated USB device.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/board/board_numbers.h"

namespace board {

using Bytes = std::vector<uint8_t>;

// The size text of a DATA reply in the board's default form (NumberForm::Hex, with its prefix:
// the host reads a bare leading 0 as octal).
std::string data_size(uint64_t size);

// True when `s` starts with `prefix`. An empty prefix matches nothing: a fault prefix left
// empty is switched off.
bool starts_with(const std::string& s, const std::string& prefix);

// Deals the items of a request plan out in the order that an xorshift generator started from
// `state` gives: the same state gives the same order on every run and every host.
template <typename T>
void shuffle_plan(std::vector<T>* plan, uint32_t state) {
    for (size_t i = plan->size(); i > 1; i--) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        std::swap((*plan)[i - 1], (*plan)[state % i]);
    }
}

// Faults to inject. A prefix matches a command that starts with it; empty matches nothing.
struct Faults {
    // Reply "FAIL" + text to commands starting with the prefix (text may be empty).
    std::string fail_prefix;
    std::string fail_text;
    // Reply a 3-byte "OKA" to matching commands.
    std::string malformed_prefix;
    // Reply "DATA00000010" to matching commands, where no data phase may come.
    std::string data_prefix;
    // Never reply to matching commands (the host waits; the transport's watchdog ends it).
    std::string hang_prefix;
    // Vanish once this many host-to-device data bytes have been received (-1: never).
    long long vanish_after_data_bytes = -1;
    // Vanish when a command starting with this prefix arrives.
    std::string vanish_prefix;
    // Bulk-in transfers deliver at most this many bytes (0: no limit), to provoke short reads.
    size_t short_read_limit = 0;
    // Once this many bulk-out transfers have succeeded, every further one fails with EIO (-1: never).
    int fail_write_after = -1;
    // A zero-length packet before the first reply to matching commands.
    std::string zlp_prefix;
    // Matching commands halt the bulk-in endpoint: every read fails with EPIPE until the host
    // clears the halt; the replies wait behind it.
    std::string stall_prefix;
    // The first data-phase write after a matching command moves only part of its bytes (whole
    // packets, about half) and then times out (ETIMEDOUT).
    std::string write_timeout_prefix;
    // A read announced by a matching command ("oem mread ...") ends early: the board answers the
    // status request with OKAY after the first portion, fewer bytes than announced.
    std::string early_end_prefix;
};

struct Config {
    std::string serial = "VXN0001";
    // USB port path where the board is plugged in.
    std::string location = "1-1";
    // The 8 identify bytes: protocol version, serial flag, reserved, stage (0 BL1, 8 BL2, 12 BL2E).
    Bytes identify = {0x06, 0x01, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00};
    // Text variables answered by "getvar:NAME".
    std::map<std::string, std::string> vars = {{"serialno", "VXN0001"}, {"product", "qrx-evb"}};
    // Binary variables (soctype, getchipinfo-N, ...), answered as raw bytes.
    std::map<std::string, Bytes> binary_vars;
    // INFO lines sent before the final reply of every command.
    std::vector<std::string> info_lines;
    // How sizes and offsets are written in data requests; a test picks any form the wire allows.
    NumberForm number_form = NumberForm::Hex;
    Faults faults;
};

// What the board was sent with a data phase.
struct Download {
    std::string command;
    Bytes data;
};

class Board;

// What one bulk transfer did, as the host's USB stack reports it.
struct Transfer {
    // False when nothing is pending for a read: a real board keeps the host waiting.
    bool ready = true;
    // Bytes moved, also when the transfer failed part way. 0 with no error is a zero-length packet.
    size_t count = 0;
    // 0, or the errno of a failed transfer: EOVERFLOW (the board sent more than the host asked
    // for), EPIPE (a halted endpoint), ETIMEDOUT, ENODEV (gone), EIO.
    int error = 0;
};

// Bytes per packet of the bulk endpoints (high speed).
constexpr size_t kPacketSize = 512;

// A feature of the board (storage medium, boot stages, ...) that answers some commands.
// Features are asked in the order they were added; the core protocol answers the rest.
class Feature {
  public:
    virtual ~Feature() = default;
    // Returns true when the command was handled (replies queued or a data phase expected).
    virtual bool on_command(Board& board, const std::string& command) = 0;
    // Writes what the feature holds (media contents, stages run, ...) into `folder`, for the
    // USB emulator's final state; false with a reason.
    virtual bool save_state(const std::string& folder, std::string* error) const {
        (void)folder;
        (void)error;
        return true;
    }
};

class Board {
  public:
    explicit Board(Config config = Config());

    // One bulk-out transfer from the host.
    Transfer host_out(const void* data, size_t len);
    // One bulk-in transfer to the host of at most len bytes. A reply longer than `len`, or a
    // data phase that would end inside a packet beyond it, fails with EOVERFLOW and is lost, as
    // with the kernel; nothing is ever cut silently.
    Transfer host_in(void* data, size_t len);
    // The same for front ends that only tell counts from failures: the count, or -1 with errno
    // set; host_read gives 0 both when nothing is pending and for a zero-length packet.
    long host_write(const void* data, size_t len);
    long host_read(void* data, size_t len);
    // The host clears the halt of the bulk-in (true) or bulk-out endpoint.
    void clear_halt(bool in);
    bool halted(bool in) const { return in ? halted_in_ : halted_out_; }

    // The board has gone away (vanished, or restarting into another stage).
    bool gone() const { return gone_; }
    // Brings a vanished board back (re-enumeration), with its pending replies dropped.
    void come_back();
    // Set when the board asks to be re-enumerated (after "boot" or a stage change); cleared by
    // the transport that performs it.
    bool reenumerate_requested = false;

    // -- for features: replying and data phases --
    void reply(const std::string& code, const std::string& payload = std::string());
    void reply_bytes(const std::string& code, const Bytes& payload);
    void send_info(const std::string& text) { reply("INFO", text); }
    // A size or offset for a data request, in the configured form.
    std::string number(uint64_t value) const { return write_number(value, config.number_form); }
    // Raw bytes for a device-to-host data phase.
    void send_raw(Bytes data);
    // Raw bytes of a device-to-host data phase made as the host reads them, so that a portion of
    // any size costs no memory: `fill` writes the `n` bytes that start `at` bytes into the phase.
    void send_raw_stream(uint64_t count, std::function<void(uint8_t* dst, uint64_t at, size_t n)> fill);
    // Expects `count` bytes from the host; `on_bytes` sees them as they arrive and `on_done`
    // runs when all have come.
    void expect_data(uint64_t count, std::function<void(const uint8_t*, size_t)> on_bytes,
                     std::function<void()> on_done);
    void vanish();
    // Vanishes once the host has read every pending reply (a reboot answers before it goes).
    void vanish_when_drained() { vanish_when_drained_ = true; }
    void add_feature(std::unique_ptr<Feature> feature);
    const std::vector<std::unique_ptr<Feature>>& features() const { return features_; }

    Config config;
    // Commands received, in order.
    std::vector<std::string> commands;
    std::vector<Download> downloads;
    std::vector<Bytes> keys;
    // setvar name -> the bytes of its data phase.
    std::map<std::string, Bytes> setvars;
    bool booted = false;
    std::vector<std::string> reboots;

  private:
    void on_command(const std::string& command);
    void core_command(const std::string& command);
    bool faulted(const std::string& command);

    struct Packet {
        Packet(Bytes b, bool r) : bytes(std::move(b)), raw(r) {}
        Packet(uint64_t size, std::function<void(uint8_t*, uint64_t, size_t)> f)
            : raw(true), stream_size(size), fill(std::move(f)) {}
        Bytes bytes;
        bool raw;  // data phase bytes, which may be delivered in short pieces
        // A streamed phase (send_raw_stream): its size and the maker of its bytes.
        uint64_t stream_size = 0;
        std::function<void(uint8_t*, uint64_t, size_t)> fill;
    };
    bool gone_ = false;
    bool vanish_when_drained_ = false;
    bool halted_in_ = false;
    bool halted_out_ = false;
    // A data-phase write is to time out part way (write_timeout_prefix).
    bool write_timeout_armed_ = false;
    Transfer take_data(const uint8_t* p, size_t len);
    Transfer deliver(Packet& pkt, void* data, size_t len);
    std::deque<Packet> out_;
    size_t out_pos_ = 0;
    uint64_t expect_left_ = 0;
    std::function<void(const uint8_t*, size_t)> on_bytes_;
    std::function<void()> on_done_;
    long long data_bytes_seen_ = 0;
    int writes_seen_ = 0;
    std::vector<std::unique_ptr<Feature>> features_;
};

}  // namespace board
