#include "station/bus_watch.h"

#include "cli/device.h"

std::vector<BusBoard> look_at_bus() {
    std::vector<BusBoard> seen;
    usb_list([&seen](usb_ifc_info* info) {
        if (match_morvanta_with_serial(info, nullptr) != 0) return -1;
        BusState state = !info->has_access ? BusState::NoPermission
                         : info->in_use    ? BusState::InUse
                                           : BusState::Usable;
        seen.push_back(BusBoard{info->location, info->serial, state});
        return -1;
    });
    return seen;
}
