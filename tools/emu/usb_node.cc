#include "tools/emu/usb_node.h"

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <dirent.h>
#include <linux/limits.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace emu {

namespace {

constexpr uint8_t kEndpointIn = 0x81;
constexpr uint8_t kEndpointOut = 0x01;
// Without bulk continuation libusb hands each transfer over as one URB, as with a controller
// that takes buffers of any size; the board then sees the host's transfers as they are.
constexpr unsigned kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

void put16(board::Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v & 0xff));
    b.push_back(static_cast<uint8_t>((v >> 8) & 0xff));
}

// A string descriptor: UTF-16LE of the (ASCII) text.
board::Bytes string_descriptor(const std::string& text) {
    size_t n = text.size() > 126 ? 126 : text.size();
    board::Bytes b;
    b.push_back(static_cast<uint8_t>(2 + 2 * n));
    b.push_back(USB_DT_STRING);
    for (size_t i = 0; i < n; i++) put16(b, static_cast<unsigned char>(text[i]));
    return b;
}

// The request's argument when it points at an unsigned int (an interface, an endpoint).
bool unsigned_arg(UMockdevIoctlClient* client, unsigned* out) {
    GError* error = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* num = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &error);
    if (!num) {
        g_clear_error(&error);
        return false;
    }
    memcpy(out, num->data, sizeof(*out));
    g_object_unref(num);
    return true;
}

// The opens of `file` that processes hold, from /proc: a process's pid once for each.
std::vector<int> opens_of(const std::string& file) {
    std::vector<int> pids;
    DIR* proc = opendir("/proc");
    if (!proc || file.empty()) {
        if (proc) closedir(proc);
        return pids;
    }
    while (dirent* e = readdir(proc)) {
        const int pid = atoi(e->d_name);
        if (pid <= 0) continue;
        const std::string fd_dir = std::string("/proc/") + e->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (!fds) continue;
        while (dirent* f = readdir(fds)) {
            char target[PATH_MAX];
            const std::string link = fd_dir + "/" + f->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
            if (n > 0 && file.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0)
                pids.push_back(pid);
        }
        closedir(fds);
    }
    closedir(proc);
    return pids;
}

// True while the process runs (an ended one that waits to be reaped does not count).
bool process_runs(int pid) {
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    FILE* f = fopen(stat.c_str(), "re");
    if (!f) return false;
    char state = 0;
    const int got = fscanf(f, "%*d (%*[^)]) %c", &state);
    fclose(f);
    return got == 1 && state != 'Z' && state != 'X';
}

}  // namespace

board::Bytes usb_descriptor_blob(const UsbLook& look) {
    board::Bytes b;
    // Device descriptor.
    b.push_back(USB_DT_DEVICE_SIZE);
    b.push_back(USB_DT_DEVICE);
    put16(b, 0x0200);
    b.push_back(0);
    b.push_back(0);
    b.push_back(0);
    b.push_back(64);
    put16(b, look.vendor);
    put16(b, look.product);
    put16(b, 0x0100);
    b.push_back(1);
    b.push_back(2);
    b.push_back(look.has_serial ? 3 : 0);
    b.push_back(1);
    // Configuration 1 with one interface of two bulk endpoints.
    const unsigned total = USB_DT_CONFIG_SIZE + USB_DT_INTERFACE_SIZE + 2 * USB_DT_ENDPOINT_SIZE;
    b.push_back(USB_DT_CONFIG_SIZE);
    b.push_back(USB_DT_CONFIG);
    put16(b, total);
    b.push_back(1);
    b.push_back(1);
    b.push_back(0);
    b.push_back(0x80);
    b.push_back(250);
    b.push_back(USB_DT_INTERFACE_SIZE);
    b.push_back(USB_DT_INTERFACE);
    b.push_back(0);
    b.push_back(0);
    b.push_back(2);
    b.push_back(look.interface_class);
    b.push_back(look.interface_subclass);
    b.push_back(look.interface_protocol);
    b.push_back(0);
    for (uint8_t address : {kEndpointIn, kEndpointOut}) {
        b.push_back(USB_DT_ENDPOINT_SIZE);
        b.push_back(USB_DT_ENDPOINT);
        b.push_back(address);
        b.push_back(USB_ENDPOINT_XFER_BULK);
        put16(b, 512);
        b.push_back(0);
    }
    return b;
}

