// vorn-redir: emulated boards for a virtual machine's USB host controller (see --help).
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "tools/redir/monitor.h"
#include "tools/redir/options.h"
#include "tools/redir/redir_board.h"
#include "tools/redir/unix_socket.h"
#include "util/log.h"
#include "util/pause.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

using Boards = std::vector<std::unique_ptr<redir::RedirBoard>>;

// The guest's "plug N" / "unplug N" (the board leaves or joins its port) and "hotplug N" /
// "hotunplug N" (the machine's monitor adds or removes the board's usb-redir device) lines, as
// they arrive on its serial port.
class Control {
  public:
    int fd = -1;
    redir::Monitor monitor;
    // False once the machine has hung up.
    bool on_readable(Boards& boards) {
        char buf[256];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) return n < 0 && errno == EINTR;
        line_.append(buf, static_cast<size_t>(n));
        size_t end;
        while ((end = line_.find_first_of("\r\n")) != std::string::npos) {
            run(line_.substr(0, end), boards);
            line_.erase(0, end + 1);
        }
        return true;
    }

  private:
    void run(const std::string& line, Boards& boards) {
        char word[16];
        int n = 0;
        if (sscanf(line.c_str(), "%15s %d", word, &n) != 2 || n < 1 || n > static_cast<int>(boards.size())) {
            if (!line.empty()) fprintf(stderr, "vorn-redir: control: not understood: %s\n", line.c_str());
            return;
        }
        redir::RedirBoard& b = *boards[n - 1];
        if (strcmp(word, "plug") == 0) b.plug();
        if (strcmp(word, "unplug") == 0) b.unplug();
        if (strcmp(word, "hotplug") == 0) hotplug(b);
        if (strcmp(word, "hotunplug") == 0) hotunplug(b);
    }

    void hotplug(redir::RedirBoard& b) {
        std::string error;
        if (b.setup().hotplug.empty()) error = "its device is on the machine from the start";
        else if (b.fd() >= 0) error = "its device is on the machine already";
        else if (monitor.add_usb_redir(device_id(b), b.setup().socket, b.setup().hotplug, &error) && !b.connect_socket())
            error = b.setup().socket + ": " + strerror(errno);
        report(b, "hot-plugged through the monitor", error);
    }

    void hotunplug(redir::RedirBoard& b) {
        std::string error;
        if (b.setup().hotplug.empty()) error = "its device is on the machine from the start";
        else monitor.remove_device(device_id(b), &error);
        // The board hears of it as the machine hanging up its socket.
        report(b, "hot-unplugged through the monitor", error);
    }

    static std::string device_id(const redir::RedirBoard& b) { return "hot" + std::to_string(b.index()); }
    static void report(redir::RedirBoard& b, const char* done, const std::string& error) {
        if (error.empty()) return b.note("%s", done);
        b.note("not %s: %s", done, error.c_str());
        fprintf(stderr, "vorn-redir: board %d: not %s: %s\n", b.index(), done, error.c_str());
    }
    std::string line_;
};

// The machine's sockets as they come up; the hot-plugged boards' come later, when asked for.
bool connect_all(Boards& boards, Control& control, const redir::Options& options) {
    double give_up = now() + options.connect_timeout_s;
    std::string error;
    for (;;) {
        bool all = true;
        for (auto& b : boards)
            if (b->setup().hotplug.empty() && b->fd() < 0 && !b->connect_socket()) all = false;
        if (!options.control.empty() && control.fd < 0) {
            control.fd = redir::connect_unix(options.control);
            if (control.fd < 0) all = false;
        }
        if (!options.monitor.empty() && !control.monitor.is_open() && !control.monitor.open(options.monitor, &error))
            all = false;
        if (all) return true;
        if (g_stop || now() > give_up) {
            if (!error.empty()) fprintf(stderr, "vorn-redir: monitor: %s\n", error.c_str());
            return false;
        }
        sleep_ms(20);
    }
}

// Until the machine has hung up every socket.
void serve(Boards& boards, Control& control) {
    for (;;) {
        std::vector<pollfd> fds;
        for (auto& b : boards)
            fds.push_back({b->fd(), short(POLLIN | (b->wants_write() ? POLLOUT : 0)), 0});
        fds.push_back({control.fd, POLLIN, 0});
        bool any_open = false;
        for (const pollfd& p : fds) any_open = any_open || p.fd >= 0;
        if (g_stop || !any_open) return;
        if (poll(fds.data(), fds.size(), 10) < 0 && errno != EINTR) return;
        for (size_t i = 0; i < boards.size(); i++) {
            redir::RedirBoard& b = *boards[i];
            bool ok = true;
            if (fds[i].fd < 0) continue;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ok = b.on_readable();
            if (ok && (fds[i].revents & POLLOUT)) ok = b.on_writable();
            if (ok) b.tick();
            else b.hang_up();
        }
        if (control.fd >= 0 && (fds.back().revents & (POLLIN | POLLHUP)) && !control.on_readable(boards)) {
            close(control.fd);
            control.fd = -1;
        }
    }
}

void save_states(const std::string& dir, std::vector<std::unique_ptr<redir::RedirBoard>>& boards) {
    for (auto& b : boards) {
        std::string folder = dir + "/board" + std::to_string(b->index());
        mkdir(folder.c_str(), 0755);
        std::string error;
        for (const auto& f : b->board().features())
            if (!f->save_state(folder, &error))
                fprintf(stderr, "vorn-redir: board %d: %s\n", b->index(), error.c_str());
        FILE* f = fopen((folder + "/commands.txt").c_str(), "w");
        if (!f) continue;
        for (const std::string& c : b->board().commands) fprintf(f, "%s\n", c.c_str());
        fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv) {
    redir::Options options;
    bool help = false;
    std::string error;
    if (!redir::parse_options(argc, argv, &options, &help, &error)) {
        fprintf(stderr, "vorn-redir: %s (--help for the options)\n", error.c_str());
        return 2;
    }
    if (help) {
        redir::print_help(argv[0]);
        return 0;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    if (!options.state_dir.empty()) mkdir(options.state_dir.c_str(), 0755);
    std::vector<std::unique_ptr<redir::RedirBoard>> boards;
    std::vector<FILE*> logs;
    for (size_t i = 0; i < options.boards.size(); i++) {
        int index = static_cast<int>(i + 1);
        FILE* log = nullptr;
        if (!options.state_dir.empty())
            log = fopen((options.state_dir + "/board" + std::to_string(index) + ".log").c_str(), "w");
        logs.push_back(log);
        boards.push_back(std::make_unique<redir::RedirBoard>(std::move(options.boards[i]), index, log));
        boards.back()->reenumerate_delay_ms = options.reenumerate_delay_ms;
    }
    Control control;
    if (!connect_all(boards, control, options)) {
        fprintf(stderr, "vorn-redir: the machine's sockets did not come up: %s\n", strerror(errno));
        return 1;
    }
    serve(boards, control);
    if (!options.state_dir.empty()) save_states(options.state_dir, boards);
    boards.clear();
    for (FILE* f : logs)
        if (f) fclose(f);
    return 0;
}
