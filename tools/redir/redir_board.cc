#include "tools/redir/redir_board.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "tools/redir/unix_socket.h"

namespace redir {

namespace {

constexpr uint8_t kReqGetStatus = 0, kReqClearFeature = 1, kReqGetDescriptor = 6;
// How long a board that leaves after its last reply stays on the bus.
constexpr long long kResetMs = 50;

long long monotonic_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000ll + ts.tv_nsec / 1000000;
}

RedirBoard* self(void* priv) { return static_cast<RedirBoard*>(priv); }

void log_cb(void* priv, int level, const char* msg) {
    if (level <= usbredirparser_warning) fprintf(stderr, "vorn-redir: board %d: %s\n", self(priv)->index(), msg);
}
int read_cb(void* priv, uint8_t* data, int count) { return self(priv)->socket_read(data, count); }
int write_cb(void* priv, uint8_t* data, int count) { return self(priv)->socket_write(data, count); }
void hello_cb(void* priv, usb_redir_hello_header*) { self(priv)->on_hello(); }
void control_cb(void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data, int len) {
    self(priv)->on_control(id, h, data, len);
}
void bulk_cb(void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int len) {
    self(priv)->on_bulk(id, h, data, len);
}
void cancel_cb(void* priv, uint64_t id) { self(priv)->on_cancel(id); }
void set_config_cb(void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
    self(priv)->on_set_configuration(id, h->configuration);
}
void get_config_cb(void* priv, uint64_t id) { self(priv)->on_configuration_query(id); }
void set_alt_cb(void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
    self(priv)->on_alt_setting(id, h->interface, h->alt);
}
void get_alt_cb(void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
    self(priv)->on_alt_setting(id, h->interface, 0);
}
void disconnect_ack_cb(void* priv) { self(priv)->on_disconnect_ack(); }
void reset_cb(void*) {}

}  // namespace

RedirBoard::RedirBoard(std::unique_ptr<BoardSpec> setup, int index, FILE* log)
    : setup_(std::move(setup)), index_(index), log_(log) {
    wanted_ = setup_->plugged_at_start;
}

RedirBoard::~RedirBoard() { hang_up(); }

void RedirBoard::hang_up() {
    if (fd_ < 0) return;
    if (plugged_) {
        note("off the bus: the machine hung up");
        // Its power goes with the device: nothing of the command it was in is left for the next
        // connection.
        board().come_back();
    }
    usbredirparser_destroy(parser_);
    parser_ = nullptr;
    close(fd_);
    fd_ = -1;
    hello_ = plugged_ = false;
    back_at_ms_ = off_at_ms_ = -1;
    pending_.clear();
}

void RedirBoard::note(const char* fmt, ...) {
    if (!log_) return;
    va_list ap;
    va_start(ap, fmt);
    fprintf(log_, "%lld ", monotonic_ms());
    vfprintf(log_, fmt, ap);
    fputc('\n', log_);
    va_end(ap);
    fflush(log_);
}

bool RedirBoard::connect_socket() {
    int fd = connect_unix(setup_->socket);
    if (fd < 0) return false;
    hang_up();
    // The machine's side must never wait on us, nor we on it.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    parser_ = usbredirparser_create();
    parser_->priv = this;
    parser_->log_func = log_cb;
    parser_->read_func = read_cb;
    parser_->write_func = write_cb;
    parser_->hello_func = hello_cb;
    parser_->reset_func = reset_cb;
    parser_->control_packet_func = control_cb;
    parser_->bulk_packet_func = bulk_cb;
    parser_->cancel_data_packet_func = cancel_cb;
    parser_->set_configuration_func = set_config_cb;
    parser_->get_configuration_func = get_config_cb;
    parser_->set_alt_setting_func = set_alt_cb;
    parser_->get_alt_setting_func = get_alt_cb;
    parser_->device_disconnect_ack_func = disconnect_ack_cb;
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {0};
    // The machine's xHCI emulation needs 64-bit ids, 32-bit bulk lengths and the endpoints'
    // packet sizes; transfers of 128 KiB do not fit 16 bits.
    for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                    usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                    usb_redir_cap_32bits_bulk_length})
        usbredirparser_caps_set_cap(caps, cap);
    usbredirparser_init(parser_, "vorn-redir", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
    return true;
}

int RedirBoard::socket_read(uint8_t* data, int count) {
    ssize_t n = read(fd_, data, count);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return -1;  // the machine hung up
}

