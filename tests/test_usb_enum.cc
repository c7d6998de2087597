// Finding boards over a fake of the system's USB access: which interfaces are offered, in what
// order, what is opened and closed, and the texts for boards the user may not open.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "tests/test_support.h"
#include "tests/test_usb_fake.h"
#include "usb/usb.h"
#include "usb/usb_enum.h"
#include "usb/usb_sys.h"
#include "usb/usb_udev.h"
#include "util/log.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using usbfake::Device;
using usbfake::Fake;
using usbfake::Installed;
using usbfake::Interface;

namespace {


struct Seen {
    std::vector<std::string> serials, locations;
    std::vector<int> access;
};

ifc_match_func record(Seen* seen, const char* accept_serial) {
    return [seen, accept_serial](usb_ifc_info* info) {
        seen->serials.push_back(info->serial);
        seen->locations.push_back(info->location);
        seen->access.push_back(info->has_access);
        return accept_serial && std::string(accept_serial) == info->serial ? 0 : -1;
    };
}

// Tries to open the board every 50 ms, each time without success, until standard error says
// something (for at most 5 s); what it said, and *when (-1 for never).
std::string poll_until_told(const ifc_match_func& callback, double* when) {
    *when = -1;
    std::string err;
    for (int i = 0; i < 100 && *when < 0; i++) {
        sleep_ms(50);
        CaptureStderr();
        EXPECT_EQ(nullptr, usb_open(callback, nullptr));
        err = GetCapturedStderr();
        if (!err.empty()) *when = now();
    }
    return err;
}

}  // namespace

TEST(UsbEnum, OnlyTheAcceptedBoardIsOpened) {
    Fake fake;
    Installed fake_in(fake);
    fake.devices = {usbfake::device_at("1-1", "AAA"), usbfake::device_at("1-2", "BBB"), usbfake::device_at("1-3", "CCC")};
    Seen seen;
    Transport* t = usb_open(record(&seen, "BBB"), nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({"AAA", "BBB"}), seen.serials);
    EXPECT_EQ(std::vector<std::string>({"1-1", "1-2"}), seen.locations);
    EXPECT_EQ(std::vector<int>({1, 1}), seen.access);
    // Boards are chosen from what the system shows of them: a rejected one is never opened, so
    // another process's board is not claimed, not even for a moment; the third is never offered.
    EXPECT_EQ(std::vector<std::string>({"1-2:1.0"}), fake.opened);
    EXPECT_EQ(std::vector<std::string>({"enum"}), fake.closed);
    EXPECT_EQ(0, usb_close(t));
    EXPECT_TRUE(fake.live.empty());

    // With two boards and any accepted, the first in enumeration order is the one.
    fake.opened.clear();
    Seen any;
    t = usb_open(ifc_match_func([&any](usb_ifc_info* info) {
                     any.serials.push_back(info->serial);
                     return 0;
                 }),
                 nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({"AAA"}), any.serials);
    EXPECT_EQ(std::vector<std::string>({"1-1:1.0"}), fake.opened);
    usb_close(t);

    // A listing that accepts nothing sees every board, and nothing stays open.
    Seen all;
    EXPECT_EQ(nullptr, usb_open(record(&all, nullptr), nullptr));
    EXPECT_EQ(std::vector<std::string>({"AAA", "BBB", "CCC"}), all.serials);
    EXPECT_TRUE(fake.live.empty());
}

TEST(UsbEnum, OnlyInterfacesWithTwoEndpointsOfBoardsWithTheIdsAreOffered) {
    Fake fake;
    Installed fake_in(fake);
    Device two = usbfake::device_at("1-1", "TWO");
    Interface three;
    three.number = 0;
    three.endpoints = 3;
    Interface good;
    good.number = 1;
    two.interfaces = {three, good};
    Device other = usbfake::device_at("1-2", "OTHER");
    other.vendor = 0x1234;
    Device other_product = usbfake::device_at("1-3", "PROD");
    other_product.product = 0xc005;
    fake.devices = {two, other, other_product};

    Seen seen;
    EXPECT_EQ(nullptr, usb_open(record(&seen, nullptr), nullptr));
    EXPECT_EQ(std::vector<std::string>({"TWO"}), seen.serials);
    // Nothing is opened to be offered, and devices with other ids are not offered.
    EXPECT_TRUE(fake.opened.empty());

    // The interface with three endpoints cannot be had by name either.
    CaptureStdout();
    Seen direct;
    EXPECT_EQ(nullptr, usb_open(record(&direct, "TWO"), "1-1:1.0"));
    EXPECT_EQ("Fail in match device\n", GetCapturedStdout());
    EXPECT_TRUE(direct.serials.empty());
    EXPECT_TRUE(fake.live.empty());
}

