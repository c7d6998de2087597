// The USB transport over a fake of the system's USB access: splitting, partial and empty sends,
// the device going away, and closing.
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "tests/test_usb_fake.h"
#include "usb/usb.h"
#include "usb/usb_transport.h"
#include "protocol/exchange.h"

using usbfake::Device;
using usbfake::Fake;
using usbfake::Installed;
using usbfake::Step;

namespace {

// A transport is closed before it goes, as usb_close does.
struct CloseFirst {
    void operator()(WindowsUsbTransport* t) const {
        t->Close();
        delete t;
    }
};
using TransportPtr = std::unique_ptr<WindowsUsbTransport, CloseFirst>;

TransportPtr open_first(Fake& fake) {
    fake.devices.push_back(Device());
    std::unique_ptr<usb_handle> h = do_usb_open("1-1:1.0");
    if (!h) return nullptr;
    return TransportPtr(new WindowsUsbTransport(std::move(h)));
}

std::string bytes(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = static_cast<char>(i * 7 + i / 251);
    return s;
}

Step step_sending(size_t limit) {
    Step s;
    s.limit = limit;
    return s;
}

Step step_failing(int error) {
    Step s;
    s.ok = false;
    s.error = error;
    return s;
}

Step step_reading(const std::string& data) {
    Step s;
    s.data = data;
    return s;
}

}  // namespace

TEST(UsbTransport, WritesAreCutIntoTransfersOfOneMebibyteAndResumeAfterPartialSends) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    std::string data = bytes(3000000);
    EXPECT_EQ(3000000, t->Write(data.data(), data.size()));
    EXPECT_EQ(std::vector<size_t>({1048576, 1048576, 902848}), fake.write_sizes);
    EXPECT_EQ(std::vector<unsigned>({5000, 5000, 5000}), fake.write_timeouts);
    // The caller's buffer goes to the system in place.
    EXPECT_EQ(static_cast<const void*>(data.data() + 1048576), fake.write_pointers[1]);
    EXPECT_EQ(data, fake.written);

    fake.write_sizes.clear();
    fake.write_pointers.clear();
    fake.written.clear();
    fake.writes = {step_sending(600000), step_sending(10)};
    EXPECT_EQ(2000000, t->Write(data.data(), 2000000));
    // 600000 sent, then 10, then the rest in full pieces: 1399990 = 1048576 + 351414.
    EXPECT_EQ(std::vector<size_t>({1048576, 1048576, 1048576, 351414}), fake.write_sizes);
    EXPECT_EQ(static_cast<const void*>(data.data() + 600000), fake.write_pointers[1]);
    EXPECT_EQ(static_cast<const void*>(data.data() + 600010), fake.write_pointers[2]);
    EXPECT_EQ(data.substr(0, 2000000), fake.written);
    EXPECT_TRUE(fake_in.debug_lines.empty());
}

TEST(UsbTransport, EmptyWritesAndTransfersThatMoveNothingFail) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    errno = 0;
    EXPECT_EQ(-1, t->Write("x", 0));
    EXPECT_TRUE(fake.write_sizes.empty());
    EXPECT_EQ(std::vector<std::string>({"usb_write failed: 0\n"}), fake_in.debug_lines);

    // A transfer that "succeeds" without taking a byte would repeat forever; it fails at once.
    fake_in.debug_lines.clear();
    fake.writes = {step_sending(0)};
    EXPECT_EQ(-1, t->Write("abcd", 4));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(std::vector<size_t>({4}), fake.write_sizes);
    EXPECT_EQ(std::vector<std::string>({"usb_write failed: 5\n"}), fake_in.debug_lines);
    // The handles stay open: the next transfer goes out.
    EXPECT_EQ(4, t->Write("abcd", 4));
    EXPECT_EQ("abcd", fake.written);
}

TEST(UsbTransport, ReadsAreOneTransferOfAtMostOneMebibyte) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    std::string big = bytes(1048576);
    fake.reads = {step_reading(big), step_reading("OKAY")};
    std::vector<char> buf(2000000);
    EXPECT_EQ(1048576, t->Read(buf.data(), buf.size()));
    EXPECT_EQ(big, std::string(buf.data(), 1048576));
    char reply[128];
    EXPECT_EQ(4, t->Read_timeout(reply, sizeof(reply), 250));
    EXPECT_EQ("OKAY", std::string(reply, 4));
    // The 128-byte read is made as one whole packet.
    EXPECT_EQ(std::vector<size_t>({1048576, 512}), fake.read_sizes);
    EXPECT_EQ(std::vector<unsigned>({0, 250}), fake.read_timeouts);

    // A time-out fails the transfer but leaves the device open.
    fake_in.debug_lines.clear();
    EXPECT_EQ(-1, t->Read_timeout(reply, sizeof(reply), 10));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(std::vector<std::string>({"usb_read failed: " + std::to_string(ETIMEDOUT) + "\n"}), fake_in.debug_lines);
    EXPECT_TRUE(fake.closed.empty());
    fake.reads = {step_reading("OKAY")};
    EXPECT_EQ(4, t->Read(reply, sizeof(reply)));
}

