#include "usb/usb_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "usb/usb.h"
#include "util/debug_output.h"

namespace {

// Reading away what a stalled board had queued: a few short reads, each given a moment.
constexpr size_t kStaleReadSize = 4096;
constexpr int kStaleReadsMax = 8;
constexpr unsigned kStaleReadMs = 20;

// The rest of a reply that filled its whole packets: how long one more packet may take to come,
// and how much of such a reply is read away at the most.
constexpr unsigned kReplyRestMs = 250;
constexpr size_t kReplyRestMax = 65536;

// The failure lines of transfers go only to the debugger-output channel: what the user sees of
// a failed transfer comes from the exchange above.
void debug_line(const char* fmt, int value) {
    char msg[1024];
    snprintf(msg, sizeof(msg), fmt, value);
    platform_debug_output(msg);
}

// A stalled endpoint stays halted, for this run and the next, until the halt is cleared; the
// transfer still fails with EPIPE.
// What the board still had queued for the failed exchange is read away after the halt is
// cleared, so that the next run is not answered with it.
void clear_stall(usbos_handle endpoint, bool in) {
    int err = errno;
    if (err == EPIPE) {
        usbos_clear_halt(endpoint);
        debug_line("endpoint stalled, halt cleared (errno %d)\n", err);
        std::vector<unsigned char> stale(kStaleReadSize);
        size_t got = 0;
        for (int i = 0; in && i < kStaleReadsMax; i++)
            if (!usbos_read_endpoint_sync(endpoint, stale.data(), stale.size(), &got, kStaleReadMs)) break;
    }
    errno = err;
}

// A device may answer a read with a packet longer than was asked for (a long reply to a 128-byte
// read); the system then fails the whole transfer with EOVERFLOW. Reads are therefore made in
// whole packets, and what the caller asked for is kept.
size_t whole_packets(size_t want, size_t max_packet) {
    if (max_packet == 0 || want % max_packet == 0) return want;
    return (want / max_packet + 1) * max_packet;
}

// A reply that filled every packet of the read may go on in further packets (a real stack leaves
// them queued); they are read away up to the first short packet, so that the next command does
// not take them for its own reply. Nothing arriving in time means the reply ended on a packet
// boundary without a zero-length packet.
void read_reply_rest(usbos_handle endpoint, size_t max_packet, unsigned timeout_ms) {
    if (max_packet == 0) return;
    std::vector<unsigned char> rest(max_packet);
    unsigned wait = timeout_ms == 0 ? kReplyRestMs : std::min(timeout_ms, kReplyRestMs);
    int err = errno;
    for (size_t drained = 0; drained < kReplyRestMax; drained += max_packet) {
        size_t got = 0;
        if (!usbos_read_endpoint_sync(endpoint, rest.data(), rest.size(), &got, wait)) break;
        if (got < max_packet) break;
    }
    errno = err;
}

}  // namespace

ssize_t WindowsUsbTransport::Write(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    size_t total = 0;
    if (!handle) {
        errno = ENODEV;
    } else if (len > 0) {
        while (len > 0) {
            size_t piece = std::min(len, kMaxUsbTransfer);
            size_t sent = 0;
            bool ok = usbos_write_endpoint_sync(handle->bulk_out, p, piece, &sent, kUsbWriteTimeoutMs);
            if (!ok) {
                clear_stall(handle->bulk_out, false);
                int err = errno;
                debug_line("usbos_write_endpoint_sync returned 0, errno: %d\n", err);
                if (err == ENODEV) usb_kick(handle.get());
                errno = err;
                return -1;
            }
            // A transfer that "succeeds" without moving a byte would repeat the same piece
            // forever; it is a failed transfer.
            if (sent == 0 || sent > piece) {
                errno = EIO;
                break;
            }
            total += sent;
            p += sent;
            len -= sent;
        }
        if (len == 0) return static_cast<ssize_t>(total);
    }
    debug_line("usb_write failed: %d\n", errno);
    return -1;
}

ssize_t WindowsUsbTransport::Read(void* data, size_t len) {
    return Read_timeout(data, len, 0);
}

ssize_t WindowsUsbTransport::Read_timeout(void* data, size_t len, unsigned timeout_ms) {
    if (handle) {
        size_t received = 0;
        size_t want = std::min(len, kMaxUsbTransfer);
        size_t max_packet = usbos_max_packet_size(handle->bulk_in);
        size_t whole = whole_packets(want, max_packet);
        std::vector<unsigned char> bounce(whole > want ? whole : 0);
        void* into = whole > want ? bounce.data() : data;
        if (usbos_read_endpoint_sync(handle->bulk_in, into, whole, &received, timeout_ms) &&
            received <= whole) {
            if (whole > want && received == whole) read_reply_rest(handle->bulk_in, max_packet, timeout_ms);
            received = std::min(received, want);
            if (into != data) memcpy(data, into, received);
            return static_cast<ssize_t>(received);
        }
        clear_stall(handle->bulk_in, true);
        if (errno == ENODEV) {
            int err = errno;
            usb_kick(handle.get());
            errno = err;
        }
    } else {
        errno = ENODEV;
    }
    debug_line("usb_read failed: %d\n", errno);
    return -1;
}

int WindowsUsbTransport::Close() {
    if (handle) {
        usb_cleanup_handle(handle.get());
        handle.reset();
    }
    return 0;
}

void usb_cleanup_handle(usb_handle* h) {
    if (!h) return;
    int err = errno;
    if (h->bulk_out) usbos_close_handle(h->bulk_out);
    if (h->bulk_in) usbos_close_handle(h->bulk_in);
    if (h->interface) usbos_close_handle(h->interface);
    h->name.clear();
    h->bulk_out = h->bulk_in = h->interface = nullptr;
    errno = err;
}

void usb_kick(usb_handle* h) {
    if (h) {
        usb_cleanup_handle(h);
    } else {
        errno = ENODEV;
    }
}

std::unique_ptr<usb_handle> do_usb_open(const char* name) {
    auto h = std::make_unique<usb_handle>();
    h->interface = usbos_create_interface_by_name(name, vendor_id, product_id);
    if (!h->interface) return nullptr;
    bool ok = false;
    h->bulk_in = usbos_open_default_bulk_read_endpoint(h->interface);
    if (h->bulk_in) h->bulk_out = usbos_open_default_bulk_write_endpoint(h->interface);
    if (h->bulk_out) {
        size_t length = 0;
        usbos_get_interface_name(h->interface, nullptr, &length);
        if (length == 0) {
            if (errno == 0) errno = ENOENT;
        } else {
            h->name.resize(length);
            ok = usbos_get_interface_name(h->interface, &h->name[0], &length);
            if (ok) h->name.resize(std::min(length, h->name.size()));
        }
    }
    if (ok) return h;
    int err = errno;
    usb_cleanup_handle(h.get());
    errno = err;
    return nullptr;
}
