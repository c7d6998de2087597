#include "tools/redir/monitor.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "tools/redir/unix_socket.h"
#include "util/log.h"

namespace redir {

namespace {

// The monitor answers between two turns of the machine's main loop; far longer means it hangs.
constexpr double kReplySeconds = 10;

}  // namespace

bool Monitor::open(const std::string& path, std::string* error) {
    fd_.reset(connect_unix(path));
    if (fd_.get() < 0) return *error = path + ": " + strerror(errno), false;
    in_.clear();
    nlohmann::json greeting;
    if (!read_message(&greeting, error)) return fd_.reset(), false;
    if (!greeting.contains("QMP")) return fd_.reset(), *error = "no greeting: " + greeting.dump(), false;
    if (!execute({{"execute", "qmp_capabilities"}}, error)) return fd_.reset(), false;
    return true;
}

bool Monitor::add_usb_redir(const std::string& id, const std::string& socket, const std::string& where,
                            std::string* error) {
    nlohmann::json device = {{"driver", "usb-redir"}, {"id", id}, {"chardev", id}};
    size_t pos = 0;
    while (pos < where.size()) {
        size_t comma = where.find(',', pos);
        if (comma == std::string::npos) comma = where.size();
        std::string item = where.substr(pos, comma - pos);
        size_t eq = item.find('=');
        if (eq == std::string::npos || eq == 0) return *error = "not a property: " + item, false;
        device[item.substr(0, eq)] = item.substr(eq + 1);
        pos = comma + 1;
    }
    nlohmann::json address = {{"type", "unix"}, {"data", {{"path", socket}}}};
    nlohmann::json chardev = {{"id", id},
                              {"backend", {{"type", "socket"},
                                           {"data", {{"addr", address}, {"server", true}, {"wait", false}}}}}};
    if (!execute({{"execute", "chardev-add"}, {"arguments", chardev}}, error)) return false;
    if (execute({{"execute", "device_add"}, {"arguments", device}}, error)) return true;
    // Nothing is left half added.
    std::string ignored;
    execute({{"execute", "chardev-remove"}, {"arguments", {{"id", id}}}}, &ignored);
    return false;
}

bool Monitor::remove_device(const std::string& id, std::string* error) {
    return execute({{"execute", "device_del"}, {"arguments", {{"id", id}}}}, error);
}

// Sends the command and reads up to its reply; events that come first are passed over.
bool Monitor::execute(const nlohmann::json& command, std::string* error) {
    if (fd_.get() < 0) return *error = "the monitor is not connected", false;
    std::string text = command.dump() + "\n";
    if (send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        return *error = errno == EPIPE ? "the monitor hung up" : std::string("monitor: ") + strerror(errno), false;
    for (;;) {
        nlohmann::json reply;
        if (!read_message(&reply, error)) return false;
        if (reply.contains("return")) return true;
        if (reply.contains("error")) {
            const nlohmann::json& e = reply["error"];
            bool described = e.is_object() && e.contains("desc") && e["desc"].is_string();
            *error = command["execute"].get<std::string>() + ": " +
                     (described ? e["desc"].get<std::string>() : reply.dump());
            return false;
        }
    }
}

// One message: the monitor writes each on a line of its own.
bool Monitor::read_message(nlohmann::json* message, std::string* error) {
    double give_up = now() + kReplySeconds;
    size_t end;
    while ((end = in_.find('\n')) == std::string::npos) {
        pollfd p = {fd_.get(), POLLIN, 0};
        int left_ms = static_cast<int>((give_up - now()) * 1000);
        if (left_ms <= 0 || poll(&p, 1, left_ms) == 0) return *error = "the monitor did not answer", false;
        char buf[4096];
        ssize_t n = read(fd_.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return *error = "the monitor hung up", false;
        in_.append(buf, static_cast<size_t>(n));
    }
    *message = nlohmann::json::parse(in_.substr(0, end), nullptr, false);
    in_.erase(0, end + 1);
    if (message->is_discarded() || !message->is_object()) return *error = "the monitor wrote no message", false;
    return true;
}

}  // namespace redir