TEST(UsbTransport, ADeviceThatHasGoneIsKickedAndEverythingAfterFails) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    fake.writes = {step_failing(ENODEV)};
    EXPECT_EQ(-1, t->Write("getvar:x", 8));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(std::vector<std::string>({"out:1-1:1.0", "in:1-1:1.0", "ifc:1-1:1.0"}), fake.closed);
    EXPECT_EQ(std::vector<std::string>({"usbos_write_endpoint_sync returned 0, errno: 19\n"}),
              fake_in.debug_lines);
    ASSERT_TRUE(t->handle);
    EXPECT_EQ(nullptr, t->handle->interface);
    EXPECT_TRUE(t->handle->name.empty());

    char buf[16];
    size_t transfers = fake.write_sizes.size() + fake.read_sizes.size();
    EXPECT_EQ(-1, t->Read(buf, sizeof(buf)));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(-1, t->Write("x", 1));
    EXPECT_EQ(transfers, fake.write_sizes.size() + fake.read_sizes.size());
    EXPECT_EQ(0, t->Close());
    EXPECT_EQ(3u, fake.closed.size());
    EXPECT_TRUE(fake.live.empty());

    // The same from a read.
    Fake fake2;
    Installed fake2_in(fake2);
    auto t2 = open_first(fake2);
    ASSERT_TRUE(t2);
    fake2.reads = {step_failing(ENODEV)};
    EXPECT_EQ(-1, t2->Read(buf, sizeof(buf)));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(3u, fake2.closed.size());
    EXPECT_EQ(std::vector<std::string>({"usb_read failed: 19\n"}), fake2_in.debug_lines);
}

TEST(UsbTransport, OtherFailuresLeaveTheDeviceOpen) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    fake.writes = {step_failing(ETIMEDOUT), step_failing(EPIPE)};
    EXPECT_EQ(-1, t->Write("abc", 3));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(-1, t->Write("abc", 3));
    EXPECT_EQ(EPIPE, errno);
    EXPECT_TRUE(fake.closed.empty());
    EXPECT_EQ(3, t->Write("abc", 3));
}

TEST(UsbTransport, CloseTwiceAndTransfersAfterClose) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    EXPECT_EQ(0, t->Close());
    EXPECT_EQ(std::vector<std::string>({"out:1-1:1.0", "in:1-1:1.0", "ifc:1-1:1.0"}), fake.closed);
    EXPECT_EQ(nullptr, t->handle);
    EXPECT_EQ(0, t->Close());
    EXPECT_EQ(3u, fake.closed.size());
    char buf[8];
    EXPECT_EQ(-1, t->Read(buf, sizeof(buf)));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(-1, t->Write("x", 1));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_TRUE(fake.write_sizes.empty() && fake.read_sizes.empty());
    EXPECT_EQ(0, t->WaitForDisconnect());

    // usb_close on a transport that is already closed only deletes it.
    Transport* raw = t.release();
    EXPECT_EQ(0, usb_close(raw));
    EXPECT_EQ(3u, fake.closed.size());
}

TEST(UsbTransport, OpeningNeverLeavesAHalfOpenRecord) {
    Fake fake;
    Installed fake_in(fake);
    Device d;
    d.write_endpoint_error = EBUSY;
    fake.devices.push_back(d);
    errno = 0;
    EXPECT_EQ(nullptr, do_usb_open("1-1:1.0"));
    EXPECT_EQ(EBUSY, errno);
    EXPECT_EQ(std::vector<std::string>({"in:1-1:1.0", "ifc:1-1:1.0"}), fake.closed);
    EXPECT_TRUE(fake.live.empty());

    fake.closed.clear();
    fake.devices[0].write_endpoint_error = 0;
    fake.devices[0].read_endpoint_error = EIO;
    EXPECT_EQ(nullptr, do_usb_open("1-1:1.0"));
    EXPECT_EQ(EIO, errno);
    EXPECT_EQ(std::vector<std::string>({"ifc:1-1:1.0"}), fake.closed);

    fake.devices[0].open_error = EBUSY;
    fake.closed.clear();
    EXPECT_EQ(nullptr, do_usb_open("1-1:1.0"));
    EXPECT_EQ(EBUSY, errno);
    EXPECT_TRUE(fake.closed.empty());

    EXPECT_EQ(nullptr, do_usb_open("9-9:1.0"));
    EXPECT_EQ(ENOENT, errno);

    fake.devices[0].open_error = 0;
    fake.devices[0].read_endpoint_error = 0;
    std::unique_ptr<usb_handle> h = do_usb_open("1-1:1.0");
    ASSERT_TRUE(h);
    EXPECT_EQ("1-1:1.0", h->name);
    EXPECT_TRUE(h->interface && h->bulk_in && h->bulk_out);
    usb_cleanup_handle(h.get());
    EXPECT_TRUE(fake.live.empty());
    EXPECT_TRUE(h->name.empty());
    usb_cleanup_handle(h.get());
    usb_cleanup_handle(nullptr);
    EXPECT_TRUE(fake.live.empty());
    EXPECT_EQ(std::vector<std::string>({"out:1-1:1.0", "in:1-1:1.0", "ifc:1-1:1.0"}), fake.closed);

    // Kicking a record that is not there says the device is gone.
    errno = 0;
    usb_kick(nullptr);
    EXPECT_EQ(ENODEV, errno);
}

