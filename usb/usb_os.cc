#include "usb/usb_os.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
const usbos_ops* g_ops = nullptr;
}

const usbos_ops* usbos_current() {
    return g_ops ? g_ops : usbos_system_ops();
}

const usbos_ops* usbos_install(const usbos_ops* ops) {
    const usbos_ops* old = usbos_current();
    g_ops = ops;
    return old;
}

bool usbos_copy_name(const std::string& name, char* buf, size_t* length) {
    if (!buf) {
        *length = name.size();
        return true;
    }
    size_t n = std::min(name.size(), *length);
    memcpy(buf, name.data(), n);
    *length = n;
    return true;
}

bool usbos_copy_text(const std::string& text, char* buf, size_t size) {
    if (!buf || size == 0) {
        errno = EINVAL;
        return false;
    }
    snprintf(buf, size, "%s", text.c_str());
    return true;
}

usbos_handle usbos_enum_interfaces(uint16_t vendor, uint16_t product) {
    return usbos_current()->enum_interfaces(vendor, product);
}
bool usbos_next_interface(usbos_handle enumeration, usbos_entry* entry) {
    return usbos_current()->next_interface(enumeration, entry);
}
usbos_handle usbos_create_interface_by_name(const char* name, uint16_t vendor, uint16_t product) {
    return usbos_current()->create_interface_by_name(name, vendor, product);
}
usbos_handle usbos_open_default_bulk_read_endpoint(usbos_handle interface) {
    return usbos_current()->open_default_bulk_read_endpoint(interface);
}
usbos_handle usbos_open_default_bulk_write_endpoint(usbos_handle interface) {
    return usbos_current()->open_default_bulk_write_endpoint(interface);
}
bool usbos_get_interface_name(usbos_handle interface, char* buf, size_t* length) {
    return usbos_current()->get_interface_name(interface, buf, length);
}
bool usbos_get_port_path(usbos_handle interface, char* buf, size_t size) {
    return usbos_current()->get_port_path(interface, buf, size);
}
bool usbos_get_device_descriptor(usbos_handle interface, usb_device_descriptor* out) {
    return usbos_current()->get_device_descriptor(interface, out);
}
bool usbos_get_interface_descriptor(usbos_handle interface, usb_interface_descriptor* out) {
    return usbos_current()->get_interface_descriptor(interface, out);
}
bool usbos_get_serial_number(usbos_handle interface, char* buf, size_t size) {
    return usbos_current()->get_serial_number(interface, buf, size);
}
bool usbos_read_endpoint_sync(usbos_handle endpoint, void* buf, size_t len, size_t* received,
                              unsigned timeout_ms) {
    return usbos_current()->read_endpoint_sync(endpoint, buf, len, received, timeout_ms);
}
bool usbos_write_endpoint_sync(usbos_handle endpoint, const void* buf, size_t len, size_t* sent,
                               unsigned timeout_ms) {
    return usbos_current()->write_endpoint_sync(endpoint, buf, len, sent, timeout_ms);
}
void usbos_close_handle(usbos_handle handle) {
    usbos_current()->close_handle(handle);
}
size_t usbos_max_packet_size(usbos_handle endpoint) {
    return usbos_current()->max_packet_size(endpoint);
}
bool usbos_clear_halt(usbos_handle endpoint) {
    return usbos_current()->clear_halt(endpoint);
}
void usbos_rescan() {
    if (usbos_current()->rescan) usbos_current()->rescan();
}
