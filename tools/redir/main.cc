// vorn-redir: emulated boards for a virtual machine's USB host controller (see --help).
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "tools/redir/options.h"
#include "tools/redir/redir_board.h"
#include "usb/usb_sys.h"
#include "util/log.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

int connect_unix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
    close(fd);
    return -1;
}

// The guest's "plug N" / "unplug N" lines, as they arrive on its serial port.
class Control {
  public:
    int fd = -1;
    // False once the machine has hung up.
    bool on_readable(std::vector<std::unique_ptr<redir::RedirBoard>>& boards) {
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
    void run(const std::string& line, std::vector<std::unique_ptr<redir::RedirBoard>>& boards) {
        char word[16];
        int n = 0;
        if (sscanf(line.c_str(), "%15s %d", word, &n) != 2 || n < 1 || n > static_cast<int>(boards.size())) {
            if (!line.empty()) fprintf(stderr, "vorn-redir: control: not understood: %s\n", line.c_str());
            return;
        }
        if (strcmp(word, "plug") == 0) boards[n - 1]->plug();
        if (strcmp(word, "unplug") == 0) boards[n - 1]->unplug();
    }
    std::string line_;
};

bool connect_all(std::vector<std::unique_ptr<redir::RedirBoard>>& boards, Control& control,
                 const redir::Options& options) {
    double give_up = now() + options.connect_timeout_s;
    for (;;) {
        bool all = true;
        for (auto& b : boards)
            if (b->fd() < 0 && !b->connect_socket()) all = false;
        if (!options.control.empty() && control.fd < 0) {
            control.fd = connect_unix(options.control);
            if (control.fd < 0) all = false;
        }
        if (all) return true;
        if (g_stop || now() > give_up) return false;
        sleep_ms(20);
    }
}

void serve(std::vector<std::unique_ptr<redir::RedirBoard>>& boards, Control& control) {
    std::vector<bool> open(boards.size(), true);
    size_t open_count = boards.size();
    while (!g_stop && open_count > 0) {
        std::vector<pollfd> fds;
        for (size_t i = 0; i < boards.size(); i++) {
            short events = open[i] ? short(POLLIN | (boards[i]->wants_write() ? POLLOUT : 0)) : short(0);
            fds.push_back({open[i] ? boards[i]->fd() : -1, events, 0});
        }
        fds.push_back({control.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 10) < 0 && errno != EINTR) break;
        for (size_t i = 0; i < boards.size(); i++) {
            if (!open[i]) continue;
            bool ok = true;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) ok = boards[i]->on_readable();
            if (ok && (fds[i].revents & POLLOUT)) ok = boards[i]->on_writable();
            if (!ok) {
                open[i] = false;
                open_count--;
            }
            boards[i]->tick();
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
