// The board's usbredir front end as the virtual machine sees it: descriptors, the packet model
// (babble when a buffer ends inside a packet), the empty packet and stall faults with the halt
// cleared by the host, a board that goes away, and a device that is removed and added again.
// The test plays the machine's side of the protocol over a real socket. Then the commands that
// hot-plug a board through the machine's monitor, against a scripted monitor.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"
#include "tools/redir/monitor.h"
#include "tools/redir/redir_board.h"

namespace {

struct Result {
    uint8_t status = 0xff;
    board::Bytes data;
};

// The machine's end of a socket: it listens, the board or vorn-redir connects.
int listen_unix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    EXPECT_EQ(0, listen(fd, 1));
    return fd;
}

// The machine's end: a usbredir parser in the guest role on the accepted connection.
class Machine {
  public:
    explicit Machine(std::unique_ptr<redir::BoardSpec> setup) {
        std::string path = testsupport::temp_dir() + "/m" + std::to_string(counter_++) + ".sock";
        listen_fd_ = listen_unix(path);
        setup->socket = path;
        board_ = std::make_unique<redir::RedirBoard>(std::move(setup), 1, nullptr);
        start();
    }
    ~Machine() {
        board_.reset();
        usbredirparser_destroy(parser_);
        close(fd_);
        close(listen_fd_);
    }

    // The machine hangs up (its device was removed) and the board connects again, to a fresh
    // device of the machine.
    void reconnect() {
        board_->hang_up();
        usbredirparser_destroy(parser_);
        close(fd_);
        connected = false;
        start();
    }

    // Moves messages both ways until `done` holds or nothing moves for a while; what holds then.
    template <class F>
    bool until(F done) {
        for (int idle = 0; idle < 200 && !done();) {
            usbredirparser_do_write(parser_);
            pollfd fds[2] = {{board_->fd(), short(POLLIN | (board_->wants_write() ? POLLOUT : 0)), 0},
                             {fd_, POLLIN, 0}};
            int n = poll(fds, 2, 5);
            if (fds[0].revents & POLLIN) board_->on_readable();
            if (fds[0].revents & POLLOUT) board_->on_writable();
            if (fds[1].revents & POLLIN) usbredirparser_do_read(parser_);
            board_->tick();
            idle = n > 0 ? 0 : idle + 1;
        }
        return done();
    }

    bool plugged_in() {
        return until([&] { return connected; });
    }

    Result control_in(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
        usb_redir_control_packet_header h{};
        h.endpoint = 0x80;
        h.requesttype = type;
        h.request = request;
        h.value = value;
        h.index = index;
        h.length = length;
        return transfer([&](uint64_t id) { usbredirparser_send_control_packet(parser_, id, &h, nullptr, 0); });
    }
    Result bulk_out(const std::string& text) {
        usb_redir_bulk_packet_header h{};
        h.endpoint = redir::kEpOut;
        h.length = uint16_t(text.size());
        std::string copy = text;
        return transfer([&](uint64_t id) {
            usbredirparser_send_bulk_packet(parser_, id, &h, reinterpret_cast<uint8_t*>(&copy[0]), int(copy.size()));
        });
    }
    // A command, then one IN transfer of `length` bytes.
    Result ask(const std::string& command, uint32_t length) {
        EXPECT_EQ(usb_redir_success, bulk_out(command).status);
        return bulk_in(length);
    }
    Result bulk_in(uint32_t length) {
        usb_redir_bulk_packet_header h{};
        h.endpoint = redir::kEpIn;
        h.length = uint16_t(length & 0xffff);
        h.length_high = uint16_t(length >> 16);
        return transfer([&](uint64_t id) { usbredirparser_send_bulk_packet(parser_, id, &h, nullptr, 0); });
    }

    redir::RedirBoard& board() { return *board_; }
    int connects = 0;
    bool connected = false;
    uint16_t vendor = 0;
    uint16_t in_packet = 0;
    std::map<uint64_t, Result> results;

