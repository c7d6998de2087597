#include "tools/board/board.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace board {

std::string data_size(uint64_t size) { return write_number(size, NumberForm::Hex); }

bool starts_with(const std::string& s, const std::string& prefix) {
    return !prefix.empty() && s.compare(0, prefix.size(), prefix) == 0;
}

Board::Board(Config cfg) : config(std::move(cfg)) {}

void Board::add_feature(std::unique_ptr<Feature> feature) { features_.push_back(std::move(feature)); }

void Board::vanish() {
    gone_ = true;
    out_.clear();
    out_pos_ = 0;
    expect_left_ = 0;
}

void Board::come_back() {
    gone_ = false;
    halted_in_ = halted_out_ = write_timeout_armed_ = false;
    vanish_when_drained_ = false;
    out_.clear();
    out_pos_ = 0;
    expect_left_ = 0;
}

void Board::reply(const std::string& code, const std::string& payload) {
    std::string s = code + payload;
    out_.push_back({Bytes(s.begin(), s.end()), false});
}

void Board::reply_bytes(const std::string& code, const Bytes& payload) {
    Bytes b(code.begin(), code.end());
    b.insert(b.end(), payload.begin(), payload.end());
    out_.push_back({std::move(b), false});
}

void Board::send_raw(Bytes data) { out_.push_back({std::move(data), true}); }

void Board::send_raw_stream(uint64_t count, std::function<void(uint8_t*, uint64_t, size_t)> fill) {
    if (count == 0) return;
    out_.push_back(Packet(count, std::move(fill)));
}

void Board::expect_data(uint64_t count, std::function<void(const uint8_t*, size_t)> on_bytes,
                        std::function<void()> on_done) {
    expect_left_ = count;
    on_bytes_ = std::move(on_bytes);
    on_done_ = std::move(on_done);
    if (count == 0 && on_done_) on_done_();
}

Transfer Board::host_out(const void* data, size_t len) {
    Transfer t;
    if (gone_) {
        t.error = ENODEV;
        return t;
    }
    if (halted_out_) {
        t.error = EPIPE;
        return t;
    }
    if (config.faults.fail_write_after >= 0 && writes_seen_ >= config.faults.fail_write_after) {
        t.error = EIO;
        return t;
    }
    writes_seen_++;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (expect_left_ == 0) {
        on_command(std::string(reinterpret_cast<const char*>(p), len));
        t.count = len;
        return t;
    }
    if (!write_timeout_armed_) return take_data(p, len);
    // The board stops taking packets part way; the host's time-out ends the transfer.
    write_timeout_armed_ = false;
    size_t part = len / 2 / kPacketSize * kPacketSize;
    if (part > 0) t = take_data(p, part);
    if (t.error == 0) t.error = ETIMEDOUT;
    return t;
}

Transfer Board::take_data(const uint8_t* p, size_t len) {
    Transfer t;
    size_t n = len < expect_left_ ? len : (size_t)expect_left_;
    const long long vanish_at = config.faults.vanish_after_data_bytes;
    if (vanish_at >= 0 && data_bytes_seen_ + (long long)n >= vanish_at) {
        vanish();
        t.error = ENODEV;
        return t;
    }
    data_bytes_seen_ += (long long)n;
    expect_left_ -= n;
    if (on_bytes_) on_bytes_(p, n);
    if (expect_left_ == 0) {
        // The handler may start the next data phase, so take it out first.
        auto done = std::move(on_done_);
        on_bytes_ = nullptr;
        on_done_ = nullptr;
        if (done) done();
    }
    t.count = len;
    return t;
}

Transfer Board::host_in(void* data, size_t len) {
    Transfer t;
    if (gone_) {
        t.error = ENODEV;
        return t;
    }
    if (halted_in_) {
        t.error = EPIPE;
        return t;
    }
    if (out_.empty()) {
        t.ready = false;
        return t;
    }
    Packet& pkt = out_.front();
    t = deliver(pkt, data, len);
    // A packet that overflowed the host's buffer is lost with it.
    if (t.error == EOVERFLOW || out_pos_ == (pkt.fill ? pkt.stream_size : pkt.bytes.size())) {
        out_.pop_front();
        out_pos_ = 0;
        if (out_.empty() && vanish_when_drained_) vanish();
    }
    return t;
}

