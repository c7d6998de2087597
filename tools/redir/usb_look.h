// What the USB side shows of a board: its descriptors and strings, as a device in download mode
// answers GET_DESCRIPTOR.
#pragma once
#include <cstdint>
#include <string>

#include "tools/board/board.h"

namespace redir {

constexpr uint8_t kEpIn = 0x81;
constexpr uint8_t kEpOut = 0x01;

struct UsbLook {
    uint16_t vendor = 0x4f2d;
    uint16_t product = 0xc004;
    uint16_t bcd_device = 0x0100;
    // Bulk endpoints of a high-speed device.
    uint16_t max_packet = 512;
    // Empty: the device has no serial number string at all.
    std::string serial;
    std::string manufacturer = "Quenrix";
    std::string product_name = "VXN download mode";
};

board::Bytes device_descriptor(const UsbLook& look);
board::Bytes config_descriptor(const UsbLook& look);
// String descriptor `index` (0 the language list); empty when the device has no such string.
board::Bytes string_descriptor(const UsbLook& look, uint8_t index);

}  // namespace redir