UsbNode::UsbNode(board::Board& board, std::mutex& lock, UsbLook look, std::function<void()> on_gone)
    : board_(board), lock_(lock), look_(std::move(look)), on_gone_(std::move(on_gone)) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(on_vanished), this);
}

UsbNode::~UsbNode() {
    g_signal_handlers_disconnect_by_data(handler_, this);
    let_go_of_reaps(nullptr, false);
    for (Urb& u : pending_) drop(u);
    for (Urb& u : done_) drop(u);
    for (Urb& u : stuck_) drop(u);
    for (auto& l : on_link_) drop(l.second);
    release_claims();
    g_object_unref(handler_);
}

void UsbNode::drop(Urb& urb) {
    if (urb.buffer) g_object_unref(urb.buffer);
    if (urb.urb) g_object_unref(urb.urb);
    urb.buffer = urb.urb = nullptr;
}

gboolean UsbNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    UsbNode* node = static_cast<UsbNode*>(self);
    std::lock_guard<std::mutex> hold(node->lock_);
    node->handle(client);
    return TRUE;
}

void UsbNode::on_vanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    UsbNode* node = static_cast<UsbNode*>(self);
    std::lock_guard<std::mutex> hold(node->lock_);
    node->forget_client(client);
}

void UsbNode::handle(UMockdevIoctlClient* client) {
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return reap(client);
    if (unplugged_) return umockdev_ioctl_client_complete(client, -1, ENODEV);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            GError* error = nullptr;
            UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
            if (!caps) {
                g_clear_error(&error);
                return umockdev_ioctl_client_complete(client, -1, EFAULT);
            }
            uint32_t value = kCapabilities;
            memcpy(caps->data, &value, sizeof(value));
            g_object_unref(caps);
            return umockdev_ioctl_client_complete(client, 0, 0);
        }
        case USBDEVFS_SUBMITURB:
            return submit(client);
        case USBDEVFS_DISCARDURB:
            return discard(client);
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            int r = claim(client, request == USBDEVFS_CLAIMINTERFACE);
            return umockdev_ioctl_client_complete(client, r == 0 ? 0 : -1, r);
        }
        case USBDEVFS_GETDRIVER:
            return get_driver(client);
        case USBDEVFS_IOCTL:
            // Detaching a kernel driver that is not there.
            return umockdev_ioctl_client_complete(client, -1, ENODATA);
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
            return clear_halt(client);
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_SETCONFIGURATION:
            return umockdev_ioctl_client_complete(client, 0, 0);
        case USBDEVFS_RESET:
            return umockdev_ioctl_client_complete(client, 0, 0);
        default:
            unknown_requests.push_back(request);
            return umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
}

// No kernel driver is bound to the board's interface; a program's claim binds it to "usbfs",
// which is how others can tell it is in use without claiming it themselves.
void UsbNode::get_driver(UMockdevIoctlClient* client) {
    GError* error = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), &error);
    if (!data) {
        g_clear_error(&error);
        return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    auto* request = reinterpret_cast<usbdevfs_getdriver*>(data->data);
    auto claim = claims_.find(request->interface);
    // The test bed does not always report a process that has ended; its connection tells.
    if (claim != claims_.end() && !umockdev_ioctl_client_get_connected(claim->second))
        forget_client(claim->second);
    const gint64 until = claimed_elsewhere_until_;
    const bool elsewhere = until < 0 || (until > 0 && g_get_monotonic_time() < until);
    bool bound = elsewhere || claims_.count(request->interface) != 0;
    if (bound) snprintf(request->driver, sizeof(request->driver), "usbfs");
    g_object_unref(data);
    umockdev_ioctl_client_complete(client, bound ? 0 : -1, bound ? 0 : ENODATA);
}

int UsbNode::claim(UMockdevIoctlClient* client, bool claim_it) {
    unsigned ifc = 0;
    if (!unsigned_arg(client, &ifc)) return EFAULT;
    if (ifc != 0) return EINVAL;
    if (claim_it) return take_claim(ifc, client);
    auto it = claims_.find(ifc);
    if (it == claims_.end() || it->second != client) return EINVAL;
    g_object_unref(it->second);
    claims_.erase(it);
    return 0;
}

