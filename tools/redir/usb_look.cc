#include "tools/redir/usb_look.h"

#include "util/byte_order.h"

namespace redir {

board::Bytes device_descriptor(const UsbLook& look) {
    board::Bytes d(18, 0);
    d[0] = 18;
    d[1] = 1;             // DEVICE
    put_le16(&d[2], 0x0200);
    d[7] = 64;            // control endpoint packet size
    put_le16(&d[8], look.vendor);
    put_le16(&d[10], look.product);
    put_le16(&d[12], look.bcd_device);
    d[14] = 1;
    d[15] = 2;
    d[16] = look.serial.empty() ? 0 : 3;
    d[17] = 1;            // configurations
    return d;
}

board::Bytes config_descriptor(const UsbLook& look) {
    board::Bytes d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50,   // CONFIGURATION: 1 interface, value 1, 100 mA
                      9, 4, 0, 0, 2, 0xff, 0x42, 0x03, 0,  // INTERFACE 0: 2 endpoints, ff/42/03
                      7, 5, kEpIn, 2, 0, 0, 0,            // bulk in
                      7, 5, kEpOut, 2, 0, 0, 0};          // bulk out
    put_le16(&d[2], static_cast<uint16_t>(d.size()));
    put_le16(&d[22], look.max_packet);
    put_le16(&d[29], look.max_packet);
    return d;
}

board::Bytes string_descriptor(const UsbLook& look, uint8_t index) {
    if (index == 0) return {4, 3, 0x09, 0x04};
    const std::string* text = index == 1   ? &look.manufacturer
                              : index == 2 ? &look.product_name
                              : index == 3 ? &look.serial
                                           : nullptr;
    if (!text || (index == 3 && text->empty())) return {};
    board::Bytes d = {static_cast<uint8_t>(2 + 2 * text->size()), 3};
    for (char c : *text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(0);
    }
    return d;
}

}  // namespace redir