TEST(UsbTransport, AReplyLongerThan128BytesIsReadInAWholePacketAndCut) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    // A board's long FAIL text: a real stack fails a 128-byte read of it with EOVERFLOW.
    std::string text = "FAIL" + std::string(150, 'e') + "end";
    fake.reads = {step_reading(text)};
    char reply[129];
    EXPECT_EQ(128, t->Read(reply, 128));
    EXPECT_EQ(text.substr(0, 128), std::string(reply, 128));
    EXPECT_EQ(std::vector<size_t>({512}), fake.read_sizes);
    // Through the exchange: the board's text is shown, as far as the error text holds it.
    fake.reads = {step_reading(text)};
    EXPECT_EQ(-1, fb_command_response(t.get(), "oem x", reply));
    EXPECT_EQ("remote: " + std::string(119, 'e'), std::string(fb_get_error()));
    // A reply of more than one packet: the packets behind the first are read away, up to the
    // first short one, and the next command gets its own reply.
    fake.read_sizes.clear();
    fake.reads = {step_reading("INFO" + std::string(596, 'i')), step_reading("OKAYnext")};
    EXPECT_EQ(128, t->Read(reply, 128));
    EXPECT_EQ(std::vector<size_t>({512, 512}), fake.read_sizes);
    EXPECT_EQ(0, fb_command_response(t.get(), "getvar:x", reply));
    EXPECT_STREQ("next", reply);
    // A reply that ends on a packet boundary without a zero-length packet: nothing more comes in
    // time, and the reply stands as read.
    fake.reads = {step_reading("OKAY" + std::string(508, 'o'))};
    EXPECT_EQ(0, fb_command_response(t.get(), "getvar:x", reply));
    EXPECT_EQ(std::string(124, 'o'), std::string(reply));
    // Reads of whole packets are made as they are.
    fake.reads = {step_reading(std::string(1024, 'd'))};
    std::vector<char> data(1024);
    EXPECT_EQ(1024, t->Read(data.data(), data.size()));
    EXPECT_EQ(1024u, fake.read_sizes.back());
}

TEST(UsbTransport, ZeroLengthPacketsBeforeAReplyAreSkippedABoundedNumberOfTimes) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    char reply[129] = {0};
    fake.reads = {step_reading(""), step_reading(""), step_reading(""), step_reading("OKAYdone")};
    EXPECT_EQ(0, fb_command_response(t.get(), "getvar:x", reply));
    EXPECT_STREQ("done", reply);
    EXPECT_TRUE(fake.closed.empty());
    // Endless empty packets are no reply.
    fake.reads = {step_reading(""), step_reading(""), step_reading(""), step_reading(""), step_reading("OKAY")};
    EXPECT_EQ(-1, fb_command_response(t.get(), "getvar:x", reply));
    EXPECT_STREQ("status malformed (0 bytes)", fb_get_error());
}

TEST(UsbTransport, AStalledEndpointIsClearedAndTheNextRunTalksToTheBoard) {
    Fake fake;
    Installed fake_in(fake);
    auto t = open_first(fake);
    ASSERT_TRUE(t);
    fake.reads = {step_failing(EPIPE)};
    char reply[129] = {0};
    EXPECT_EQ(-1, fb_command_response(t.get(), "getvar:x", reply));
    EXPECT_STREQ("status read failed (the board stalled: Broken pipe)", fb_get_error());
    // Cleared while the endpoint was still open, then the link was closed.
    EXPECT_EQ(std::vector<std::string>({"in:1-1:1.0"}), fake.halts_cleared);
    EXPECT_EQ(std::vector<std::string>({"out:1-1:1.0", "in:1-1:1.0", "ifc:1-1:1.0"}), fake.closed);
    EXPECT_FALSE(fake.devices[0].halted_in);

    // The next run opens the board again and is answered.
    std::unique_ptr<usb_handle> h = do_usb_open("1-1:1.0");
    ASSERT_TRUE(h);
    TransportPtr next(new WindowsUsbTransport(std::move(h)));
    fake.reads = {step_reading("OKAYyes")};
    EXPECT_EQ(0, fb_command_response(next.get(), "getvar:x", reply));
    EXPECT_STREQ("yes", reply);

    // A stalled write is cleared the same way.
    fake.writes = {step_failing(EPIPE)};
    EXPECT_EQ(-1, fb_command_response(next.get(), "getvar:x", reply));
    EXPECT_STREQ("command write failed (the board stalled: Broken pipe)", fb_get_error());
    EXPECT_EQ("out:1-1:1.0", fake.halts_cleared.back());
    EXPECT_FALSE(fake.devices[0].halted_out);
}
