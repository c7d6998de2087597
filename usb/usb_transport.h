// The USB transport: one interface's two bulk endpoints as a Transport, the record of an opened
// interface, and opening and closing it by name.
#pragma once
#include <memory>
#include <string>
#include "usb/transport.h"
#include "usb/usb_os.h"

// Longest single bulk transfer; longer writes are split, longer reads are cut.
constexpr size_t kMaxUsbTransfer = 1048576;
// Time limit of every bulk write, in milliseconds.
constexpr unsigned kUsbWriteTimeoutMs = 5000;

struct usb_handle {
    usbos_handle interface = nullptr;
    usbos_handle bulk_in = nullptr;
    usbos_handle bulk_out = nullptr;
    std::string name;
};

class WindowsUsbTransport : public Transport {
  public:
    explicit WindowsUsbTransport(std::unique_ptr<usb_handle> handle) : handle(std::move(handle)) {}
    // Only the record goes: Close must have released its handles.
    ~WindowsUsbTransport() override = default;

    ssize_t Read(void* data, size_t len) override;
    ssize_t Write(const void* data, size_t len) override;
    int Close() override;
    ssize_t Read_timeout(void* data, size_t len, unsigned timeout_ms) override;

    std::unique_ptr<usb_handle> handle;
};

// Opens the interface with that name and its default bulk endpoints; nullptr (errno set) on
// failure, with nothing left open.
std::unique_ptr<usb_handle> do_usb_open(const char* name);
// Releases the record's handles; the record stays, empty.
void usb_cleanup_handle(usb_handle* h);
// The device has gone away: its handles are released and every later transfer fails.
void usb_kick(usb_handle* h);
