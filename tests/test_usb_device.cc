// Which interfaces are target boards, the "devices" listing, and opening and reopening a board,
// over a fake of the system's USB access.
#include <gtest/gtest.h>

#include <cstring>

#include "cli/device.h"
#include "tests/test_usb_fake.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using usbfake::Device;
using usbfake::Fake;
using usbfake::Installed;

namespace {

usb_ifc_info target(const char* serial, const char* location) {
    usb_ifc_info info;
    memset(&info, 0, sizeof(info));
    info.idVendor = 0x4f2d;
    info.idProduct = 0xc004;
    info.bInterfaceClass = 0xff;
    info.bInterfaceSubClass = 0x42;
    info.bInterfaceProtocol = 0x03;
    info.has_access = 1;
    snprintf(info.serial, sizeof(info.serial), "%s", serial);
    snprintf(info.location, sizeof(info.location), "%s", location);
    return info;
}


}  // namespace

TEST(DeviceSelection, TheMatchRule) {
    usb_ifc_info info = target("VXN0001", "1-2.3");
    EXPECT_EQ(0, match_morvanta_with_serial(&info, nullptr));
    EXPECT_EQ(0, match_morvanta_with_serial(&info, "VXN0001"));
    EXPECT_EQ(0, match_morvanta_with_serial(&info, "1-2.3"));
    EXPECT_EQ(-1, match_morvanta_with_serial(&info, "vxn0001"));
    EXPECT_EQ(-1, match_morvanta_with_serial(&info, "1-2"));
    EXPECT_EQ(-1, match_morvanta_with_serial(&info, ""));

    for (int field = 0; field < 5; field++) {
        usb_ifc_info other = target("VXN0001", "1-2.3");
        switch (field) {
            case 0: other.idVendor = 0x4f2e; break;
            case 1: other.idProduct = 0xc003; break;
            case 2: other.bInterfaceClass = 0xfe; break;
            case 3: other.bInterfaceSubClass = 0x43; break;
            case 4: other.bInterfaceProtocol = 0x02; break;
        }
        EXPECT_EQ(-1, match_morvanta_with_serial(&other, nullptr)) << field;
        EXPECT_EQ(-1, match_morvanta_with_serial(&other, "VXN0001")) << field;
        EXPECT_EQ(-1, match_morvanta_with_serial(&other, "1-2.3")) << field;
        CaptureStdout();
        EXPECT_EQ(-1, list_devices_callback(&other));
        EXPECT_EQ("", GetCapturedStdout());
    }
}

TEST(DeviceSelection, TheListing) {
    Fake fake;
    Installed fake_in(fake);
    CaptureStdout();
    list_devices();
    EXPECT_EQ("", GetCapturedStdout());

    Device locked = usbfake::device_at("1-3", "LOCKED");
    locked.accessible = false;
    Device other = usbfake::device_at("1-4", "OTHER");
    other.vendor = 0x1d6b;
    // A board another program has claimed is listed as well.
    Device busy = usbfake::device_at("1-5", "BUSY");
    busy.open_error = EBUSY;
    fake.devices = {usbfake::device_at("1-1", "VXN0001"), usbfake::device_at("1-2", ""), locked, other, busy};
    std::string no_permission = UsbNoPermissionsShortHelpText();
    ASSERT_EQ('\n', no_permission.back());
    no_permission.pop_back();
    CaptureStdout();
    CaptureStderr();
    list_devices();
    EXPECT_EQ("VXN0001\tQrx_VXN\n????????????\tQrx_VXN\n" + no_permission + "\tQrx_VXN\nBUSY\tQrx_VXN\n",
              GetCapturedStdout());
    // Listing a board the user may not open is not an attempt to use it.
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_TRUE(fake.live.empty());
    // Nothing is opened, so nothing is claimed from another program.
    EXPECT_TRUE(fake.opened.empty());
}

TEST(DeviceSelection, TheLongListingTellsPortAndState) {
    Fake fake;
    Installed fake_in(fake);
    CaptureStdout();
    list_devices_long();
    EXPECT_EQ("", GetCapturedStdout());

    Device locked = usbfake::device_at("1-3", "LOCKED");
    locked.accessible = false;
    Device busy = usbfake::device_at("1-5.2", "BUSY");
    busy.claimed = true;
    Device three = usbfake::device_at("1-6", "THREE");
    three.interfaces[0].endpoints = 3;
    fake.devices = {usbfake::device_at("1-1", "VXN0001"), usbfake::device_at("1-2", ""), locked, busy,
                    three};
    CaptureStdout();
    CaptureStderr();
    list_devices_long();
    EXPECT_EQ("VXN0001\tQrx_VXN\t1-1\tusable\n"
              "????????????\tQrx_VXN\t1-2\tusable\n"
              "LOCKED\tQrx_VXN\t1-3\tno permission\n"
              "BUSY\tQrx_VXN\t1-5.2\tin use\n",
              GetCapturedStdout());
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_TRUE(fake.opened.empty());
    EXPECT_TRUE(fake.live.empty());

    // The short listing shows a board in use like any other: its holder is not disturbed.
    CaptureStdout();
    list_devices();
    std::string plain = GetCapturedStdout();
    EXPECT_NE(std::string::npos, plain.find("\nBUSY\tQrx_VXN\n")) << plain;
    EXPECT_TRUE(fake.opened.empty());
}

