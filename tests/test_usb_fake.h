// A fake of the operating system's USB access, for testing the transport, the enumeration and
// the device selection without libusb: devices are plain records, transfers are scripted, and
// every handle opened and closed is recorded.
#pragma once
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "usb/usb_os.h"
#include "util/debug_output.h"

namespace usbfake {

struct Interface {
    uint8_t number = 0;
    uint8_t endpoints = 2;
    uint8_t cls = 0xff, subclass = 0x42, protocol = 0x03;
};

struct Device {
    std::string location = "1-1";
    uint16_t vendor = 0x4f2d, product = 0xc004;
    std::string serial = "VXN0001";
    bool serial_readable = true;
    bool accessible = true;
    // Another program holds its interfaces: listed as such, opening fails with EBUSY.
    bool claimed = false;
    std::vector<Interface> interfaces = std::vector<Interface>(1);
    // errno of a failing step of opening (0: it works).
    int open_error = 0, read_endpoint_error = 0, write_endpoint_error = 0;
    // wMaxPacketSize of both bulk endpoints, as on a high-speed bus.
    size_t max_packet = 512;
    // A stalled endpoint stays halted, across opens, until its halt is cleared.
    bool halted_in = false, halted_out = false;
};

inline Device device_at(const std::string& location, const std::string& serial) {
    Device d;
    d.location = location;
    d.serial = serial;
    return d;
}

// What a transfer does; transfers without a script succeed in full (writes) or deliver
// nothing (reads).
struct Step {
    bool ok = true;
    int error = 0;
    // For writes: at most this many bytes are taken (SIZE_MAX: all). For reads: the bytes.
    size_t limit = SIZE_MAX;
    std::string data;
};

enum Kind { kEnum, kInterface, kEndpointIn, kEndpointOut };

struct Handle {
    Kind kind;
    size_t device;
    uint8_t interface;
    size_t next = 0;  // enumeration position: device * 256 + interface index
    std::string name;  // the interface's, kept: the bus may change while it is open
};

struct Fake {
    std::vector<Device> devices;
    // Called at the start of every enumeration (the count so far is passed), to change the bus.
    std::function<void(Fake&, int)> on_enumerate;
    int enumerations = 0;
    // errno of an enumeration that fails (0: it works), as when the system's USB access is down.
    int enum_error = 0;
    std::deque<Step> writes, reads;
    // Every transfer: its size and its data offset from the start of the caller's buffer, with
    // the buffer itself.
    std::vector<size_t> write_sizes, read_sizes;
    std::vector<const void*> write_pointers;
    std::vector<unsigned> write_timeouts, read_timeouts;
    std::string written;
    std::vector<std::string> opened;  // interface names, in order
    std::vector<std::string> closed;  // "in:NAME", "out:NAME", "ifc:NAME", "enum"
    std::vector<std::string> halts_cleared;  // "in:NAME", "out:NAME"; "INVALID" for a closed one
    std::set<Handle*> live;
    // Looks at the bus afresh that the search asked for; `on_rescan` is called at each.
    int rescans = 0;
    std::function<void(Fake&)> on_rescan;

