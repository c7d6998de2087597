// QEMU's machine monitor (QMP) on its unix socket, for boards hot-plugged into the running
// machine: a usb-redir device is added with the character device it talks through, and removed
// again, as the guest asks on its control port.
#pragma once
#include <nlohmann/json_fwd.hpp>
#include <string>

#include "util/owned.h"

namespace redir {

class Monitor {
  public:
    // Connects and leaves the monitor's negotiation mode; false with the reason.
    bool open(const std::string& path, std::string* error);
    bool is_open() const { return fd_.get() >= 0; }
    // A character device listening on `socket` and a usb-redir device on it, both named `id`.
    // `where` holds the device's other properties as "bus=hc1.0,port=11" (string values).
    bool add_usb_redir(const std::string& id, const std::string& socket, const std::string& where,
                       std::string* error);
    // Unplugs the device; its character device goes with it (usb-redir deletes its own).
    bool remove_device(const std::string& id, std::string* error);

  private:
    bool execute(const nlohmann::json& command, std::string* error);
    bool read_message(nlohmann::json* message, std::string* error);
    OwnedFd fd_;
    std::string in_;
};

}  // namespace redir