  private:
    // The board connects; the machine accepts and talks as a usbredir guest.
    void start() {
        EXPECT_TRUE(board_->connect_socket());
        fd_ = accept(listen_fd_, nullptr, nullptr);
        parser_ = usbredirparser_create();
        parser_->priv = this;
        parser_->read_func = [](void* p, uint8_t* d, int n) {
            ssize_t r = recv(static_cast<Machine*>(p)->fd_, d, n, MSG_DONTWAIT);
            return r > 0 ? int(r) : (r < 0 && errno == EAGAIN ? 0 : -1);
        };
        parser_->write_func = [](void* p, uint8_t* d, int n) {
            return int(send(static_cast<Machine*>(p)->fd_, d, n, MSG_NOSIGNAL));
        };
        parser_->device_connect_func = [](void* p, usb_redir_device_connect_header* h) {
            static_cast<Machine*>(p)->connects++;
            static_cast<Machine*>(p)->vendor = h->vendor_id;
            static_cast<Machine*>(p)->connected = true;
        };
        parser_->device_disconnect_func = [](void* p) { static_cast<Machine*>(p)->connected = false; };
        parser_->hello_func = [](void*, usb_redir_hello_header*) {};
        parser_->log_func = [](void*, int, const char*) {};
        parser_->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
        parser_->configuration_status_func = [](void*, uint64_t, usb_redir_configuration_status_header*) {};
        parser_->alt_setting_status_func = [](void*, uint64_t, usb_redir_alt_setting_status_header*) {};
        parser_->ep_info_func = [](void* p, usb_redir_ep_info_header* h) {
            static_cast<Machine*>(p)->in_packet = h->max_packet_size[17];
        };
        parser_->control_packet_func = [](void* p, uint64_t id, usb_redir_control_packet_header* h,
                                          uint8_t* d, int n) {
            Machine* m = static_cast<Machine*>(p);
            m->results[id] = {h->status, board::Bytes(d, d + n)};
            if (d) usbredirparser_free_packet_data(m->parser_, d);
        };
        parser_->bulk_packet_func = [](void* p, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* d,
                                       int n) {
            Machine* m = static_cast<Machine*>(p);
            m->results[id] = {h->status, board::Bytes(d, d + n)};
            if (d) usbredirparser_free_packet_data(m->parser_, d);
        };
        uint32_t caps[USB_REDIR_CAPS_SIZE] = {0};
        for (int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
                        usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length})
            usbredirparser_caps_set_cap(caps, cap);
        usbredirparser_init(parser_, "test machine", caps, USB_REDIR_CAPS_SIZE, 0);
    }

    template <class Send>
    Result transfer(Send send) {
        uint64_t id = next_id_++;
        send(id);
        until([&] { return results.count(id) > 0; });
        return results.count(id) ? results[id] : Result();
    }
    static int counter_;
    int listen_fd_ = -1, fd_ = -1;
    usbredirparser* parser_ = nullptr;
    uint64_t next_id_ = 1;
    std::unique_ptr<redir::RedirBoard> board_;
};
int Machine::counter_ = 0;

std::unique_ptr<redir::BoardSpec> setup(const std::string& serial = "VXN0001") {
    auto s = std::make_unique<redir::BoardSpec>();
    s->board.config.serial = serial;
    s->board.config.vars["serialno"] = serial;
    s->board.config.vars["long200"] = std::string(196, 'L');
    s->board.config.vars["long600"] = std::string(596, 'L');
    return s;
}

std::string text(const board::Bytes& b) { return std::string(b.begin(), b.end()); }

TEST(RedirBoard, PlugsInAsAHighSpeedBoardWithItsDescriptors) {
    Machine m(setup());
    ASSERT_TRUE(m.plugged_in());
    EXPECT_EQ(0x4f2d, m.vendor);
    EXPECT_EQ(512, m.in_packet);
    Result dev = m.control_in(0x80, 6, 0x0100, 0, 64);
    ASSERT_EQ(usb_redir_success, dev.status);
    ASSERT_EQ(18u, dev.data.size());
    EXPECT_EQ(3, dev.data[16]);  // the serial number string
    Result serial = m.control_in(0x80, 6, 0x0303, 0x0409, 255);
    ASSERT_EQ(usb_redir_success, serial.status);
    EXPECT_EQ(2u + 2 * 7, serial.data.size());
    EXPECT_EQ('V', serial.data[2]);
    // A GET_DESCRIPTOR answered with fewer bytes than the descriptor holds when asked for fewer.
    Result cfg = m.control_in(0x80, 6, 0x0200, 0, 9);
    ASSERT_EQ(9u, cfg.data.size());
    EXPECT_EQ(32, cfg.data[2]);
}

TEST(RedirBoard, WithoutSerialHasNoSerialString) {
    Machine m(setup(""));
    ASSERT_TRUE(m.plugged_in());
    Result dev = m.control_in(0x80, 6, 0x0100, 0, 18);
    ASSERT_EQ(18u, dev.data.size());
    EXPECT_EQ(0, dev.data[16]);
    EXPECT_EQ(usb_redir_stall, m.control_in(0x80, 6, 0x0303, 0x0409, 255).status);
}

// The outcome of one transfer as a comparable text: status and byte count.
std::string outcome(const Result& r) {
    return std::to_string(r.status) + "/" + std::to_string(r.data.size());
}