    std::string name_of(size_t dev, uint8_t ifc) const {
        return devices[dev].location + ":1." + std::to_string(ifc);
    }
};

inline Fake* g_fake = nullptr;

inline usb_device_descriptor device_descriptor(const Device& d) {
    usb_device_descriptor dd;
    memset(&dd, 0, sizeof(dd));
    dd.bLength = 18;
    dd.bDescriptorType = 1;
    dd.idVendor = d.vendor;
    dd.idProduct = d.product;
    dd.iSerialNumber = 3;
    dd.bNumConfigurations = 1;
    return dd;
}

inline usb_interface_descriptor interface_descriptor(const Interface& i) {
    usb_interface_descriptor id;
    memset(&id, 0, sizeof(id));
    id.bLength = 9;
    id.bDescriptorType = 4;
    id.bInterfaceNumber = i.number;
    id.bNumEndpoints = i.endpoints;
    id.bInterfaceClass = i.cls;
    id.bInterfaceSubClass = i.subclass;
    id.bInterfaceProtocol = i.protocol;
    return id;
}

inline usbos_handle make(Kind kind, size_t device, uint8_t ifc) {
    Handle* h = new Handle{kind, device, ifc, 0, std::string()};
    if (kind != kEnum) h->name = g_fake->name_of(device, g_fake->devices[device].interfaces[ifc].number);
    g_fake->live.insert(h);
    return reinterpret_cast<usbos_handle>(h);
}

inline Handle* get(usbos_handle h) {
    Handle* p = reinterpret_cast<Handle*>(h);
    return g_fake->live.count(p) ? p : nullptr;
}

inline usbos_handle f_enum(uint16_t vendor, uint16_t product) {
    if (g_fake->on_enumerate) g_fake->on_enumerate(*g_fake, g_fake->enumerations);
    g_fake->enumerations++;
    if (g_fake->enum_error) {
        errno = g_fake->enum_error;
        return nullptr;
    }
    usbos_handle h = make(kEnum, 0, 0);
    get(h)->next = 0;
    // The filter by ids is the enumeration's own; keep it in the handle.
    get(h)->device = (static_cast<size_t>(vendor) << 16) | product;
    return h;
}

inline bool f_next(usbos_handle h, usbos_entry* entry) {
    Handle* e = get(h);
    if (!e || e->kind != kEnum) return false;
    uint16_t vendor = static_cast<uint16_t>(e->device >> 16), product = static_cast<uint16_t>(e->device);
    for (;;) {
        size_t dev = e->next / 256, ifc = e->next % 256;
        if (dev >= g_fake->devices.size()) {
            errno = ENOENT;
            return false;
        }
        const Device& d = g_fake->devices[dev];
        if ((vendor && d.vendor != vendor) || (product && d.product != product) || ifc >= d.interfaces.size()) {
            e->next = (dev + 1) * 256;
            continue;
        }
        e->next++;
        entry->name = g_fake->name_of(dev, d.interfaces[ifc].number);
        entry->location = d.location;
        // A serial the device would not give is not shown by the system either.
        entry->serial = d.serial_readable ? d.serial : std::string();
        entry->device = device_descriptor(d);
        entry->interface = interface_descriptor(d.interfaces[ifc]);
        entry->accessible = d.accessible;
        entry->claimed = d.claimed;
        return true;
    }
}

inline bool find(const char* name, size_t* dev, size_t* ifc) {
    for (size_t i = 0; i < g_fake->devices.size(); i++)
        for (size_t k = 0; k < g_fake->devices[i].interfaces.size(); k++)
            if (g_fake->name_of(i, g_fake->devices[i].interfaces[k].number) == name) {
                *dev = i;
                *ifc = k;
                return true;
            }
    return false;
}

inline usbos_handle f_create(const char* name, uint16_t vendor, uint16_t product) {
    size_t dev, ifc;
    if (!find(name, &dev, &ifc)) {
        errno = ENOENT;
        return nullptr;
    }
    const Device& d = g_fake->devices[dev];
    if ((vendor && d.vendor != vendor) || (product && d.product != product)) {
        errno = ENODEV;
        return nullptr;
    }
    if (!d.accessible) {
        errno = EACCES;
        return nullptr;
    }
    if (d.open_error || d.claimed) {
        errno = d.claimed ? EBUSY : d.open_error;
        return nullptr;
    }
    g_fake->opened.push_back(name);
    return make(kInterface, dev, static_cast<uint8_t>(ifc));
}

inline usbos_handle f_endpoint(usbos_handle h, bool in) {
    Handle* i = get(h);
    if (!i || i->kind != kInterface) {
        errno = ENODEV;
        return nullptr;
    }
    const Device& d = g_fake->devices[i->device];
    int err = in ? d.read_endpoint_error : d.write_endpoint_error;
    if (err) {
        errno = err;
        return nullptr;
    }
    return make(in ? kEndpointIn : kEndpointOut, i->device, i->interface);
}

inline usbos_handle f_read_ep(usbos_handle h) { return f_endpoint(h, true); }
inline usbos_handle f_write_ep(usbos_handle h) { return f_endpoint(h, false); }

inline bool f_name(usbos_handle h, char* buf, size_t* length) {
    Handle* i = get(h);
    if (!i || i->kind != kInterface) return false;
    const std::string& name = i->name;
    if (!buf) {
        *length = name.size();
        return true;
    }
    size_t n = std::min(*length, name.size());
    memcpy(buf, name.data(), n);
    *length = n;
    return true;
}

inline bool f_port(usbos_handle h, char* buf, size_t size) {
    Handle* i = get(h);
    if (!i || i->kind != kInterface) return false;
    snprintf(buf, size, "%s", g_fake->devices[i->device].location.c_str());
    return true;
}

inline bool f_dev_desc(usbos_handle h, usb_device_descriptor* out) {
    Handle* i = get(h);
    if (!i || i->kind != kInterface) return false;
    *out = device_descriptor(g_fake->devices[i->device]);
    return true;
}

inline bool f_ifc_desc(usbos_handle h, usb_interface_descriptor* out) {
    Handle* i = get(h);
    if (!i || i->kind != kInterface) return false;
    *out = interface_descriptor(g_fake->devices[i->device].interfaces[i->interface]);
    return true;
}

inline bool f_serial(usbos_handle h, char* buf, size_t size) {
    Handle* i = get(h);
    if (!i || i->kind != kInterface) return false;
    const Device& d = g_fake->devices[i->device];
    if (!d.serial_readable) {
        // Leave rubbish behind, as a failed string read may.
        snprintf(buf, size, "garbage");
        errno = EPIPE;
        return false;
    }
    snprintf(buf, size, "%s", d.serial.c_str());
    return true;
}

inline bool f_read(usbos_handle h, void* buf, size_t len, size_t* received, unsigned timeout_ms) {
    *received = 0;
    Handle* e = get(h);
    if (!e || e->kind != kEndpointIn) {
        errno = ENODEV;
        return false;
    }
    g_fake->read_sizes.push_back(len);
    g_fake->read_timeouts.push_back(timeout_ms);
    Device& d = g_fake->devices[e->device];
    if (d.halted_in) {
        errno = EPIPE;
        return false;
    }
    if (g_fake->reads.empty()) {
        errno = ETIMEDOUT;
        return false;
    }
    Step s = g_fake->reads.front();
    g_fake->reads.pop_front();
    if (!s.ok) {
        d.halted_in = s.error == EPIPE;
        errno = s.error;
        return false;
    }
    // As a real stack: a packet longer than the room left fails the whole transfer.
    const size_t mps = g_fake->devices[e->device].max_packet;
    if (s.data.size() > len && mps && len % mps != 0) {
        errno = EOVERFLOW;
        return false;
    }
    // A transfer of whole packets ends when it is full; the packets behind stay queued.
    size_t n = std::min(len, s.data.size());
    if (n < s.data.size()) g_fake->reads.push_front(Step{true, 0, SIZE_MAX, s.data.substr(n)});
    memcpy(buf, s.data.data(), n);
    *received = n;
    return true;
}

inline bool f_write(usbos_handle h, const void* buf, size_t len, size_t* sent, unsigned timeout_ms) {
    *sent = 0;
    Handle* e = get(h);
    if (!e || e->kind != kEndpointOut) {
        errno = ENODEV;
        return false;
    }
    g_fake->write_sizes.push_back(len);
    g_fake->write_pointers.push_back(buf);
    g_fake->write_timeouts.push_back(timeout_ms);
    Device& d = g_fake->devices[e->device];
    if (d.halted_out) {
        errno = EPIPE;
        return false;
    }
    Step s;
    if (!g_fake->writes.empty()) {
        s = g_fake->writes.front();
        g_fake->writes.pop_front();
    }
    if (!s.ok) {
        d.halted_out = s.error == EPIPE;
        errno = s.error;
        return false;
    }
    size_t n = std::min(len, s.limit);
    g_fake->written.append(static_cast<const char*>(buf), n);
    *sent = n;
    return true;
}

inline void f_close(usbos_handle h) {
    Handle* p = get(h);
    if (!p) {
        g_fake->closed.push_back("INVALID");
        return;
    }
    const std::string& name = p->name;
    switch (p->kind) {
        case kEnum: g_fake->closed.push_back("enum"); break;
        case kInterface: g_fake->closed.push_back("ifc:" + name); break;
        case kEndpointIn: g_fake->closed.push_back("in:" + name); break;
        case kEndpointOut: g_fake->closed.push_back("out:" + name); break;
    }
    g_fake->live.erase(p);
    delete p;
}

inline size_t f_max_packet(usbos_handle h) {
    Handle* e = get(h);
    return e && (e->kind == kEndpointIn || e->kind == kEndpointOut) ? g_fake->devices[e->device].max_packet : 0;
}

inline bool f_clear_halt(usbos_handle h) {
    Handle* e = get(h);
    if (!e || (e->kind != kEndpointIn && e->kind != kEndpointOut)) {
        g_fake->halts_cleared.push_back("INVALID");
        errno = ENODEV;
        return false;
    }
    g_fake->halts_cleared.push_back((e->kind == kEndpointIn ? "in:" : "out:") + e->name);
    (e->kind == kEndpointIn ? g_fake->devices[e->device].halted_in : g_fake->devices[e->device].halted_out) = false;
    return true;
}

inline void f_rescan() {
    g_fake->rescans++;
    if (g_fake->on_rescan) g_fake->on_rescan(*g_fake);
}

inline const usbos_ops kOps = {f_enum,     f_next,     f_create, f_read_ep, f_write_ep, f_name,
                               f_port,     f_dev_desc, f_ifc_desc, f_serial, f_read,   f_write,
                               f_close,    f_max_packet, f_clear_halt, f_rescan};

inline std::vector<std::string>* g_debug_lines = nullptr;

// Installs the fake for the life of the object, and collects the debugger-output lines.
class Installed {
  public:
    explicit Installed(Fake& fake) {
        g_fake = &fake;
        g_debug_lines = &debug_lines;
        old_ = usbos_install(&kOps);
        old_sink_ = set_debug_output_sink([](const char* text) { g_debug_lines->push_back(text); });
    }
    ~Installed() {
        usbos_install(old_ == usbos_system_ops() ? nullptr : old_);
        set_debug_output_sink(old_sink_);
        g_fake = nullptr;
        g_debug_lines = nullptr;
    }
    std::vector<std::string> debug_lines;

  private:
    const usbos_ops* old_;
    debug_output_sink old_sink_;
};

}  // namespace usbfake