TEST(UsbEnum, ABoardWhoseSerialCannotBeReadIsOfferedWithAnEmptyOne) {
    Fake fake;
    Installed fake_in(fake);
    Device d = usbfake::device_at("1-4", "HIDDEN");
    d.serial_readable = false;
    fake.devices = {d};
    Seen seen;
    Transport* t = usb_open(ifc_match_func([&seen](usb_ifc_info* info) {
                                seen.serials.push_back(info->serial);
                                seen.locations.push_back(info->location);
                                return 0;
                            }),
                            nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({""}), seen.serials);
    EXPECT_EQ(std::vector<std::string>({"1-4"}), seen.locations);
    usb_close(t);
}

TEST(UsbEnum, OpeningByPath) {
    Fake fake;
    Installed fake_in(fake);
    fake.devices = {usbfake::device_at("1-1", "AAA"), usbfake::device_at("1-2", "BBB")};
    Seen none;
    CaptureStdout();
    EXPECT_EQ(nullptr, usb_open(record(&none, "AAA"), "3-7:1.0"));
    EXPECT_EQ("Fail in open 3-7:1.0\n", GetCapturedStdout());

    Seen seen;
    CaptureStdout();
    EXPECT_EQ(nullptr, usb_open(record(&seen, "AAA"), "1-2:1.0"));
    EXPECT_EQ("Fail in match device\n", GetCapturedStdout());
    EXPECT_EQ(std::vector<std::string>({"BBB"}), seen.serials);
    EXPECT_TRUE(fake.live.empty());

    // The plain-function form opens by path too.
    int (*only_bbb)(usb_ifc_info*) = [](usb_ifc_info* info) {
        return std::string(info->serial) == "BBB" ? 0 : -1;
    };
    Transport* t = usb_open(only_bbb, "1-2:1.0");
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({"1-2:1.0", "1-2:1.0"}), fake.opened);
    usb_close(t);
    EXPECT_TRUE(fake.live.empty());
}

TEST(UsbEnum, BoardsTheUserMayNotOpenAreOfferedWithoutAccessAndExplainedOnce) {
    Fake fake;
    Installed fake_in(fake);
    Device locked = usbfake::device_at("1-1", "LOCKED");
    locked.accessible = false;
    fake.devices = {locked, usbfake::device_at("1-2", "OPEN")};
    Seen seen;
    CaptureStderr();
    EXPECT_EQ(nullptr, usb_open(record(&seen, nullptr), nullptr));
    // A callback that rejects it hears nothing more.
    EXPECT_EQ("", GetCapturedStderr());
    // The serial is the one the system shows without opening the device.
    EXPECT_EQ(std::vector<std::string>({"LOCKED", "OPEN"}), seen.serials);
    EXPECT_EQ(std::vector<int>({0, 1}), seen.access);
    EXPECT_TRUE(fake.opened.empty());

    // Accepting it gets no transport. udev applies its rule a moment after a board appears, so
    // the reason is given only once access has stayed denied for 2 s, and then once.
    CaptureStderr();
    Seen again;
    const double first = now();
    EXPECT_EQ(nullptr, usb_open(record(&again, "LOCKED"), nullptr));
    EXPECT_EQ("", GetCapturedStderr());
    double told = -1;
    // The line after it names the rule that grants access, or how to install one.
    const std::string advice = UsbNoPermissionsAdviceText();
#ifdef _WIN32
    // No udev there, and no line about it.
    EXPECT_EQ("", advice);
    const std::string advice_line;
#else
    EXPECT_NE(std::string::npos, advice.find("udev")) << advice;
    const std::string advice_line = advice + "\n";
#endif
    EXPECT_EQ(UsbNoPermissionsLongHelpText() + "\n" + advice_line,
              poll_until_told(record(&again, "LOCKED"), &told));
    EXPECT_GE(told - first, 2.0);
    CaptureStderr();
    for (int i = 0; i < 3; i++) EXPECT_EQ(nullptr, usb_open(record(&again, "LOCKED"), nullptr));
    EXPECT_EQ("", GetCapturedStderr());
}