TEST(RedirBoard, ABufferEndingInsideAPacketIsABabble) {
    Machine m(setup());
    ASSERT_TRUE(m.plugged_in());
    EXPECT_EQ(outcome({usb_redir_babble, board::Bytes(128)}), outcome(m.ask("getvar:long200", 128)));
    // Room for the whole packet: the reply comes whole.
    Result whole = m.ask("getvar:long200", 512);
    EXPECT_EQ(usb_redir_success, whole.status);
    EXPECT_EQ("OKAY" + std::string(196, 'L'), text(whole.data));
}

TEST(RedirBoard, AReplyLongerThanAPacketComesInPackets) {
    Machine m(setup());
    ASSERT_TRUE(m.plugged_in());
    EXPECT_EQ(outcome({usb_redir_success, board::Bytes(512)}), outcome(m.ask("getvar:long600", 512)));
    // The rest stays on the board for the next transfer.
    EXPECT_EQ(outcome({usb_redir_success, board::Bytes(88)}), outcome(m.bulk_in(512)));
}

TEST(RedirBoard, EmptyPacketBeforeTheReply) {
    auto s = setup();
    s->faults.zlp_before = "getvar:product";
    Machine m(std::move(s));
    ASSERT_TRUE(m.plugged_in());
    Result empty = m.ask("getvar:product", 512);
    EXPECT_EQ(usb_redir_success, empty.status);
    EXPECT_TRUE(empty.data.empty());
    EXPECT_EQ("OKAYqrx-evb", text(m.bulk_in(512).data));
}

TEST(RedirBoard, StallHoldsUntilTheHostClearsTheHalt) {
    auto s = setup();
    s->faults.stall_on = "getvar:stall";
    Machine m(std::move(s));
    ASSERT_TRUE(m.plugged_in());
    EXPECT_EQ(usb_redir_stall, m.ask("getvar:stall", 512).status);
    EXPECT_EQ(usb_redir_stall, m.ask("getvar:serialno", 512).status);
    Result status = m.control_in(0x82, 0, 0, redir::kEpIn, 2);
    ASSERT_EQ(2u, status.data.size());
    EXPECT_EQ(1, status.data[0]);
    // CLEAR_FEATURE(ENDPOINT_HALT) on the bulk-in endpoint.
    EXPECT_EQ(usb_redir_success, m.control_in(0x02, 1, 0, redir::kEpIn, 0).status);
    // The reply to the command sent while halted is still there.
    EXPECT_EQ("OKAYVXN0001", text(m.bulk_in(512).data));
}

TEST(RedirBoard, ABoardThatVanishesIsUnpluggedAndCanBePluggedAgain) {
    auto s = setup();
    s->board.config.faults.vanish_prefix = "oem bye";
    Machine m(std::move(s));
    ASSERT_TRUE(m.plugged_in());
    m.bulk_out("oem bye");
    EXPECT_TRUE(m.until([&] { return !m.connected; }));
    EXPECT_FALSE(m.board().plugged());
    m.board().board().come_back();
    m.board().plug();
    EXPECT_TRUE(m.until([&] { return m.connected; }));
    EXPECT_EQ(2, m.connects);
    EXPECT_EQ("OKAYqrx-evb", text(m.ask("getvar:product", 512).data));
}

// A hot-unplugged device whose board is in the middle of a command: the next device the machine
// adds on the same socket gets the board plugged in anew, its reply to that command not left
// waiting for the first transfer of the new connection.
TEST(RedirBoard, AfterTheMachineHungUpTheNextConnectionPlugsTheBoardInAnew) {
    Machine m(setup());
    ASSERT_TRUE(m.plugged_in());
    EXPECT_EQ(usb_redir_success, m.bulk_out("getvar:product").status);
    m.reconnect();
    EXPECT_TRUE(m.plugged_in());
    EXPECT_EQ(2, m.connects);
    EXPECT_EQ("OKAYVXN0001", text(m.ask("getvar:serialno", 512).data));
}

TEST(RedirBoard, ABoardLeavingAfterItsReplyLetsTheReplyArriveFirst) {
    Machine m(setup());
    ASSERT_TRUE(m.plugged_in());
    Result okay = m.ask("reboot", 512);
    EXPECT_EQ(usb_redir_success, okay.status);
    EXPECT_EQ("OKAY", text(okay.data));
    EXPECT_TRUE(m.until([&] { return !m.connected; }));
}

