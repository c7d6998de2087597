// USB interface enumeration and matching: candidates are described as usb_ifc_info and offered
// to a callback; the accepted one is opened as a Transport.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include "usb/transport.h"

struct usb_ifc_info {
    uint16_t idVendor;
    uint16_t idProduct;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    // 0 when the board is there but may not be opened by this user.
    uint8_t has_access;
    // 1 when another program holds the interface (set by usb_list only; opening a board tells it
    // by failing).
    uint8_t in_use;
    char serial[256];
    // The USB port path, such as "1-2.3".
    char location[256];
};

using ifc_match_func = std::function<int(usb_ifc_info*)>;

extern const uint16_t vendor_id;
extern const uint16_t product_id;

Transport* usb_open(ifc_match_func callback, const char* path);
Transport* usb_open(int (*callback)(usb_ifc_info*), const char* path);
int usb_close(Transport* transport);
// The USB port path of the board behind a transport that usb_open returned, such as "1-2.3";
// empty for another transport or where the system does not tell it.
std::string usb_port_path(Transport* transport);
// Offers every target interface to the callback without opening or claiming any, so that
// listing never disturbs a board another program is using; the callback's answer is not used.
// When the system's list of devices cannot be read, standard error says so and why.
void usb_list(const ifc_match_func& callback);
// Set while a board restarts into another stage and is opened again: a denial then is most likely
// udev not having applied its rule yet, and the user is never told to replug the board.
void usb_set_board_restarting(bool restarting);
std::string UsbNoPermissionsShortHelpText();
std::string UsbNoPermissionsLongHelpText();