int RedirBoard::socket_write(uint8_t* data, int count) {
    ssize_t n = send(fd_, data, count, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

bool RedirBoard::wants_write() const { return parser_ && usbredirparser_has_data_to_write(parser_); }

bool RedirBoard::on_readable() {
    if (usbredirparser_do_read(parser_) == usbredirparser_read_io_error) return false;
    // A write error shows as the hang-up on the next read.
    usbredirparser_do_write(parser_);
    return true;
}

bool RedirBoard::on_writable() { return usbredirparser_do_write(parser_) == 0; }

void RedirBoard::on_hello() {
    hello_ = true;
    if (wanted_) announce();
}

void RedirBoard::plug() {
    wanted_ = true;
    if (hello_ && !plugged_) announce();
}

void RedirBoard::unplug() {
    wanted_ = false;
    back_at_ms_ = off_at_ms_ = -1;
    if (!plugged_) return;
    plugged_ = false;
    pending_.clear();
    note("unplug");
    usbredirparser_send_device_disconnect(parser_);
    usbredirparser_do_write(parser_);
}

void RedirBoard::announce() {
    setup_->look.serial = board().config.serial;
    usb_redir_interface_info_header ifc{};
    ifc.interface_count = 1;
    ifc.interface_class[0] = 0xff;
    ifc.interface_subclass[0] = 0x42;
    ifc.interface_protocol[0] = 0x03;
    usbredirparser_send_interface_info(parser_, &ifc);
    usb_redir_ep_info_header ep{};
    for (int i = 0; i < 32; i++) ep.type[i] = usb_redir_type_invalid;
    // Index: endpoint number, plus 16 for IN endpoints.
    ep.type[0] = ep.type[16] = usb_redir_type_control;
    ep.max_packet_size[0] = ep.max_packet_size[16] = 64;
    ep.type[1] = ep.type[17] = usb_redir_type_bulk;
    ep.max_packet_size[1] = ep.max_packet_size[17] = setup_->look.max_packet;
    usbredirparser_send_ep_info(parser_, &ep);
    usb_redir_device_connect_header dev{};
    dev.speed = usb_redir_speed_high;
    dev.vendor_id = setup_->look.vendor;
    dev.product_id = setup_->look.product;
    dev.device_version_bcd = setup_->look.bcd_device;
    usbredirparser_send_device_connect(parser_, &dev);
    usbredirparser_do_write(parser_);
    plugged_ = true;
    halted_ = zlp_next_ = stall_next_ = false;
    appearances_++;
    note("plug serial=%s appearance=%d", setup_->look.serial.c_str(), appearances_);
}

void RedirBoard::on_disconnect_ack() { note("disconnect acknowledged"); }

void RedirBoard::tick() {
    if (off_at_ms_ >= 0 && monotonic_ms() >= off_at_ms_) {
        off_at_ms_ = -1;
        go_off_bus();
    }
    if (back_at_ms_ >= 0 && monotonic_ms() >= back_at_ms_) {
        back_at_ms_ = -1;
        board().come_back();
        plug();
    }
}

void RedirBoard::check_gone() {
    if (!plugged_ || !board().gone() || off_at_ms_ >= 0) return;
    if (!gone_after_reply_) return go_off_bus();
    // A board that leaves after its last reply (a restart, a reboot) is still there while the
    // host controller completes that transfer: a real board takes a while to reset.
    gone_after_reply_ = false;
    off_at_ms_ = monotonic_ms() + kResetMs;
}

void RedirBoard::go_off_bus() {
    bool back = board().reenumerate_requested;
    board().reenumerate_requested = false;
    note(back ? "restarting: off the bus for %u ms" : "gone", reenumerate_delay_ms);
    unplug();
    if (back) {
        wanted_ = true;
        back_at_ms_ = monotonic_ms() + reenumerate_delay_ms;
    }
}

void RedirBoard::on_control(uint64_t id, usb_redir_control_packet_header* h, uint8_t* data, int len) {
    usb_redir_control_packet_header r = *h;
    board::Bytes reply;
    r.status = usb_redir_success;
    if (h->request == kReqGetDescriptor && (h->requesttype & 0x80)) {
        uint8_t type = h->value >> 8, index = h->value & 0xff;
        reply = type == 1   ? device_descriptor(setup_->look)
                : type == 2 ? config_descriptor(setup_->look)
                : type == 3 ? string_descriptor(setup_->look, index)
                            : board::Bytes();
        if (reply.empty()) r.status = usb_redir_stall;
    } else if (h->request == kReqGetStatus && (h->requesttype & 0x80)) {
        reply = {0, 0};
        if ((h->requesttype & 0x1f) == 2 && (h->index & 0xff) == kEpIn && halted_) reply[0] = 1;
    } else if (h->request == kReqClearFeature && (h->requesttype & 0x1f) == 2) {
        if ((h->index & 0xff) == kEpIn && halted_) note("halt cleared");
        if ((h->index & 0xff) == kEpIn) halted_ = false;
    } else if (!(h->requesttype & 0x80)) {
        note("control request %02x/%02x taken", h->requesttype, h->request);
    } else {
        r.status = usb_redir_stall;
    }
    if (reply.size() > h->length) reply.resize(h->length);
    r.length = static_cast<uint16_t>(reply.size());
    usbredirparser_send_control_packet(parser_, id, &r, reply.empty() ? nullptr : reply.data(),
                                       static_cast<int>(reply.size()));
    if (data) usbredirparser_free_packet_data(parser_, data);
    (void)len;
    pump();
    check_gone();
}

void RedirBoard::on_set_configuration(uint64_t id, uint8_t configuration) {
    configuration_ = configuration;
    note("set configuration %u", configuration);
    on_configuration_query(id);
}

void RedirBoard::on_configuration_query(uint64_t id) {
    usb_redir_configuration_status_header st{};
    st.status = usb_redir_success;
    st.configuration = configuration_;
    usbredirparser_send_configuration_status(parser_, id, &st);
}

void RedirBoard::on_alt_setting(uint64_t id, uint8_t interface, uint8_t alt) {
    usb_redir_alt_setting_status_header st{};
    st.status = interface == 0 && alt == 0 ? usb_redir_success : usb_redir_inval;
    st.interface = interface;
    st.alt = alt;
    usbredirparser_send_alt_setting_status(parser_, id, &st);
}

void RedirBoard::on_cancel(uint64_t id) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->id != id) continue;
        pending_.erase(it);
        note("in transfer cancelled by the host");
        send_bulk_in(id, usb_redir_cancelled, nullptr, 0);
        return;
    }
}