// As with the kernel, an interface belongs to one open file at a time: a second one gets EBUSY
// until the holder releases it, closes the node or ends.
int UsbNode::take_claim(unsigned ifc, UMockdevIoctlClient* client) {
    if (unconfigured_until_ && g_get_monotonic_time() < unconfigured_until_) return ENOENT;
    const gint64 until = claimed_elsewhere_until_;
    if (until < 0 || (until > 0 && g_get_monotonic_time() < until)) return EBUSY;
    auto it = claims_.find(ifc);
    if (it != claims_.end() && it->second != client) {
        // The holder's end is normally reported at once ("client-vanished"), but not always
        // while its connection is busy; so a holder whose process has ended lets go as well.
        if (umockdev_ioctl_client_get_connected(it->second) && holder_alive()) return EBUSY;
        forget_client(it->second);
    }
    if (claims_.count(ifc) == 0) {
        claims_[ifc] = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
        // Only the one open of the node is known to be the holder's.
        std::vector<int> opens = opens_of(file_);
        holder_pid_ = opens.size() == 1 ? opens[0] : 0;
    }
    return 0;
}

// Where the holder is not known (another process had the node open at the claim, looking for a
// board of its own), it is alive as long as the node is open more than once: the asking open is
// one of them, and the holder's open ends with its process.
bool UsbNode::holder_alive() const {
    if (holder_pid_ != 0) return process_runs(holder_pid_);
    return opens_of(file_).size() >= 2;
}

void UsbNode::release_claims() {
    for (auto& c : claims_) g_object_unref(c.second);
    claims_.clear();
}

