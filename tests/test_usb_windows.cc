// The WinUSB backend's own logic, against a fake of the Windows calls it makes: finding the
// boards' interfaces, opening one by its path, its pipes, descriptors, serial number and port
// path, the time limits as pipe policies, and what each Windows error code becomes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/device.h"
#include "protocol/exchange.h"
#include "tests/test_winusb_fake.h"
#include "usb/usb.h"
#include "usb/usb_enum.h"
#include "usb/usb_transport.h"
#include "usb/usb_udev.h"

using winfake::Fake;
using winfake::Installed;

namespace {

winfake::Board board_at(const std::string& serial, const std::string& location_paths) {
    winfake::Board b;
    b.serial = serial;
    b.instance_id = "USB\\VID_4F2D&PID_C004\\" + serial;
    b.path = "\\\\?\\usb#vid_4f2d&pid_c004#" + serial + "#{5e0c7a13-9b42-4d8e-a6f1-37c2d9b0e458}";
    b.location_paths = location_paths;
    return b;
}

std::vector<usbos_entry> enumerate(uint16_t vendor, uint16_t product) {
    std::vector<usbos_entry> entries;
    usbos_handle e = usbos_enum_interfaces(vendor, product);
    if (!e) return entries;
    usbos_entry entry;
    while (usbos_next_interface(e, &entry)) entries.push_back(entry);
    usbos_close_handle(e);
    return entries;
}

ifc_match_func accept_all() {
    return [](usb_ifc_info*) { return 0; };
}

// One board at a root port, found by the enumeration and opened.
struct OneBoard {
    Fake fake;
    std::unique_ptr<Installed> installed;
    Transport* t = nullptr;
    OneBoard() {
        fake.boards = {board_at("VXN0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)")};
        installed = std::make_unique<Installed>(fake);
        t = usb_open(accept_all(), nullptr);
    }
    ~OneBoard() {
        if (t) usb_close(t);
    }
};

}  // namespace

