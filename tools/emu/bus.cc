#include "tools/emu/bus.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace emu {

namespace {

const char kControllerPath[] = "/devices/pci0000:00/0000:00:14.0";

std::string hex_of(const board::Bytes& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string fmt3(int n) {
    char buf[16];
    snprintf(buf, sizeof(buf), "%03d", n);
    return buf;
}

// A hub's descriptors: the device and one configuration with its interrupt endpoint.
board::Bytes hub_descriptors(bool root) {
    const uint8_t protocol = root ? 1 : 2, product = root ? 2 : 1;
    return {18,   1, 0x00, 0x02, 9, 0, protocol, 64, 0x6b, 0x1d, product, 0,
            0x00, 0x01, 0, 0, 0, 1,
            9, 2, 25, 0, 1, 1, 0, 0xe0, 0,
            9, 4, 0, 0, 1, 9, 0, 0, 0,
            7, 5, 0x81, 3, 4, 0, 12};
}

// Escapes an attribute value for the test bed's text format.
std::string escape(const std::string& value) {
    std::string s;
    for (char c : value) {
        if (c == '\\')
            s += "\\\\";
        else if (c == '\n')
            s += "\\n";
        else
            s += c;
    }
    return s;
}

}  // namespace

bool parse_port_path(const std::string& port, int* bus, std::vector<int>* ports) {
    ports->clear();
    size_t dash = port.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= port.size()) return false;
    auto number = [](const std::string& s, int lo, int hi, int* out) {
        if (s.empty() || s.size() > 3) return false;
        for (char c : s)
            if (c < '0' || c > '9') return false;
        int v = atoi(s.c_str());
        if (v < lo || v > hi) return false;
        *out = v;
        return true;
    };
    if (!number(port.substr(0, dash), 1, 127, bus)) return false;
    size_t pos = dash + 1;
    while (pos <= port.size()) {
        size_t dot = port.find('.', pos);
        if (dot == std::string::npos) dot = port.size();
        int p = 0;
        if (!number(port.substr(pos, dot - pos), 1, 255, &p)) return false;
        ports->push_back(p);
        pos = dot + 1;
    }
    return ports->size() <= 7;
}

Bus::Bus(std::mutex& lock) : lock_(lock) {
    testbed_ = umockdev_testbed_new();
}

std::string Bus::root() const {
    gchar* dir = umockdev_testbed_get_root_dir(testbed_);
    std::string s = dir ? dir : "";
    g_free(dir);
    return s;
}

Bus::~Bus() {
    if (testbed_) g_object_unref(testbed_);
}

std::string Bus::devnode_of(int bus, int devnum) {
    return "/dev/bus/usb/" + fmt3(bus) + "/" + fmt3(devnum);
}

// As the kernel does: the numbers go round, past those of devices still on the bus.
int Bus::next_devnum(int bus) {
    int& n = devnums_[bus];
    if (n < 1) n = 1;
    for (int tries = 0; tries < 126; tries++) {
        n = n >= 127 ? 2 : n + 1;
        if (!present_nodes_.count(devnode_of(bus, n))) break;
    }
    return n;
}

std::string Bus::add_device(const std::string& syspath, int bus, int devnum,
                            const board::Bytes& descriptors,
                            const std::map<std::string, std::string>& extra_attrs,
                            const std::map<std::string, std::string>& extra_props,
                            std::string* error) {
    std::string node = "bus/usb/" + fmt3(bus) + "/" + fmt3(devnum);
    std::string text = "P: " + syspath + "\n";
    text += "N: " + node + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    text += "E: DEVNAME=/dev/" + node + "\n";
    text += "E: BUSNUM=" + fmt3(bus) + "\nE: DEVNUM=" + fmt3(devnum) + "\n";
    for (const auto& p : extra_props) text += "E: " + p.first + "=" + escape(p.second) + "\n";
    text += "A: busnum=" + std::to_string(bus) + "\n";
    text += "A: devnum=" + std::to_string(devnum) + "\n";
    text += "A: speed=480\nA: bConfigurationValue=1\nA: bNumConfigurations=1\n";
    text += "A: dev=189:" + std::to_string((bus - 1) * 128 + devnum - 1) + "\n";
    for (const auto& a : extra_attrs) text += "A: " + a.first + "=" + escape(a.second) + "\n";
    text += "H: descriptors=" + hex_of(descriptors) + "\n";
    GError* gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &gerror)) {
        *error = std::string("cannot add ") + syspath + ": " + (gerror ? gerror->message : "?");
        g_clear_error(&gerror);
        return std::string();
    }
    return "/dev/" + node;
}

