// The emulated USB bus: a umockdev test bed with root hubs, hubs and the boards plugged into
// their ports, each board a device with descriptors in sysfs and a node under /dev/bus/usb.
#pragma once
#include <umockdev.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tools/board/board.h"
#include "tools/emu/usb_node.h"

namespace emu {

// One board and where it is plugged in.
struct Slot {
    board::Board board;
    // USB port path, for example "1-2.3".
    std::string port;
    // The user may not open its device node.
    bool no_access = false;
    // Another process holds the board's interface for this long after each appearance (ms; 0
    // never, -1 always).
    long long claimed_ms = 0;
    // After each appearance the node may not be opened for this long (ms), as before udev has
    // applied its permission rule.
    unsigned access_delay_ms = 0;
    // After a re-enumeration the interface cannot be claimed for this long (ms, ENOENT): the
    // kernel is still configuring the device.
    unsigned settle_delay_ms = 0;
    // The board is plugged in this long after the command started (ms; 0 at once).
    unsigned plug_after_ms = 0;
    // Its link carries this many MB (10^6 bytes) a second from the host (0: no limit).
    unsigned link_mb_per_s = 0;
    // The bus as it is now: the device's sysfs path and node, empty while unplugged.
    std::string syspath;
    std::string devnode;
    std::unique_ptr<UsbNode> node;
    // Earlier appearances, kept until the end because a process may still hold them open.
    std::vector<std::unique_ptr<UsbNode>> old_nodes;
};

// "1-2.3" -> bus 1, ports {2, 3}; false when the text is not a port path.
bool parse_port_path(const std::string& port, int* bus, std::vector<int>* ports);

class Bus {
  public:
    // `lock` guards the boards; the bus's own calls are made with it held.
    explicit Bus(std::mutex& lock);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    bool ok() const { return testbed_ != nullptr; }
    // The test bed's root folder, which the command's preload library is pointed at.
    std::string root() const;
    // Puts the root hub of `bus` on the bus (plugging a board does so too).
    bool add_root_hub(int bus, std::string* error);
    // Plugs the board in at its port, with a new device number; false with a reason.
    bool plug(Slot& slot, std::string* error);
    // Unplugs it: the "remove" event, then the device goes.
    void unplug(Slot& slot);
    // Called when a board has gone from its node: unplugs it, and plugs it in again after
    // `reenumerate_delay_ms` when the board asked to be re-enumerated. Safe from any thread.
    void board_gone(Slot& slot);

    unsigned reenumerate_delay_ms = 200;

  private:
    bool ensure_hubs(int bus, const std::vector<int>& ports, std::string* parent, std::string* error);
    std::string add_device(const std::string& syspath, int bus, int devnum, const board::Bytes& descriptors,
                           const std::map<std::string, std::string>& extra_attrs,
                           const std::map<std::string, std::string>& extra_props, std::string* error);
    static std::string devnode_of(int bus, int devnum);
    int next_devnum(int bus);
    // Runs `work` on the main loop after `ms`, if the board still has the same appearance.
    void after(Slot& slot, unsigned ms, std::function<void()> work);

    std::mutex& lock_;
    UMockdevTestbed* testbed_ = nullptr;
    std::map<int, int> devnums_;
    // Hubs (and root hubs) already on the bus: port path -> sysfs path.
    std::map<std::string, std::string> hubs_;
    // Device nodes with a handler attached, and those of devices now on the bus.
    std::set<std::string> attached_nodes_;
    std::set<std::string> present_nodes_;
};

}  // namespace emu