// The machine's monitor: greets, then answers each command line with the next scripted reply
// (which may carry events before it) and keeps the commands; it hangs up after the last reply.
class ScriptedMonitor {
  public:
    explicit ScriptedMonitor(std::vector<std::string> replies) {
        path = testsupport::temp_dir() + "/qmp.sock";
        unlink(path.c_str());
        listen_fd_ = listen_unix(path);
        thread_ = std::thread([this, replies] { serve(replies); });
    }
    ~ScriptedMonitor() {
        if (thread_.joinable()) thread_.join();
        close(listen_fd_);
    }
    // The commands received, read once the monitor has hung up.
    std::vector<nlohmann::json> commands() {
        thread_.join();
        std::vector<nlohmann::json> out;
        for (const std::string& line : lines_) out.push_back(nlohmann::json::parse(line, nullptr, false));
        return out;
    }
    std::string path;

  private:
    void serve(const std::vector<std::string>& replies) {
        int fd = accept(listen_fd_, nullptr, nullptr);
        say(fd, R"({"QMP": {"version": {"qemu": {"micro": 0, "minor": 2, "major": 7}}, "capabilities": ["oob"]}})");
        for (const std::string& reply : replies) {
            std::string line;
            char c;
            while (read(fd, &c, 1) == 1 && c != '\n') line += c;
            lines_.push_back(line);
            say(fd, reply);
        }
        close(fd);
    }
    static void say(int fd, const std::string& text) {
        std::string line = text + "\r\n";
        EXPECT_EQ(ssize_t(line.size()), write(fd, line.data(), line.size()));
    }
    int listen_fd_ = -1;
    std::thread thread_;
    std::vector<std::string> lines_;
};

const char* const kReturn = R"({"return": {}})";

TEST(Monitor, AddsAUsbRedirDeviceWithItsCharacterDeviceAndRemovesIt) {
    std::string event = R"({"timestamp": {"seconds": 1, "microseconds": 2}, "event": "DEVICE_DELETED", )"
                        R"("data": {"device": "hot9"}})";
    ScriptedMonitor qemu({kReturn, kReturn, kReturn, event + "\r\n" + kReturn});
    redir::Monitor monitor;
    std::string error;
    ASSERT_TRUE(monitor.open(qemu.path, &error)) << error;
    EXPECT_TRUE(monitor.add_usb_redir("hot11", "/run/h11.sock", "bus=hc1.0,port=11", &error)) << error;
    // The event before the reply is passed over.
    EXPECT_TRUE(monitor.remove_device("hot11", &error)) << error;
    std::vector<nlohmann::json> c = qemu.commands();
    ASSERT_EQ(4u, c.size());
    EXPECT_EQ(nlohmann::json({{"execute", "qmp_capabilities"}}), c[0]);
    EXPECT_EQ(nlohmann::json::parse(R"({"execute": "chardev-add", "arguments": {"id": "hot11", "backend":
        {"type": "socket", "data": {"addr": {"type": "unix", "data": {"path": "/run/h11.sock"}},
                                    "server": true, "wait": false}}}})"),
              c[1]);
    EXPECT_EQ(nlohmann::json::parse(R"({"execute": "device_add", "arguments": {"driver": "usb-redir",
        "id": "hot11", "chardev": "hot11", "bus": "hc1.0", "port": "11"}})"),
              c[2]);
    EXPECT_EQ(nlohmann::json::parse(R"({"execute": "device_del", "arguments": {"id": "hot11"}})"), c[3]);
}

TEST(Monitor, ADeviceTheMachineRefusesLeavesNoCharacterDeviceAndSaysWhy) {
    ScriptedMonitor qemu({kReturn, kReturn, R"({"error": {"class": "GenericError", "desc": "Bus 'hc9.0' not found"}})",
                          kReturn});
    redir::Monitor monitor;
    std::string error;
    ASSERT_TRUE(monitor.open(qemu.path, &error)) << error;
    EXPECT_FALSE(monitor.add_usb_redir("hot11", "/run/h11.sock", "port", &error));
    EXPECT_EQ("not a property: port", error);
    EXPECT_FALSE(monitor.add_usb_redir("hot11", "/run/h11.sock", "bus=hc9.0", &error));
    EXPECT_EQ("device_add: Bus 'hc9.0' not found", error);
    std::vector<nlohmann::json> c = qemu.commands();
    ASSERT_EQ(4u, c.size());
    EXPECT_EQ(nlohmann::json::parse(R"({"execute": "chardev-remove", "arguments": {"id": "hot11"}})"), c[3]);
    // The monitor has hung up: a command now fails and says so.
    EXPECT_FALSE(monitor.remove_device("hot11", &error));
    EXPECT_EQ("the monitor hung up", error);
}

}  // namespace