bool Bus::ensure_hubs(int bus, const std::vector<int>& ports, std::string* parent,
                      std::string* error) {
    std::string root_name = "usb" + std::to_string(bus);
    auto it = hubs_.find(root_name);
    if (it == hubs_.end()) {
        std::string path = std::string(kControllerPath) + "/" + root_name;
        devnums_[bus] = 1;
        if (add_device(path, bus, 1, hub_descriptors(true), {{"bDeviceClass", "09"}, {"maxchild", "8"}},
                       {}, error)
                .empty())
            return false;
        it = hubs_.emplace(root_name, path).first;
    }
    std::string path = it->second;
    std::string name = std::to_string(bus);
    for (size_t i = 0; i + 1 < ports.size(); i++) {
        name += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
        auto hub = hubs_.find(name);
        if (hub == hubs_.end()) {
            std::string hub_path = path + "/" + name;
            int devnum = next_devnum(bus);
            if (add_device(hub_path, bus, devnum, hub_descriptors(false),
                           {{"bDeviceClass", "09"}, {"maxchild", "4"},
                            {"devpath", name.substr(name.find('-') + 1)}},
                           {}, error)
                    .empty())
                return false;
            present_nodes_.insert(devnode_of(bus, devnum));
            hub = hubs_.emplace(name, hub_path).first;
        }
        path = hub->second;
    }
    *parent = path;
    return true;
}

bool Bus::add_root_hub(int bus, std::string* error) {
    std::string parent;
    return ensure_hubs(bus, {1}, &parent, error);
}

bool Bus::plug(Slot& slot, std::string* error) {
    int bus = 0;
    std::vector<int> ports;
    if (!parse_port_path(slot.port, &bus, &ports)) {
        *error = "not a USB port path: " + slot.port;
        return false;
    }
    std::string parent;
    if (!ensure_hubs(bus, ports, &parent, error)) return false;
    int devnum = next_devnum(bus);
    std::string devnode = devnode_of(bus, devnum);

    UsbLook look;
    board::Board* b = &slot.board;
    {
        std::lock_guard<std::mutex> hold(lock_);
        look.serial = b->config.serial;
        look.has_serial = !b->config.serial.empty();
    }
    Slot* s = &slot;
    auto node = std::make_unique<UsbNode>(slot.board, lock_, look, [this, s] { board_gone(*s); });
    node->set_file(root() + devnode);
    // MB a second are bytes a microsecond.
    node->link_rate(slot.link_mb_per_s);
    if (slot.claimed_ms != 0)
        node->claim_elsewhere(slot.claimed_ms < 0 ? -1 : g_get_monotonic_time() + slot.claimed_ms * 1000);
    // The kernel is still setting up a device that has just come back: its interface is not
    // there yet.
    if (slot.node && slot.settle_delay_ms)
        node->unconfigured(g_get_monotonic_time() + gint64(slot.settle_delay_ms) * 1000);
    // The handler must be in place before the device appears, or the first open of the node
    // by a process that watches for it would miss it.
    // The number went round: the node of a device long gone gives way (its old handler stays
    // with its board's earlier appearances).
    if (attached_nodes_.erase(devnode)) umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), nullptr);
    GError* gerror = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), node->handler(), &gerror)) {
        *error = std::string("cannot emulate ") + devnode + ": " + (gerror ? gerror->message : "?");
        g_clear_error(&gerror);
        return false;
    }
    std::map<std::string, std::string> attrs = {
        {"idVendor", "4f2d"}, {"idProduct", "c004"}, {"manufacturer", look.manufacturer},
        {"product", look.product_name}, {"bDeviceClass", "00"}, {"bNumInterfaces", " 1"},
        {"devpath", slot.port.substr(slot.port.find('-') + 1)}, {"maxchild", "0"}};
    if (look.has_serial) attrs["serial"] = look.serial;
    std::map<std::string, std::string> props = {
        {"ID_VENDOR_ID", "4f2d"}, {"ID_MODEL_ID", "c004"}, {"PRODUCT", "4f2d/c004/100"}};
    std::string syspath = parent + "/" + slot.port;
    if (add_device(syspath, bus, devnum, usb_descriptor_blob(look), attrs, props, error).empty()) {
        umockdev_testbed_detach_ioctl(testbed_, devnode.c_str(), nullptr);
        return false;
    }
    // A process already watching the bus (vorn waiting for a restarted board) learns of the
    // device only from this event; its device list is not rescanned.
    attached_nodes_.insert(devnode);
    present_nodes_.insert(devnode);
    umockdev_testbed_uevent(testbed_, ("/sys" + syspath).c_str(), "add");
    const std::string file = root() + devnode;
    // The test bed marks a device node by its mode bits, which are kept when access is given back.
    struct stat st = {};
    stat(file.c_str(), &st);
    const mode_t open_mode = st.st_mode & 07777;
    if (slot.no_access || slot.access_delay_ms) chmod(file.c_str(), open_mode & ~0777);
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (slot.node) slot.old_nodes.push_back(std::move(slot.node));
        slot.node = std::move(node);
        slot.syspath = "/sys" + syspath;
        slot.devnode = devnode;
    }
    if (!slot.no_access && slot.access_delay_ms)
        after(slot, slot.access_delay_ms, [file, open_mode] { chmod(file.c_str(), open_mode); });
    return true;
}