void UsbNode::forget_client(UMockdevIoctlClient* client) {
    let_go_of_reaps(client, false);
    // The kernel cancels the transfers of a file that is closed and drops its claims.
    for (auto it = on_link_.begin(); it != on_link_.end();) {
        if (it->second.client == client) {
            drop(it->second);
            it = on_link_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto* list : {&pending_, &done_, &stuck_}) {
        for (auto it = list->begin(); it != list->end();) {
            if (it->client == client) {
                drop(*it);
                it = list->erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto it = claims_.begin(); it != claims_.end();) {
        if (it->second == client) {
            g_object_unref(it->second);
            it = claims_.erase(it);
        } else {
            ++it;
        }
    }
}

void UsbNode::clear_halt(UMockdevIoctlClient* client) {
    unsigned endpoint = 0;
    if (!unsigned_arg(client, &endpoint)) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    if (endpoint != kEndpointIn && endpoint != kEndpointOut)
        return umockdev_ioctl_client_complete(client, -1, EINVAL);
    board_.clear_halt(endpoint == kEndpointIn);
    umockdev_ioctl_client_complete(client, 0, 0);
    pump();
}

void UsbNode::submit(UMockdevIoctlClient* client) {
    GError* error = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (!urb_data) {
        g_clear_error(&error);
        return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(urb_data->data);
    Urb u{client, urb_data, nullptr};
    if (urb->buffer_length < 0) {
        drop(u);
        return umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
    if (urb->buffer_length > 0) {
        u.buffer = umockdev_ioctl_data_resolve(urb_data, offsetof(usbdevfs_urb, buffer),
                                               static_cast<gsize>(urb->buffer_length), &error);
        if (!u.buffer) {
            g_clear_error(&error);
            drop(u);
            return umockdev_ioctl_client_complete(client, -1, EFAULT);
        }
    }
    bool ok_type = urb->type == USBDEVFS_URB_TYPE_CONTROL ? urb->endpoint == 0
                   : urb->type == USBDEVFS_URB_TYPE_BULK
                       ? (urb->endpoint == kEndpointIn || urb->endpoint == kEndpointOut)
                       : false;
    if (!ok_type) {
        drop(u);
        return umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
    auto claim = claims_.find(0);
    if (claim == claims_.end() || claim->second != client) {
        if (urb->type == USBDEVFS_URB_TYPE_BULK) {
            drop(u);
            return umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
    }
    // The URB goes back to its process with what changed since it came; a status set to
    // -EINPROGRESS here would stay there when the transfer ends with status 0 and nothing moved
    // (a zero-length packet). The process does not look at it before the reap anyway.
    urb->actual_length = 0;
    umockdev_ioctl_client_complete(client, 0, 0);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        control(u);
    } else if (urb->endpoint == kEndpointOut) {
        bulk_out(u);
    } else {
        pending_.push_back(u);
        pump();
    }
    check_board();
}

void UsbNode::control(Urb& u) {
    usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
    if (!u.buffer || urb->buffer_length < 8) return finish(u, -EPIPE, 0);
    uint8_t* setup = u.buffer->data;
    unsigned request_type = setup[0], request = setup[1];
    unsigned value = setup[2] | (setup[3] << 8);
    unsigned length = setup[6] | (setup[7] << 8);
    if (request_type != (USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE) ||
        request != USB_REQ_GET_DESCRIPTOR || (value >> 8) != USB_DT_STRING)
        return finish(u, -EPIPE, 0);
    board::Bytes desc;
    switch (value & 0xff) {
        case 0:
            desc = {4, USB_DT_STRING, 0x09, 0x04};
            break;
        case 1:
            desc = string_descriptor(look_.manufacturer);
            break;
        case 2:
            desc = string_descriptor(look_.product_name);
            break;
        case 3:
            if (look_.has_serial) {
                desc = string_descriptor(look_.serial);
                break;
            }
            return finish(u, -EPIPE, 0);
        default:
            return finish(u, -EPIPE, 0);
    }
    size_t room = static_cast<size_t>(urb->buffer_length) - 8;
    size_t n = desc.size();
    if (n > length) n = length;
    if (n > room) n = room;
    memcpy(setup + 8, desc.data(), n);
    finish(u, 0, static_cast<int>(n));
}

namespace {

// The URB status the kernel gives for a transfer the board failed.
int urb_status(int error) {
    switch (error) {
        case ENODEV: return -ESHUTDOWN;
        case EPIPE: return -EPIPE;
        case EOVERFLOW: return -EOVERFLOW;
        default: return -EPROTO;
    }
}

}  // namespace

void UsbNode::bulk_out(Urb& u) {
    usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
    size_t len = static_cast<size_t>(urb->buffer_length);
    board::Transfer t = board_.host_out(u.buffer ? u.buffer->data : nullptr, len);
    const int moved = static_cast<int>(t.count > len ? len : t.count);
    if (t.error == ETIMEDOUT) {
        // The board takes no more packets: the URB stays in flight until the host gives up on it
        // and takes it back, with what went through.
        urb->actual_length = moved;
        stuck_.push_back(u);
    } else if (t.error) {
        finish(u, urb_status(t.error), moved);
    } else {
        finish_on_link(u, 0, moved);
    }
    // What the host sent may have let the board answer a transfer that was waiting.
    pump();
}

void UsbNode::pump() {
    while (!pending_.empty() && !unplugged_) {
        Urb& u = pending_.front();
        usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
        board::Transfer t = board_.host_in(u.buffer ? u.buffer->data : nullptr,
                                           static_cast<size_t>(urb->buffer_length));
        if (!t.ready) return;
        Urb taken = u;
        pending_.erase(pending_.begin());
        finish(taken, t.error ? urb_status(t.error) : 0, static_cast<int>(t.count));
    }
}

void UsbNode::finish(Urb u, int status, int actual_length) {
    usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
    urb->status = status;
    urb->actual_length = actual_length;
    done_.push_back(u);
}

void UsbNode::finish_on_link(Urb u, int status, int actual_length) {
    if (link_rate_ <= 0 || actual_length <= 0) return finish(u, status, actual_length);
    gint64 now = g_get_monotonic_time();
    link_free_at_ = (link_free_at_ > now ? link_free_at_ : now) + static_cast<gint64>(actual_length / link_rate_);
    usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(u.urb->data);
    urb->status = status;
    urb->actual_length = actual_length;
    on_link_.emplace_back(link_free_at_, u);
}

// The transfers the link has carried by now become reapable, in order; all of them once the
// board is unplugged (the data was through the board already).
void UsbNode::ripen() {
    gint64 now = g_get_monotonic_time();
    size_t n = 0;
    while (n < on_link_.size() && (unplugged_ || on_link_[n].first <= now)) done_.push_back(on_link_[n++].second);
    on_link_.erase(on_link_.begin(), on_link_.begin() + static_cast<long>(n));
}

void UsbNode::check_board() {
    if (!unplugged_ && board_.gone()) {
        unplug();
        if (on_gone_) on_gone_();
    }
}

void UsbNode::unplug() {
    if (unplugged_) return;
    unplugged_ = true;
    for (Urb& u : pending_) finish(u, -ESHUTDOWN, 0);
    pending_.clear();
    for (Urb& u : stuck_) finish(u, -ESHUTDOWN, reinterpret_cast<usbdevfs_urb*>(u.urb->data)->actual_length);
    stuck_.clear();
    ripen();
    let_go_of_reaps(nullptr, true);
    release_claims();
}

void UsbNode::reap(UMockdevIoctlClient* client) {
    ripen();
    if (!unplugged_) {
        pump();
        check_board();
    }
    if (deliver(client) || (!unplugged_ && hold_reap(client))) return;
    umockdev_ioctl_client_complete(client, -1, unplugged_ ? ENODEV : EAGAIN);
}

bool UsbNode::deliver(UMockdevIoctlClient* client) {
    for (auto it = done_.begin(); it != done_.end(); ++it) {
        if (it->client != client) continue;
        Urb u = *it;
        done_.erase(it);
        // The argument points at the caller's pointer, which is set to the URB reaped.
        GError* error = nullptr;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (!slot) {
            g_clear_error(&error);
            done_.insert(done_.begin(), u);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
        g_object_unref(slot);
        umockdev_ioctl_client_complete(client, 0, 0);
        drop(u);
        return true;
    }
    return false;
}

bool UsbNode::hold_reap(UMockdevIoctlClient* client) {
    auto first = on_link_.begin();
    while (first != on_link_.end() && first->second.client != client) ++first;
    if (first == on_link_.end()) return false;
    gint64 wait_us = first->first - g_get_monotonic_time();
    if (wait_us <= 0) return false;
    auto* h = new HeldReap{this, static_cast<UMockdevIoctlClient*>(g_object_ref(client)), nullptr};
    // Whole milliseconds, rounded up: a reap answered early would only be asked again.
    h->source = g_timeout_source_new(static_cast<guint>((wait_us + 999) / 1000));
    g_source_set_callback(h->source, on_held_reap, h, [](gpointer p) {
        auto* held = static_cast<HeldReap*>(p);
        g_object_unref(held->client);
        g_source_unref(held->source);
        delete held;
    });
    held_.push_back(h);
    // The requests arrive on umockdev's worker thread, whose main context is its own.
    g_source_attach(h->source, g_main_context_get_thread_default());
    return true;
}

gboolean UsbNode::on_held_reap(gpointer held) {
    auto* h = static_cast<HeldReap*>(held);
    if (h->answered) return G_SOURCE_REMOVE;
    UsbNode* node = h->node;
    std::lock_guard<std::mutex> hold(node->lock_);
    if (h->answered) return G_SOURCE_REMOVE;
    h->answered = true;
    node->held_.erase(std::find(node->held_.begin(), node->held_.end(), h));
    node->ripen();
    if (!node->deliver(h->client))
        umockdev_ioctl_client_complete(h->client, -1, node->unplugged_ ? ENODEV : EAGAIN);
    return G_SOURCE_REMOVE;
}

void UsbNode::let_go_of_reaps(UMockdevIoctlClient* client, bool answer) {
    for (auto it = held_.begin(); it != held_.end();) {
        HeldReap* h = *it;
        if (client && h->client != client) {
            ++it;
            continue;
        }
        h->answered = true;
        it = held_.erase(it);
        if (answer && !deliver(h->client))
            umockdev_ioctl_client_complete(h->client, -1, unplugged_ ? ENODEV : EAGAIN);
        g_source_destroy(h->source);
    }
}

void UsbNode::discard(UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long address = 0;
    memcpy(&address, arg->data, sizeof(address) < static_cast<size_t>(arg->data_len)
                                    ? sizeof(address)
                                    : static_cast<size_t>(arg->data_len));
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->client == client && it->urb->client_addr == address) {
            Urb u = *it;
            pending_.erase(it);
            finish(u, -ENOENT, 0);
            return umockdev_ioctl_client_complete(client, 0, 0);
        }
    }
    for (auto it = stuck_.begin(); it != stuck_.end(); ++it) {
        if (it->client == client && it->urb->client_addr == address) {
            Urb u = *it;
            stuck_.erase(it);
            finish(u, -ENOENT, reinterpret_cast<usbdevfs_urb*>(u.urb->data)->actual_length);
            return umockdev_ioctl_client_complete(client, 0, 0);
        }
    }
    // Already done: the kernel says so with EINVAL and the reap delivers it as it is.
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

}  // namespace emu
