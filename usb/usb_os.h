// The operating system's USB access, reduced to what the transport and the enumeration need:
// enumerate target interfaces, open one by name, its default bulk endpoints, its descriptors and
// serial number, synchronous bulk transfers with a time limit, and releasing handles.
//
// Every operation that fails leaves the reason in errno (ENODEV when the device has gone away,
// ETIMEDOUT for a time-out, EACCES when the user may not open the device, ...).
//
// The operations dispatch through a table that tests may replace with a fake; the default table
// is the system's own backend: libusb on Linux (usb_os_libusb.cc), WinUSB on Windows
// (usb_os_windows.cc).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The standard USB descriptors in the layout the device sends (multi-byte fields little-endian,
// as the host is).
struct usb_device_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
} __attribute__((packed));

struct usb_interface_descriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
} __attribute__((packed));

static_assert(sizeof(usb_device_descriptor) == 18, "the device descriptor is 18 bytes");
static_assert(sizeof(usb_interface_descriptor) == 9, "the interface descriptor is 9 bytes");

// An opaque handle: an enumeration, an interface or an endpoint; nullptr is none.
struct usbos_object;
using usbos_handle = usbos_object*;

// One target interface found by the enumeration, described from the descriptors the system
// keeps, without opening the device.
struct usbos_entry {
    // The interface's name as the system shows it, for example "1-2.3:1.0".
    std::string name;
    // The USB port path of its device, for example "1-2.3".
    std::string location;
    // The serial number as the system shows it, readable even when the device is not.
    std::string serial;
    usb_device_descriptor device;
    usb_interface_descriptor interface;
    // False when this user may not open the device, as far as the system tells without trying.
    bool accessible = true;
    // Another program holds the interface: a claim through usbfs binds it to the "usbfs" driver.
    bool claimed = false;
};

struct usbos_ops {
    // Starts an enumeration of the interfaces, in the active configuration, of the attached
    // devices with these USB ids (0: any); nullptr when nothing can be enumerated.
    usbos_handle (*enum_interfaces)(uint16_t vendor, uint16_t product);
    // The next entry; false when there is none left.
    bool (*next_interface)(usbos_handle enumeration, usbos_entry* entry);
    // Opens the interface with that name if its device has these USB ids (0: any): opens the
    // device and claims the interface, detaching a kernel driver that holds it (given back on
    // release). A device with other ids is left untouched (ENODEV).
    usbos_handle (*create_interface_by_name)(const char* name, uint16_t vendor, uint16_t product);
    usbos_handle (*open_default_bulk_read_endpoint)(usbos_handle interface);
    usbos_handle (*open_default_bulk_write_endpoint)(usbos_handle interface);
    // With buf null, stores the length of the name in *length; otherwise copies at most *length
    // characters of the name, unterminated, and stores the count copied in *length.
    bool (*get_interface_name)(usbos_handle interface, char* buf, size_t* length);
    // The USB port path of the interface's device.
    bool (*get_port_path)(usbos_handle interface, char* buf, size_t size);
    bool (*get_device_descriptor)(usbos_handle interface, usb_device_descriptor* out);
    bool (*get_interface_descriptor)(usbos_handle interface, usb_interface_descriptor* out);
    // The serial number string, terminated, in a buffer of `size` bytes.
    bool (*get_serial_number)(usbos_handle interface, char* buf, size_t size);
    // One bulk transfer; `timeout_ms` 0 waits without limit. The count is stored even when the
    // transfer fails part way.
    bool (*read_endpoint_sync)(usbos_handle endpoint, void* buf, size_t len, size_t* received,
                               unsigned timeout_ms);
    bool (*write_endpoint_sync)(usbos_handle endpoint, const void* buf, size_t len, size_t* sent,
                                unsigned timeout_ms);
    // Releases any handle obtained above; closing an interface releases its claim.
    void (*close_handle)(usbos_handle handle);
    // The largest packet the endpoint moves (wMaxPacketSize); 0 when unknown.
    size_t (*max_packet_size)(usbos_handle endpoint);
    // Clears the endpoint's halt after the device stalled it, so that the next transfer (or the
    // next run) can use it again.
    bool (*clear_halt)(usbos_handle endpoint);
    // Forgets what the backend knows of the bus, so that the next enumeration reads it afresh.
    // Where the list of devices follows the system's hot-plug events (libusb), a process that
    // missed one would otherwise never see the board it waits for. Does nothing while a handle
    // of the backend is open; nullptr where every enumeration reads the bus anyway.
    void (*rescan)();
};

// The table in use, and replacing it (nullptr restores the system's); returns the previous.
const usbos_ops* usbos_current();
const usbos_ops* usbos_install(const usbos_ops* ops);
// The system's own backend.
const usbos_ops* usbos_system_ops();

// For the backends: get_interface_name's copy of a name, and a terminated copy of a text into a
// buffer of `size` bytes (EINVAL without one).
bool usbos_copy_name(const std::string& name, char* buf, size_t* length);
bool usbos_copy_text(const std::string& text, char* buf, size_t size);

// The same operations, dispatched through the current table.
usbos_handle usbos_enum_interfaces(uint16_t vendor, uint16_t product);
bool usbos_next_interface(usbos_handle enumeration, usbos_entry* entry);
usbos_handle usbos_create_interface_by_name(const char* name, uint16_t vendor, uint16_t product);
usbos_handle usbos_open_default_bulk_read_endpoint(usbos_handle interface);
usbos_handle usbos_open_default_bulk_write_endpoint(usbos_handle interface);
bool usbos_get_interface_name(usbos_handle interface, char* buf, size_t* length);
bool usbos_get_port_path(usbos_handle interface, char* buf, size_t size);
bool usbos_get_device_descriptor(usbos_handle interface, usb_device_descriptor* out);
bool usbos_get_interface_descriptor(usbos_handle interface, usb_interface_descriptor* out);
bool usbos_get_serial_number(usbos_handle interface, char* buf, size_t size);
bool usbos_read_endpoint_sync(usbos_handle endpoint, void* buf, size_t len, size_t* received,
                              unsigned timeout_ms);
bool usbos_write_endpoint_sync(usbos_handle endpoint, const void* buf, size_t len, size_t* sent,
                               unsigned timeout_ms);
void usbos_close_handle(usbos_handle handle);
size_t usbos_max_packet_size(usbos_handle endpoint);
bool usbos_clear_halt(usbos_handle endpoint);
void usbos_rescan();
