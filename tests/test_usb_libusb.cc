// The libusb side of the USB access, against an emulated board. A binary of its own that only
// runs inside vorn-emu: the end-to-end case UsbEndToEnd.TheLibusbLayerOnAnEmulatedBoard starts
// it there; no test list holds it.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "usb/usb.h"
#include "usb/usb_enum.h"
#include "usb/usb_sys.h"
#include "usb/usb_transport.h"
#include "util/log.h"

namespace {

bool inside_emulator() {
    return getenv("VORN_TEST_INSIDE_EMU") != nullptr;
}

std::string exchange(Transport* t, const std::string& command) {
    if (t->Write(command.data(), command.size()) != static_cast<ssize_t>(command.size())) return "write failed";
    char reply[129];
    ssize_t n = t->Read(reply, 128);
    if (n < 0) return std::string("read failed: ") + strerror(errno);
    return std::string(reply, static_cast<size_t>(n));
}

}  // namespace

// It has to be the first to use USB in its process, while libusb is not started yet: the cases
// run in the order they are written.
TEST(UsbLibusb, AStartThatFailedIsTriedAgain) {
    ASSERT_TRUE(inside_emulator()) << "runs inside vorn-emu only";
    // The test bed stands in for the kernel's hot-plug socket with a socket file named after the
    // process and the descriptor; with a folder in its place libusb's start fails, as when that
    // socket cannot be bound.
    const std::string bed = getenv("UMOCKDEV_DIR");
    const std::string pid = std::to_string(getpid());
    auto folder = [&bed, &pid](int fd) { return bed + "/event" + pid + "-" + std::to_string(fd); };
    for (int fd = 0; fd < 256; fd++) ASSERT_EQ(0, mkdir(folder(fd).c_str(), 0700)) << folder(fd);
    auto any = ifc_match_func([](usb_ifc_info*) { return 0; });
    EXPECT_EQ(nullptr, usb_open(any, nullptr));
    testing::internal::CaptureStderr();
    usb_list(any);
    EXPECT_EQ("cannot look for boards: USB is not available (Input/output error)\n",
              testing::internal::GetCapturedStderr());
    for (int fd = 0; fd < 256; fd++) ASSERT_EQ(0, rmdir(folder(fd).c_str())) << folder(fd);
    // A later try starts it; the board is there.
    sleep_ms(150);
    Transport* t = usb_open(any, nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ("OKAYVXN0001", exchange(t, "getvar:serialno"));
    usb_close(t);
}

TEST(UsbLibusb, NamesTimeOutsAndTheBoardLeaving) {
    ASSERT_TRUE(inside_emulator()) << "runs inside vorn-emu only";
    // Two boards; the second is at a port behind a hub.
    std::string seen;
    Transport* t = usb_open(ifc_match_func([&seen](usb_ifc_info* info) {
                                seen += std::string(info->serial) + "@" + info->location + " ";
                                return std::string(info->location) == "1-3.2" ? 0 : -1;
                            }),
                            nullptr);
    ASSERT_NE(nullptr, t);
    EXPECT_EQ("VXN0001@1-1 VXN0002@1-3.2 ", seen);
    auto* usb = static_cast<WindowsUsbTransport*>(t);
    EXPECT_EQ("1-3.2:1.0", usb->handle->name);

    EXPECT_EQ("OKAYVXN0002", exchange(t, "getvar:serialno"));
    // A read that times out is taken back from the device; the next exchange is unharmed.
    char buf[128];
    double start = now();
    EXPECT_EQ(-1, t->Read_timeout(buf, sizeof(buf), 200));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_GE(now() - start, 0.19);
    EXPECT_EQ("OKAYqrx-evb", exchange(t, "getvar:product"));

    // The same interface by its name; a name of nothing fails.
    testing::internal::CaptureStdout();
    EXPECT_EQ(nullptr, usb_open(ifc_match_func([](usb_ifc_info*) { return 0; }), "1-9:1.0"));
    EXPECT_EQ("Fail in open 1-9:1.0\n", testing::internal::GetCapturedStdout());
    Transport* first = usb_open(ifc_match_func([](usb_ifc_info*) { return 0; }), "1-1:1.0");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ("OKAYVXN0001", exchange(first, "getvar:serialno"));
    usb_close(first);

    // The board leaves when it gets this command: the transfer after it finds the device gone.
    const char cmd[] = "oem leave";
    EXPECT_EQ(static_cast<ssize_t>(strlen(cmd)), t->Write(cmd, strlen(cmd)));
    EXPECT_EQ(-1, t->Read(buf, sizeof(buf)));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(nullptr, usb->handle->interface);
    EXPECT_EQ(-1, t->Write("getvar:x", 8));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(0, usb_close(t));

    // Gone from the bus too, once the system has told libusb. The listing shows the board that
    // another program holds (at 1-4) as well: it reads the enumeration and claims nothing.
    std::string left;
    const std::string want = "VXN0001 VXN0003 ";
    for (int i = 0; i < 2000 && left != want; i++) {
        left.clear();
        usb_list(ifc_match_func([&left](usb_ifc_info* info) {
            left += std::string(info->serial) + " ";
            return -1;
        }));
        if (left != want) sleep_ms(1);
    }
    EXPECT_EQ(want, left);
}

namespace {

// Opens (and claims) the interface at `name`; the handle, or nullptr with errno set.
usbos_handle claim(const char* name) {
    errno = 0;
    return usbos_create_interface_by_name(name, vendor_id, product_id);
}

}  // namespace

TEST(UsbLibusb, ClaimsAreExclusiveAndEndWithTheirHolder) {
    ASSERT_TRUE(inside_emulator()) << "runs inside vorn-emu only";
    // One open file holds the interface; a second claim gets EBUSY until the first lets go.
    usbos_handle first = claim("1-1:1.0");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(nullptr, claim("1-1:1.0"));
    EXPECT_EQ(EBUSY, errno);
    usbos_close_handle(first);
    usbos_handle again = claim("1-1:1.0");
    EXPECT_NE(nullptr, again);
    usbos_close_handle(again);

    // The board at 1-4 is held by another program for the whole run.
    EXPECT_EQ(nullptr, claim("1-4:1.0"));
    EXPECT_EQ(EBUSY, errno);

    // A process that ends holding the claim, killed in the middle of a command it never gets an
    // answer to: its claim ends with it.
    int err_pipe[2];
    ASSERT_EQ(0, pipe(err_pipe));
    pid_t child = fork();
    if (child == 0) {
        dup2(err_pipe[1], 2);
        close(err_pipe[0]);
        close(err_pipe[1]);
        execl(VORN_EXE, VORN_EXE, "-s", "1-1", "oem", "hold", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(child, 0);
    close(err_pipe[1]);
    // vorn names the command once it has the board, i.e. holds the claim.
    std::string said;
    char buf[256];
    for (ssize_t n; said.find("cmd[oem hold]") == std::string::npos && (n = read(err_pipe[0], buf, sizeof(buf))) > 0;)
        said.append(buf, static_cast<size_t>(n));
    close(err_pipe[0]);
    ASSERT_NE(std::string::npos, said.find("cmd[oem hold]")) << said;
    EXPECT_EQ(nullptr, claim("1-1:1.0"));
    EXPECT_EQ(EBUSY, errno);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    usbos_handle after = nullptr;
    for (int i = 0; i < 10000 && !after; i++) {
        after = claim("1-1:1.0");
        if (!after) sleep_ms(1);
    }
    EXPECT_NE(nullptr, after) << strerror(errno);
    if (after) usbos_close_handle(after);
}