TEST(UsbEnum, AListOfDevicesThatCannotBeReadIsNamedAndTriedAgain) {
    Fake fake;
    Installed fake_in(fake);
    fake.devices = {usbfake::device_at("1-1", "BOARD")};
    fake.enum_error = EIO;
    const std::string told = "cannot look for boards: USB is not available (Input/output error)\n";
    // The listing is done at once: it says so straight away.
    CaptureStderr();
    usb_list(ifc_match_func([](usb_ifc_info*) { return -1; }));
    EXPECT_EQ(told, GetCapturedStderr());
    // The search goes on while the caller waits; a failure of a moment is not worth a word, one
    // that lasts 2 s is named once.
    Seen seen;
    const double first = now();
    CaptureStderr();
    EXPECT_EQ(nullptr, usb_open(record(&seen, "BOARD"), nullptr));
    EXPECT_EQ("", GetCapturedStderr());
    double when = -1;
    EXPECT_EQ(told, poll_until_told(record(&seen, "BOARD"), &when));
    EXPECT_GE(when - first, 2.0);
    CaptureStderr();
    EXPECT_EQ(nullptr, usb_open(record(&seen, "BOARD"), nullptr));
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_TRUE(seen.serials.empty());
    // Once the list can be read, the board is found on the next try.
    fake.enum_error = 0;
    Transport* t = usb_open(record(&seen, "BOARD"), nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({"1-1:1.0"}), fake.opened);
    usb_close(t);
}

TEST(UsbEnum, WithoutASelectorABoardThatOpensIsTakenWithoutAWordAboutALockedOne) {
    Device locked = usbfake::device_at("1-1", "LOCKED");
    locked.accessible = false;
    Fake fake2;
    Installed fake2_in(fake2);
    fake2.devices = {locked, usbfake::device_at("1-2", "OPEN")};
    CaptureStderr();
    Transport* t = usb_open(ifc_match_func([](usb_ifc_info*) { return 0; }), nullptr);
    EXPECT_EQ("", GetCapturedStderr());
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({"1-2:1.0"}), fake2.opened);
    usb_close(t);
}

TEST(UsbEnum, NoPermissionTexts) {
    // The problem is named where the system can tell one (udev's rules; none on Windows).
    std::string problem = GetUdevProblem();
    std::string in_short = problem.empty() ? "" : " (" + problem + ")";
    std::string in_long = problem.empty() ? "" : ": " + problem;
    EXPECT_EQ("no permissions in" + in_short + "; [add idVendor '4f2d' to GROUP 'plugdev' to udev rules.d]\n",
              UsbNoPermissionsShortHelpText());
    EXPECT_EQ("insufficient permissions for device" + in_long +
                  ".\nSee [add idVendor '4f2d' to GROUP 'plugdev' to udev rules.d] for more information.",
              UsbNoPermissionsLongHelpText());
}

TEST(UsbEnum, WhatTheUdevRulesTell) {
    std::string dir = testsupport::temp_dir();
    std::string rules = dir + "/rules";
    std::string other = dir + "/other";
    std::error_code ec;
    std::filesystem::create_directories(rules, ec);
    std::filesystem::create_directories(other, ec);
    ASSERT_TRUE(std::filesystem::is_directory(rules) && std::filesystem::is_directory(other));
    std::vector<std::string> dirs = {rules, other, dir + "/missing"};
    EXPECT_EQ("no udev rule grants access to idVendor 4f2d", udev_problem_in(dirs, {}));
    const std::string install =
        "No udev rule for the boards is installed: copy vorn's 70-vorn.rules (usb/70-vorn.rules in "
        "its sources) into /etc/udev/rules.d, then run: sudo udevadm control --reload && sudo udevadm trigger";
    EXPECT_EQ(install, udev_advice_in(dirs, {}));

    // A comment or a file that is not a rule file does not count.
    std::ofstream(other + "/50-x.rules") << "# ATTR{idVendor}==\"4f2d\"\nSUBSYSTEM==\"usb\", ATTR{idVendor}==\"1234\"\n";
    std::ofstream(rules + "/70-vorn.txt") << "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"4f2d\", GROUP=\"plugdev\"\n";
    EXPECT_EQ("no udev rule grants access to idVendor 4f2d", udev_problem_in(dirs, {}));
    EXPECT_EQ(install, udev_advice_in(dirs, {}));

    std::ofstream(rules + "/70-vorn.rules") << "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"4F2D\", GROUP=\"plugdev\"\n";
    EXPECT_EQ("user is not in group 'plugdev'", udev_problem_in(dirs, {"users"}));
    EXPECT_EQ("udev rule present; replug the device", udev_problem_in(dirs, {"users", "plugdev"}));
    // The advice names the rule file by where it is, and how to make it apply.
    EXPECT_EQ("The udev rule " + rules + "/70-vorn.rules grants access to the boards to group plugdev: "
              "join it (sudo usermod -aG plugdev $USER), then log in again",
              udev_advice_in(dirs, {"users"}));
    const std::string applies = "The udev rule " + rules + "/70-vorn.rules grants access to the boards; to "
                                "apply it, log in again, or run: sudo udevadm control --reload && sudo udevadm trigger";
    EXPECT_EQ(applies, udev_advice_in(dirs, {"users", "plugdev"}));
    // A rule of the first folder (udev's precedence) is the one named, whatever else names the vendor.
    std::ofstream(other + "/10-other.rules") << "ATTR{idVendor}==\"4f2d\", TAG+=\"uaccess\"\n";
    EXPECT_EQ(applies, udev_advice_in(dirs, {"plugdev"}));
    std::filesystem::remove(other + "/10-other.rules", ec);

    std::ofstream(rules + "/70-vorn.rules") << "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"4f2d\", "
                                               "GROUP=\"plugdev\", TAG+=\"uaccess\"\n";
    EXPECT_EQ("user is not in group 'plugdev' and the login session is not local",
              udev_problem_in(dirs, {"users"}));

    // The rule that ships with the tool is found and recognised.
    std::vector<std::string> shipped = {std::string(VORN_SOURCE_DIR) + "/usb"};
    EXPECT_EQ("udev rule present; replug the device", udev_problem_in(shipped, {"plugdev"}));
    EXPECT_EQ(0u, udev_advice_in(shipped, {"plugdev"}).find("The udev rule " + shipped[0] + "/70-vorn.rules grants"));
}