TEST(DeviceSelection, OpeningByPathThatFails) {
    Fake fake;
    Installed fake_in(fake);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(nullptr, open_device("2-9:1.0", nullptr));
    EXPECT_EQ("Fail in open 2-9:1.0\n", GetCapturedStdout());
    EXPECT_EQ("ERR[VXN]Fail open dev:2-9:1.0\n", GetCapturedStderr());
    // Opened by name: no enumeration, no waiting.
    EXPECT_EQ(0, fake.enumerations);
}

TEST(DeviceSelection, WaitingForTheBoardPrintsOneLine) {
    Fake fake;
    Installed fake_in(fake);
    // Another board is there from the start; the wanted one turns up on the 30th look.
    fake.devices = {usbfake::device_at("1-1", "OTHER")};
    fake.on_enumerate = [](Fake& f, int n) {
        if (n == 30) f.devices.push_back(usbfake::device_at("1-2", "WANTED"));
    };
    CaptureStderr();
    Transport* t = open_device(nullptr, "WANTED");
    EXPECT_EQ("< waiting for Quenrix WANTED >\n", GetCapturedStderr());
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(31, fake.enumerations);
    EXPECT_EQ("1-2:1.0", fake.opened.back());

    // By port path, and with no selector at all.
    fake.devices = {usbfake::device_at("1-1", "SAME"), usbfake::device_at("1-5.2", "SAME")};
    fake.on_enumerate = nullptr;
    CaptureStderr();
    Transport* by_port = open_device(nullptr, "1-5.2");
    EXPECT_EQ("", GetCapturedStderr());
    ASSERT_NE(nullptr, by_port);
    EXPECT_EQ("1-5.2:1.0", fake.opened.back());

    fake.devices.clear();
    int start = fake.enumerations;
    fake.on_enumerate = [start](Fake& f, int n) {
        if (n == start + 5) f.devices.push_back(usbfake::device_at("1-1", "LATE"));
    };
    CaptureStderr();
    Transport* any = open_device(nullptr, nullptr);
    EXPECT_EQ("< waiting for Quenrix VXN device >\n", GetCapturedStderr());
    ASSERT_NE(nullptr, any);
    usb_close(t);
    usb_close(by_port);
    usb_close(any);
}

TEST(DeviceSelection, ReopeningClosesTheOldTransportFirst) {
    Fake fake;
    Installed fake_in(fake);
    fake.devices = {usbfake::device_at("1-1", "VXN0001")};
    Transport* t = open_device(nullptr, "VXN0001");
    ASSERT_NE(nullptr, t);
    fake.on_enumerate = [](Fake& f, int) {
        // The board is found again only once the old handles are released.
        if (!f.live.empty()) f.devices.clear();
        else if (f.devices.empty()) f.devices.push_back(usbfake::device_at("1-1", "VXN0001"));
    };
    Transport* again = reopen_device(t, "VXN0001");
    EXPECT_EQ(again, t);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({"out:1-1:1.0", "in:1-1:1.0", "ifc:1-1:1.0", "enum"}),
              std::vector<std::string>(fake.closed.begin() + 1, fake.closed.begin() + 5));
    EXPECT_EQ(2u, fake.opened.size());
    usb_close(t);
    EXPECT_TRUE(fake.live.empty());
}