Transfer Board::deliver(Packet& pkt, void* data, size_t len) {
    Transfer t;
    const uint64_t total = pkt.fill ? pkt.stream_size : pkt.bytes.size();
    const uint64_t left = total - out_pos_;
    size_t n = len < left ? len : (size_t)left;
    if (pkt.raw && config.faults.short_read_limit && n > config.faults.short_read_limit)
        n = config.faults.short_read_limit;
    // Replies and data phases alike go in packets of kPacketSize: a read that ends inside a packet
    // overflows the host's buffer, one that ends on a packet's end leaves the rest for the next.
    const bool overflow = n < left && n == len && len % kPacketSize != 0;
    if (overflow) {
        t.error = EOVERFLOW;
        return t;
    }
    if (pkt.fill)
        pkt.fill(static_cast<uint8_t*>(data), out_pos_, n);
    else if (n)
        memcpy(data, pkt.bytes.data() + out_pos_, n);
    out_pos_ += n;
    t.count = n;
    return t;
}

long Board::host_write(const void* data, size_t len) {
    Transfer t = host_out(data, len);
    if (t.error) {
        errno = t.error;
        return -1;
    }
    return (long)t.count;
}

long Board::host_read(void* data, size_t len) {
    Transfer t = host_in(data, len);
    if (t.error) {
        errno = t.error;
        return -1;
    }
    return (long)t.count;
}

void Board::clear_halt(bool in) { (in ? halted_in_ : halted_out_) = false; }

bool Board::faulted(const std::string& command) {
    const Faults& f = config.faults;
    if (starts_with(command, f.stall_prefix)) halted_in_ = true;
    if (starts_with(command, f.write_timeout_prefix)) write_timeout_armed_ = true;
    if (starts_with(command, f.zlp_prefix)) out_.push_back({Bytes(), false});
    if (starts_with(command, f.vanish_prefix)) {
        vanish();
        return true;
    }
    if (starts_with(command, f.hang_prefix)) return true;
    if (starts_with(command, f.fail_prefix)) {
        reply("FAIL", f.fail_text);
        return true;
    }
    if (starts_with(command, f.malformed_prefix)) {
        reply("OKA");
        return true;
    }
    if (starts_with(command, f.data_prefix)) {
        reply("DATA", "00000010");
        return true;
    }
    return false;
}

void Board::on_command(const std::string& command) {
    commands.push_back(command);
    if (faulted(command)) return;
    for (const std::string& line : config.info_lines) send_info(line);
    for (auto& f : features_)
        if (f->on_command(*this, command)) return;
    core_command(command);
}

void Board::core_command(const std::string& command) {
    if (starts_with(command, "getvar:")) {
        std::string name = command.substr(7);
        if (name == "identify") return reply_bytes("OKAY", config.identify);
        auto bin = config.binary_vars.find(name);
        if (bin != config.binary_vars.end()) return reply_bytes("OKAY", bin->second);
        auto text = config.vars.find(name);
        if (text != config.vars.end()) return reply("OKAY", text->second);
        return reply("FAIL", "unknown variable");
    }
    if (starts_with(command, "setvar:")) {
        // Variables are set with a 4-byte value in a data phase.
        std::string name = command.substr(7);
        setvars[name].clear();
        reply("DATA", number(4));
        expect_data(
            4, [this, name](const uint8_t* p, size_t n) { setvars[name].insert(setvars[name].end(), p, p + n); },
            [this] { reply("OKAY"); });
        return;
    }
    bool is_download = starts_with(command, "download:");
    if (is_download || starts_with(command, "setkey:")) {
        std::string hex = command.substr(is_download ? 9 : 7);
        uint64_t size = 0;
        if (!read_hex_digits(hex, 16, &size) || size == 0) return reply("FAIL", "bad size");
        Bytes* dst;
        if (is_download) {
            downloads.push_back({command, {}});
            dst = &downloads.back().data;
        } else {
            keys.emplace_back();
            dst = &keys.back();
        }
        dst->reserve(size);
        reply("DATA", number(size));
        expect_data(size, [dst](const uint8_t* p, size_t n) { dst->insert(dst->end(), p, p + n); },
                    [this] { reply("OKAY"); });
        return;
    }
    if (command == "boot") {
        booted = true;
        return reply("OKAY");
    }
    if (command == "reboot" || starts_with(command, "reboot-")) {
        reboots.push_back(command);
        reply("OKAY");
        vanish_when_drained();
        return;
    }
    if (starts_with(command, "oem ")) return reply("OKAY");
    reply("FAIL", "unknown command");
}

}  // namespace board