TEST(UsbWindows, EnumeratesTheBoardsInterfaceClass) {
    Fake fake;
    fake.boards = {board_at("VXN0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"),
                   board_at("VXN0002", "PCIROOT(0)#PCI(0D00)#USBROOT(0)#USB(11)"),
                   board_at("OTHER", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"),
                   // A composite device's interface, and a device without a serial number.
                   board_at("VXN0004", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(5)#USBMI(0)"),
                   board_at("X", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(6)")};
    fake.boards[2].path = "\\\\?\\usb#vid_1234&pid_c004#other#{5e0c7a13-9b42-4d8e-a6f1-37c2d9b0e458}";
    fake.boards[4].instance_id = "USB\\VID_4F2D&PID_C004\\6&1A2B3C&0&6";
    Installed installed(fake);
    std::vector<usbos_entry> entries = enumerate(vendor_id, product_id);
    EXPECT_EQ(0, memcmp(&kBoardInterfaceClass, &fake.cls, sizeof(GUID)));
    const GUID expected = {0x5E0C7A13, 0x9B42, 0x4D8E, {0xA6, 0xF1, 0x37, 0xC2, 0xD9, 0xB0, 0xE4, 0x58}};
    EXPECT_EQ(0, memcmp(&expected, &fake.cls, sizeof(GUID)));
    EXPECT_EQ(static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE), fake.flags);
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ(fake.boards[0].path, entries[0].name);
    EXPECT_EQ("1400-2.3", entries[0].location);
    EXPECT_EQ("VXN0001", entries[0].serial);
    EXPECT_EQ(0x4f2d, entries[0].device.idVendor);
    EXPECT_EQ(0xc004, entries[0].device.idProduct);
    EXPECT_EQ("0d00-11", entries[1].location);
    EXPECT_EQ("1400-5", entries[2].location);
    EXPECT_EQ("VXN0004", entries[2].serial);
    // Windows makes up an instance id for a device without a serial number: it is not one.
    EXPECT_EQ("", entries[3].serial);

    // Without a filter the other vendor's device is listed too; the enumeration's list is
    // released either way.
    EXPECT_EQ(5u, enumerate(0, 0).size());
    // Two add-in controllers, each behind a PCI bridge of its own, are both at PCI(0000) of
    // their bridge: the bridges tell their sockets apart. So do two PCI roots.
    fake.boards = {board_at("A", "PCIROOT(0)#PCI(1C00)#PCI(0000)#USBROOT(0)#USB(1)"),
                   board_at("B", "PCIROOT(0)#PCI(1C04)#PCI(0000)#USBROOT(0)#USB(1)"),
                   board_at("C", "PCIROOT(0)#PCI(1C04)#PCI(0000)#PCI(0800)#PCI(0000)#USBROOT(0)#USB(1)"),
                   board_at("D", "PCIROOT(1)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"),
                   board_at("E", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"),
                   board_at("F", "ACPI(_SB_)#ACPI(PCI0)#ACPI(XHC_)#USBROOT(0)#USB(4)")};
    entries = enumerate(vendor_id, product_id);
    std::vector<std::string> ports;
    for (const usbos_entry& e : entries) ports.push_back(e.location);
    EXPECT_EQ((std::vector<std::string>{"1c00.0000-1", "1c04.0000-1", "1c04.0000.0800.0000-1", "1:1400-2.3",
                                        "1400-2.3", "0-4"}),
              ports);
    EXPECT_TRUE(fake.sets.empty());
}

TEST(UsbWindows, OpensByPathWithTheDefaultBulkPipes) {
    Fake fake;
    fake.boards = {board_at("VXN0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)")};
    // An interrupt pipe first, and a second pipe of each direction.
    fake.boards[0].pipes = {{0x83, UsbdPipeTypeInterrupt}, {0x82, UsbdPipeTypeBulk}, {0x01, UsbdPipeTypeBulk},
                            {0x84, UsbdPipeTypeBulk}, {0x05, UsbdPipeTypeBulk}};
    Installed installed(fake);
    std::string path = "\\\\?\\USB#VID_4F2D&PID_C004#VXN0001#{5E0C7A13-9B42-4D8E-A6F1-37C2D9B0E458}";
    usb_ifc_info seen{};
    testing::internal::CaptureStdout();
    Transport* t = usb_open(ifc_match_func([&seen](usb_ifc_info* info) {
                                seen = *info;
                                return 0;
                            }),
                            path.c_str());
    // Five endpoints: not the boards' interface.
    EXPECT_EQ(nullptr, t);
    EXPECT_EQ("Fail in match device\n", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.interfaces.empty());

    // The direction is the pipe id's: the read pipe comes first here.
    fake.boards[0].pipes = {{0x82, UsbdPipeTypeBulk}, {0x01, UsbdPipeTypeBulk}};
    t = usb_open(ifc_match_func([&seen](usb_ifc_info* info) {
                     seen = *info;
                     return 0;
                 }),
                 path.c_str());
    ASSERT_NE(nullptr, t);
    // Opened for overlapped transfers, as WinUSB needs, and shared.
    ASSERT_EQ(2u, fake.creates.size());
    EXPECT_EQ((std::vector<DWORD>{GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED}),
              fake.creates[1]);
    EXPECT_EQ(0x4f2d, seen.idVendor);
    EXPECT_EQ(0xc004, seen.idProduct);
    EXPECT_EQ(0xff, seen.bInterfaceClass);
    EXPECT_EQ(0x42, seen.bInterfaceSubClass);
    EXPECT_EQ(0x03, seen.bInterfaceProtocol);
    EXPECT_EQ(1, seen.has_access);
    // The serial number is read from the device in the first language it offers, exactly as
    // it is (the instance id would have it in capitals).
    EXPECT_STREQ("VXN0001", seen.serial);
    EXPECT_EQ(std::vector<USHORT>{0x0407}, fake.languages);
    EXPECT_STREQ("1400-2.3", seen.location);
    auto* usb = static_cast<WindowsUsbTransport*>(t);
    EXPECT_EQ(fake.boards[0].path, usb->handle->name);

    fake.reads.push_back({0, SIZE_MAX, "OKAY"});
    char buf[128];
    EXPECT_EQ(4, t->Write("getv", 4));
    EXPECT_EQ(4, t->Read(buf, sizeof(buf)));
    EXPECT_EQ((std::vector<std::pair<UCHAR, ULONG>>{{0x01, 4}}), fake.write_calls);
    // A reply is read in a whole packet of the pipe, so a longer one cannot overflow the buffer.
    EXPECT_EQ((std::vector<std::pair<UCHAR, ULONG>>{{0x82, 512}}), fake.read_calls);
    EXPECT_EQ(0, usb_close(t));
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.interfaces.empty());

    // The default pipes are the first bulk pipe of each direction.
    fake.boards[0].pipes = {{0x83, UsbdPipeTypeInterrupt}, {0x01, UsbdPipeTypeBulk}, {0x84, UsbdPipeTypeBulk},
                            {0x02, UsbdPipeTypeBulk}, {0x85, UsbdPipeTypeBulk}};
    usbos_handle ifc = usbos_create_interface_by_name(path.c_str(), vendor_id, product_id);
    ASSERT_NE(nullptr, ifc);
    usbos_handle in = usbos_open_default_bulk_read_endpoint(ifc);
    usbos_handle out = usbos_open_default_bulk_write_endpoint(ifc);
    size_t n = 0;
    fake.reads.push_back({0, SIZE_MAX, "x"});
    EXPECT_TRUE(usbos_write_endpoint_sync(out, "y", 1, &n, 100));
    EXPECT_TRUE(usbos_read_endpoint_sync(in, buf, 1, &n, 100));
    EXPECT_EQ(0x01, fake.write_calls.back().first);
    EXPECT_EQ(0x84, fake.read_calls.back().first);
    usbos_close_handle(out);
    usbos_close_handle(in);
    usbos_close_handle(ifc);
    EXPECT_TRUE(fake.files.empty());
    // Another maker's device at a board's path is left alone.
    EXPECT_EQ(nullptr, usbos_create_interface_by_name(path.c_str(), vendor_id, 0x1234));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(3u, fake.creates.size());
}

TEST(UsbWindows, TimeLimitsArePipePolicies) {
    OneBoard one;
    Fake& fake = one.fake;
    Transport* t = one.t;
    ASSERT_NE(nullptr, t);
    char buf[16];
    fake.reads = {{0, SIZE_MAX, "A"}, {0, SIZE_MAX, "B"}, {0, SIZE_MAX, "C"}, {0, SIZE_MAX, "D"}};
    EXPECT_EQ(3, t->Write("abc", 3));
    EXPECT_EQ(3, t->Write("def", 3));
    EXPECT_EQ(1, t->Read(buf, sizeof(buf)));
    EXPECT_EQ(1, t->Read_timeout(buf, sizeof(buf), 200));
    EXPECT_EQ(1, t->Read_timeout(buf, sizeof(buf), 200));
    EXPECT_EQ(1, t->Read(buf, sizeof(buf)));
    // Set when it changes only: 5000 ms for writes, none (0) or the caller's for reads.
    ASSERT_EQ(4u, fake.policies.size());
    EXPECT_EQ(0x02, fake.policies[0].pipe);
    EXPECT_EQ(static_cast<ULONG>(PIPE_TRANSFER_TIMEOUT), fake.policies[0].type);
    EXPECT_EQ(5000u, fake.policies[0].value);
    EXPECT_EQ(0x81, fake.policies[1].pipe);
    EXPECT_EQ(0u, fake.policies[1].value);
    EXPECT_EQ(200u, fake.policies[2].value);
    EXPECT_EQ(0u, fake.policies[3].value);
}

TEST(UsbWindows, LongWritesAreSplitAndPartialWritesContinued) {
    OneBoard one;
    Fake& fake = one.fake;
    Transport* t = one.t;
    ASSERT_NE(nullptr, t);
    std::string data(3000000, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7 + i / 256);
    fake.writes = {{0, 600000, ""}};
    EXPECT_EQ(3000000, t->Write(data.data(), data.size()));
    EXPECT_EQ(data, fake.written);
    std::vector<ULONG> sizes;
    for (auto& c : fake.write_calls) sizes.push_back(c.second);
    EXPECT_EQ((std::vector<ULONG>{1048576, 1048576, 1048576, 302848}), sizes);
    // A read never asks for more than one transfer's worth.
    std::vector<char> big(2000000);
    fake.reads = {{0, SIZE_MAX, std::string(1048576, 'x')}};
    EXPECT_EQ(1048576, t->Read(big.data(), big.size()));
    EXPECT_EQ(1048576u, fake.read_calls.back().second);
}

TEST(UsbWindows, AnInvalidHandleMeansTheBoardHasGone) {
    OneBoard one;
    Fake& fake = one.fake;
    Transport* t = one.t;
    ASSERT_NE(nullptr, t);
    char buf[16];
    // A time-out leaves the board open.
    fake.reads = {{ERROR_SEM_TIMEOUT, SIZE_MAX, ""}, {0, SIZE_MAX, "OKAY"}, {ERROR_INVALID_HANDLE, SIZE_MAX, ""}};
    EXPECT_EQ(-1, t->Read_timeout(buf, sizeof(buf), 50));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SEM_TIMEOUT), fake.last_error);
    EXPECT_EQ(1u, fake.files.size());
    EXPECT_EQ(4, t->Read(buf, sizeof(buf)));
    // Code 6: the handles are released, and the code stays for whoever looks.
    EXPECT_EQ(-1, t->Read(buf, sizeof(buf)));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), fake.last_error);
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.interfaces.empty());
    EXPECT_EQ(-1, t->Write("x", 1));
    EXPECT_EQ(0, usb_close(t));
    one.t = nullptr;
    EXPECT_EQ(1, fake.frees);
    EXPECT_EQ(1, fake.closes);

    // A failed write with code 6 does the same.
    Transport* again = usb_open(accept_all(), nullptr);
    ASSERT_NE(nullptr, again);
    fake.writes = {{ERROR_INVALID_HANDLE, SIZE_MAX, ""}};
    EXPECT_EQ(-1, again->Write("x", 1));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_TRUE(fake.files.empty());
    usb_close(again);
}