void RedirBoard::send_bulk_in(uint64_t id, uint8_t status, const uint8_t* data, uint32_t len) {
    usb_redir_bulk_packet_header r{};
    r.endpoint = kEpIn;
    r.status = status;
    r.length = static_cast<uint16_t>(len & 0xffff);
    r.length_high = static_cast<uint16_t>(len >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &r, const_cast<uint8_t*>(data), static_cast<int>(len));
}

void RedirBoard::on_bulk(uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int len) {
    if (h->endpoint == kEpOut) {
        bulk_out(id, h, data, len);
    } else if (h->endpoint == kEpIn && plugged_) {
        pending_.push_back({id, static_cast<uint32_t>(h->length) | static_cast<uint32_t>(h->length_high) << 16});
    } else {
        usb_redir_bulk_packet_header r = *h;
        r.status = usb_redir_inval;
        r.length = r.length_high = 0;
        usbredirparser_send_bulk_packet(parser_, id, &r, nullptr, 0);
    }
    if (data) usbredirparser_free_packet_data(parser_, data);
    pump();
    check_gone();
    usbredirparser_do_write(parser_);
}

void RedirBoard::look_at_command(const uint8_t* data, int len) {
    // Only a short transfer outside a data phase can be a command; the board decides, and the
    // USB faults key on the same text.
    if (len <= 0 || len > 128) return;
    std::string text(reinterpret_cast<const char*>(data), len);
    if (board::starts_with(text, setup_->faults.zlp_before)) zlp_next_ = true;
    if (board::starts_with(text, setup_->faults.stall_on)) stall_next_ = true;
}

void RedirBoard::bulk_out(uint64_t id, usb_redir_bulk_packet_header* h, const uint8_t* data, int len) {
    usb_redir_bulk_packet_header r = *h;
    r.status = usb_redir_success;
    size_t commands_before = board().commands.size();
    long n = len > 0 ? board().host_write(data, static_cast<size_t>(len)) : 0;
    if (n < 0) {
        note("out transfer of %d bytes failed: %s", len, strerror(errno));
        r.status = usb_redir_ioerror;
        n = 0;
    }
    if (board().commands.size() > commands_before) {
        note("command: %s", board().commands.back().c_str());
        look_at_command(data, len);
    }
    r.length = static_cast<uint16_t>(n & 0xffff);
    r.length_high = static_cast<uint16_t>(static_cast<uint32_t>(n) >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &r, nullptr, 0);
}

void RedirBoard::pump() {
    while (plugged_ && !pending_.empty() && !board().gone()) {
        if (!serve_in(pending_.front())) break;
        pending_.pop_front();
    }
}

bool RedirBoard::serve_in(const PendingIn& in) {
    if (stall_next_ && !halted_) {
        // The replies of the stalled command never reach the host.
        board::Bytes scrap(4096);
        while (board().host_read(scrap.data(), scrap.size()) > 0) {
        }
        stall_next_ = false;
        halted_ = true;
        note("bulk-in endpoint stalled");
    }
    if (halted_) {
        send_bulk_in(in.id, usb_redir_stall, nullptr, 0);
        return true;
    }
    if (zlp_next_) {
        zlp_next_ = false;
        note("zero-length packet before the reply");
        send_bulk_in(in.id, usb_redir_success, nullptr, 0);
        return true;
    }
    // Read up to the end of the packet that holds the last byte the host has room for.
    const uint32_t mps = setup_->look.max_packet;
    const uint64_t room = (static_cast<uint64_t>(in.length) + mps - 1) / mps * mps;
    board::Bytes buf(room ? room : mps);
    long n = board().host_read(buf.data(), buf.size());
    if (n < 0) {
        send_bulk_in(in.id, usb_redir_ioerror, nullptr, 0);
        return true;
    }
    if (n == 0) return false;
    gone_after_reply_ = board().gone();
    if (static_cast<uint64_t>(n) > in.length) {
        note("babble: a %ld-byte packet run into a %u-byte transfer", n, in.length);
        send_bulk_in(in.id, usb_redir_babble, buf.data(), in.length);
        return true;
    }
    send_bulk_in(in.id, usb_redir_success, buf.data(), static_cast<uint32_t>(n));
    return true;
}

}  // namespace redir