// Boards on a station share serial numbers and are told apart by port path: a board that
// restarts is opened again on its own port, never another one with its serial number.
TEST(DeviceSelection, ReopeningFollowsTheBoardTheRunChose) {
    Fake fake;
    Installed fake_in(fake);
    // Chosen by port path: the other board with the serial comes first in the enumeration.
    fake.devices = {usbfake::device_at("1-1", "SAME"), usbfake::device_at("1-2", "SAME")};
    Transport* t = open_device(nullptr, "1-2");
    ASSERT_NE(nullptr, t);
    ASSERT_NE(nullptr, reopen_device(t, "SAME"));
    EXPECT_EQ(std::vector<std::string>({"1-2:1.0", "1-2:1.0"}), fake.opened);
    EXPECT_EQ("1-2", usb_port_path(t));
    usb_close(t);

    // By port path, the board there is taken whatever serial number it comes back with.
    fake.opened.clear();
    t = open_device(nullptr, "1-2");
    ASSERT_NE(nullptr, t);
    fake.devices[1].serial = "BL2E";
    ASSERT_NE(nullptr, reopen_device(t, "SAME"));
    EXPECT_EQ(std::vector<std::string>({"1-2:1.0", "1-2:1.0"}), fake.opened);
    usb_close(t);

    // Chosen by serial number while it was the only board with it; another one with the same
    // serial number is plugged in before it comes back.
    fake.opened.clear();
    fake.devices = {usbfake::device_at("1-1", "OTHER"), usbfake::device_at("1-2", "SAME")};
    t = open_device(nullptr, "SAME");
    ASSERT_NE(nullptr, t);
    fake.devices[0].serial = "SAME";
    ASSERT_NE(nullptr, reopen_device(t, "SAME"));
    EXPECT_EQ(std::vector<std::string>({"1-2:1.0", "1-2:1.0"}), fake.opened);
    usb_close(t);

    // Not back on its port yet: the board elsewhere with the serial number is not taken, and the
    // wait is named by the serial number.
    fake.opened.clear();
    t = open_device(nullptr, nullptr);
    ASSERT_NE(nullptr, t);
    fake.devices.clear();
    int start = fake.enumerations;
    fake.on_enumerate = [start](Fake& f, int n) {
        if (n == start + 5) f.devices.push_back(usbfake::device_at("1-1.4", "SAME"));
        if (n == start + 10) f.devices.push_back(usbfake::device_at("1-1", "SAME"));
    };
    CaptureStderr();
    ASSERT_NE(nullptr, reopen_device(t, "SAME"));
    EXPECT_EQ("< waiting for Quenrix SAME >\n", GetCapturedStderr());
    EXPECT_EQ(std::vector<std::string>({"1-1:1.0", "1-1:1.0"}), fake.opened);
    usb_close(t);
    EXPECT_TRUE(fake.live.empty());
}

// The list of devices may follow hot-plug events that the process missed: while no board is
// found, the bus is looked at afresh from time to time, for the first opening and a reopening.
TEST(DeviceSelection, ABoardThatAppearedUnseenIsFoundByLookingAgain) {
    Fake fake;
    Installed fake_in(fake);
    fake.devices = {usbfake::device_at("1-1", "VXN0001")};
    Transport* t = open_device(nullptr, nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(0, fake.rescans);

    // The board left and came back while the events were lost: until the bus is looked at
    // afresh, the list shows none.
    std::vector<Device> bus = fake.devices;
    fake.on_enumerate = [](Fake& f, int) {
        if (!f.live.empty() || f.rescans == 0) f.devices.clear();
    };
    fake.on_rescan = [bus](Fake& f) { f.devices = bus; };
    CaptureStderr();
    ASSERT_NE(nullptr, reopen_device(t, "VXN0001"));
    EXPECT_EQ("< waiting for Quenrix VXN0001 >\n", GetCapturedStderr());
    EXPECT_EQ(1, fake.rescans);
    usb_close(t);

    fake.devices.clear();
    fake.on_enumerate = nullptr;
    fake.on_rescan = [](Fake& f) {
        if (f.rescans == 2) f.devices = {usbfake::device_at("1-3", "LATE")};
    };
    CaptureStderr();
    t = open_device(nullptr, nullptr);
    EXPECT_EQ("< waiting for Quenrix VXN device >\n", GetCapturedStderr());
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(2, fake.rescans);
    usb_close(t);
}

TEST(DeviceSelection, WaitingForABoardAnotherProgramHolds) {
    Fake fake;
    Installed fake_in(fake);
    Device busy = usbfake::device_at("1-1", "HELD");
    busy.open_error = EBUSY;
    fake.devices = {busy};
    // The other program lets go on the 20th look.
    fake.on_enumerate = [](Fake& f, int n) {
        if (n == 20) f.devices[0].open_error = 0;
    };
    CaptureStderr();
    Transport* t = open_device(nullptr, nullptr);
    EXPECT_EQ("board HELD is in use by another program\n< waiting for Quenrix VXN device >\n", GetCapturedStderr());
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(21, fake.enumerations);
    EXPECT_EQ(std::vector<std::string>({"1-1:1.0"}), fake.opened);
    usb_close(t);
}