TEST(UsbWindows, NoPermissionProblemIsNamed) {
    // Every user may open a board bound to WinUSB.
    EXPECT_EQ("", GetUdevProblem());
    EXPECT_EQ("", UsbNoPermissionsAdviceText());
    EXPECT_EQ("no permissions in; [add idVendor '4f2d' to GROUP 'plugdev' to udev rules.d]\n",
              UsbNoPermissionsShortHelpText());
    EXPECT_EQ("insufficient permissions for device.\nSee [add idVendor '4f2d' to GROUP 'plugdev' to udev rules.d] "
              "for more information.",
              UsbNoPermissionsLongHelpText());
}

TEST(UsbWindows, WindowsErrorCodesAndTheirErrnoValues) {
    EXPECT_EQ(ENODEV, errno_of_win32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(ENODEV, errno_of_win32(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(ENODEV, errno_of_win32(ERROR_BAD_COMMAND));
    EXPECT_EQ(ETIMEDOUT, errno_of_win32(ERROR_SEM_TIMEOUT));
    EXPECT_EQ(EBUSY, errno_of_win32(ERROR_ACCESS_DENIED));
    EXPECT_EQ(ENOENT, errno_of_win32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(EIO, errno_of_win32(ERROR_GEN_FAILURE));
}

TEST(UsbWindows, AStalledPipeIsResetAndTheBoardStaysOpen) {
    OneBoard one;
    Fake& fake = one.fake;
    ASSERT_NE(nullptr, one.t);
    char reply[129] = {0};
    fake.reads = {{ERROR_GEN_FAILURE, SIZE_MAX, ""}};
    EXPECT_EQ(-1, fb_command_response(one.t, "getvar:x", reply));
    EXPECT_STREQ("status read failed (the board stalled: Broken pipe)", fb_get_error());
    // The halt of the pipe that stalled was cleared before the link was closed.
    ASSERT_EQ(1u, fake.reset_pipes.size());
    EXPECT_EQ(0x80, fake.reset_pipes[0] & 0x80);
    // A stalled write clears the halt of the out pipe.
    Transport* again = usb_open(accept_all(), nullptr);
    ASSERT_NE(nullptr, again);
    fake.writes = {{ERROR_GEN_FAILURE, SIZE_MAX, ""}};
    EXPECT_EQ(-1, again->Write("x", 1));
    EXPECT_EQ(EPIPE, errno);
    ASSERT_EQ(2u, fake.reset_pipes.size());
    EXPECT_EQ(0, fake.reset_pipes[1] & 0x80);
    usb_close(again);
}

TEST(UsbWindows, FailuresOfOpeningCloseWhatWasOpened) {
    Fake fake;
    fake.boards = {board_at("VXN0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)"),
                   board_at("VXN0002", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)"),
                   board_at("VXN0003", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)")};
    // Held by another program; WinUSB refuses; fine.
    fake.boards[0].create_error = ERROR_ACCESS_DENIED;
    fake.boards[1].initialize_error = ERROR_GEN_FAILURE;
    Installed installed(fake);

    EXPECT_EQ(nullptr, do_usb_open(fake.boards[0].path.c_str()));
    EXPECT_EQ(EBUSY, errno);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), fake.last_error);
    EXPECT_EQ(nullptr, do_usb_open(fake.boards[1].path.c_str()));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(static_cast<DWORD>(ERROR_GEN_FAILURE), fake.last_error);
    EXPECT_TRUE(fake.files.empty());
    EXPECT_EQ(1, fake.closes);

    // The enumeration passes both by without a word and takes the third.
    std::vector<std::string> offered;
    testing::internal::CaptureStderr();
    Transport* t = usb_open(ifc_match_func([&offered](usb_ifc_info* info) {
                                offered.push_back(info->serial);
                                return 0;
                            }),
                            nullptr);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>{"VXN0003"}, offered);
    usb_close(t);

    // A path that no present board has is not opened at all.
    testing::internal::CaptureStdout();
    EXPECT_EQ(nullptr, usb_open(accept_all(), "\\\\?\\usb#vid_4f2d&pid_c004#gone#{x}"));
    EXPECT_EQ("Fail in open \\\\?\\usb#vid_4f2d&pid_c004#gone#{x}\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(5u, fake.creates.size());
    EXPECT_TRUE(fake.sets.empty());
}

TEST(UsbWindows, BoardsAreSelectedBySerialOrPortAndListedWithoutOne) {
    Fake fake;
    fake.boards = {board_at("VXN0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"),
                   board_at("VXN0002", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)")};
    // A board without a serial number descriptor is still offered, with an empty serial.
    fake.boards[1].serial_index = 0;
    Installed installed(fake);
    std::string offered;
    auto by = [&offered](const char* wanted) {
        return ifc_match_func([&offered, wanted](usb_ifc_info* info) {
            offered += std::string(info->serial) + "@" + info->location + " ";
            return strcmp(info->serial, wanted) == 0 || strcmp(info->location, wanted) == 0 ? 0 : -1;
        });
    };
    Transport* t = usb_open(by("1400-2.4"), nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ("VXN0001@1400-2.3 @1400-2.4 ", offered);
    usb_close(t);
    offered.clear();
    t = usb_open(by("VXN0001"), nullptr);
    ASSERT_NE(nullptr, t);
    // The first match ends the enumeration: the second board is not opened.
    EXPECT_EQ("VXN0001@1400-2.3 ", offered);
    usb_close(t);
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.sets.empty());
}

TEST(UsbWindows, BoardsAreListedFromTheirOpenedDescriptors) {
    Fake fake;
    fake.boards = {board_at("VXN0001", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"),
                   board_at("VXN0002", "PCIROOT(0)#PCI(1C00)#PCI(0000)#USBROOT(0)#USB(1)"),
                   board_at("HELD", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"),
                   board_at("THREE", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(5)"),
                   board_at("OTHER", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(6)")};
    // Without a serial number descriptor; held by another program (WinUSB refuses a second
    // opener); an interface of three endpoints; another interface signature.
    fake.boards[1].serial_index = 0;
    fake.boards[2].create_error = ERROR_ACCESS_DENIED;
    fake.boards[3].pipes.push_back({0x83, UsbdPipeTypeInterrupt});
    fake.boards[4].subclass = 0x43;
    Installed installed(fake);
    testing::internal::CaptureStdout();
    list_devices();
    EXPECT_EQ("VXN0001\tQrx_VXN\n????????????\tQrx_VXN\n", testing::internal::GetCapturedStdout());
    testing::internal::CaptureStdout();
    list_devices_long();
    EXPECT_EQ("VXN0001\tQrx_VXN\t1400-2.3\tusable\n????????????\tQrx_VXN\t1c00.0000-1\tusable\n",
              testing::internal::GetCapturedStdout());
    // Each board is let go as soon as it is described.
    EXPECT_TRUE(fake.files.empty());
    EXPECT_TRUE(fake.interfaces.empty());
    EXPECT_TRUE(fake.sets.empty());
    EXPECT_EQ(fake.frees, fake.closes);
}