namespace {

struct Later {
    Bus* bus;
    std::mutex* lock;
    Slot* slot;
    std::string devnode;
    std::function<void()> work;
};

}  // namespace

void Bus::after(Slot& slot, unsigned ms, std::function<void()> work) {
    auto* later = new Later{this, &lock_, &slot, slot.devnode, std::move(work)};
    g_timeout_add_full(
        G_PRIORITY_DEFAULT, ms,
        [](gpointer p) -> gboolean {
            auto* l = static_cast<Later*>(p);
            bool same;
            {
                std::lock_guard<std::mutex> hold(*l->lock);
                same = l->slot->devnode == l->devnode;
            }
            // Only for the appearance it was meant for.
            if (same) l->work();
            return G_SOURCE_REMOVE;
        },
        later, [](gpointer p) { delete static_cast<Later*>(p); });
}

void Bus::unplug(Slot& slot) {
    std::string syspath;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (slot.node) slot.node->unplug();
        syspath.swap(slot.syspath);
        present_nodes_.erase(slot.devnode);
        slot.devnode.clear();
    }
    if (syspath.empty()) return;
    // Whoever watches the bus hears of the removal while the device is still in sysfs, as
    // with the kernel.
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
}

namespace {

struct GoneEvent {
    Bus* bus;
    Slot* slot;
    unsigned delay_ms;
};

}  // namespace

void Bus::board_gone(Slot& slot) {
    auto* ev = new GoneEvent{this, &slot, reenumerate_delay_ms};
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer p) -> gboolean {
            auto* e = static_cast<GoneEvent*>(p);
            e->bus->unplug(*e->slot);
            bool back;
            {
                std::lock_guard<std::mutex> hold(e->bus->lock_);
                back = e->slot->board.reenumerate_requested;
            }
            if (!back) {
                delete e;
                return G_SOURCE_REMOVE;
            }
            g_timeout_add_full(
                G_PRIORITY_DEFAULT, e->delay_ms,
                [](gpointer q) -> gboolean {
                    auto* e2 = static_cast<GoneEvent*>(q);
                    {
                        std::lock_guard<std::mutex> hold(e2->bus->lock_);
                        e2->slot->board.reenumerate_requested = false;
                        e2->slot->board.come_back();
                    }
                    std::string error;
                    if (!e2->bus->plug(*e2->slot, &error))
                        fprintf(stderr, "vorn-emu: %s\n", error.c_str());
                    return G_SOURCE_REMOVE;
                },
                e, [](gpointer q) { delete static_cast<GoneEvent*>(q); });
            return G_SOURCE_REMOVE;
        },
        ev, nullptr);
}

}  // namespace emu