TEST(UsbSys, MyPathAndSleeping) {
    // The test program is built into the build's tests folder.
    std::string path = get_my_path();
    ASSERT_FALSE(path.empty());
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::equivalent(path, std::string(VORN_BINARY_DIR) + "/tests", ec)) << path;
    EXPECT_NE(path.size() - 1, path.find_last_of("/\\"));

    double start = now();
    sleep_ms(20);
    EXPECT_GE(now() - start, 0.019);
}

TEST(UsbEnum, ABusyBoardIsSkippedAndNamedOnceWhenNoOtherIsTaken) {
    Fake fake;
    Installed fake_in(fake);
    Device busy = usbfake::device_at("1-1", "BUSY1");
    busy.open_error = EBUSY;
    Device unnamed = usbfake::device_at("1-4.2", "");
    unnamed.open_error = EBUSY;
    fake.devices = {busy, unnamed, usbfake::device_at("1-2", "FREE")};
    // Another board that matches is taken without a word about the busy one.
    CaptureStderr();
    Transport* t = usb_open(ifc_match_func([](usb_ifc_info*) { return 0; }), nullptr);
    EXPECT_EQ("", GetCapturedStderr());
    ASSERT_NE(nullptr, t);
    EXPECT_EQ(std::vector<std::string>({"1-2:1.0"}), fake.opened);
    usb_close(t);
    // Only busy boards match: one line each, by serial number or by port path, however often.
    fake.devices.pop_back();
    CaptureStderr();
    for (int i = 0; i < 3; i++) EXPECT_EQ(nullptr, usb_open(ifc_match_func([](usb_ifc_info*) { return 0; }), nullptr));
    EXPECT_EQ("board BUSY1 is in use by another program\nboard 1-4.2 is in use by another program\n",
              GetCapturedStderr());
    // A busy board that the callback does not want is not mentioned.
    Device other = usbfake::device_at("1-7", "OTHERBUSY");
    other.open_error = EBUSY;
    fake.devices = {other};
    CaptureStderr();
    EXPECT_EQ(nullptr, usb_open(ifc_match_func([](usb_ifc_info*) { return -1; }), nullptr));
    EXPECT_EQ("", GetCapturedStderr());
}

TEST(UsbEnum, NoAdviceToReplugWhileABoardRestarts) {
    const std::string other = "user is not in group 'plugdev'";
    EXPECT_EQ(kUdevRulePresent, udev_problem_for_user(kUdevRulePresent));
    usb_set_board_restarting(true);
    EXPECT_EQ("", udev_problem_for_user(kUdevRulePresent));
    EXPECT_EQ(other, udev_problem_for_user(other));
    EXPECT_EQ(std::string::npos, UsbNoPermissionsLongHelpText().find("replug"));
    usb_set_board_restarting(false);
    EXPECT_EQ(kUdevRulePresent, udev_problem_for_user(kUdevRulePresent));
}
