#include "station/station.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "station/board_log.h"
#include "station/board_track.h"
#include "station/bus_watch.h"
#include "station/display.h"
#include "station/plan_check.h"
#include "station/station_options.h"
#include "util/interrupt.h"
#include "util/log.h"
#include "util/owned.h"
#include "util/platform.h"
#include "util/string_printf.h"
#include "util/subprocess.h"

namespace {

// The bus is looked at five times a second: a new board is noticed well within a second.
const double kBusInterval = 0.2;
// A burn asked to stop has this long to write its record before it is ended outright.
const double kStopGrace = 10.0;

// One board's burn process and what has come from it so far.
struct Burn {
    SubprocessPtr child;
    BoardLog log;
    std::string pending;  // the start of a line not ended yet
    bool stopped = false;
};

class Station {
public:
    Station(const StationOptions& o) : o_(o), display_(stdout, terminal_with_cursor_control(stdout)) {
        tracker_.rules().again = o.again;
    }
    int run();

private:
    void look_at_bus(double t);
    void start_burns(double t);
    void start(const std::string& port, double t);
    void read_burns(double t);
    void read_output(const std::string& port, Burn& b, std::vector<BoardEvent>* events);
    void take_line(const std::string& port, const std::string& line, std::vector<BoardEvent>* events);
    void handle_interrupts(double t);
    bool done() const;

    StationOptions o_;
    Display display_;
    BoardTracker tracker_;
    std::string program_ = executable_path();
    std::map<std::string, Burn> burns_;
    double next_look_ = 0;
    bool looked_ = false;
    int interrupts_seen_ = 0;
    double stop_asked_ = -1;
};

void Station::look_at_bus(double t) {
    if (t < next_look_) return;
    next_look_ = t + kBusInterval;
    std::vector<BoardEvent> events;
    tracker_.bus(::look_at_bus(), t, &events);
    display_.events(events);
    // --once: the boards there at the first look are all there is to do.
    if (!looked_ && o_.once) tracker_.stop_taking();
    looked_ = true;
}

void Station::start_burns(double t) {
    if (interrupts_seen_) return;
    for (;;) {
        int running = tracker_.running();
        if (o_.jobs && running >= o_.jobs) return;
        if (o_.count && tracker_.finished() + running >= o_.count) return;
        std::string port = tracker_.next_waiting();
        if (port.empty()) return;
        start(port, t);
    }
}

void Station::start(const std::string& port, double t) {
    std::vector<std::string> argv = {program_, "-s", port, "burn", "-f", o_.plan};
    if (!o_.report.empty()) argv.insert(argv.end(), {"-r", o_.report});
    if (!o_.step_limit.empty()) argv.insert(argv.end(), {"-T", o_.step_limit});
    std::vector<BoardEvent> events;
    tracker_.started(port, t, &events);
    Burn& b = burns_[port];
    std::string error;
    const BoardRow* row = nullptr;
    for (const BoardRow* r : tracker_.rows())
        if (r->port == port) row = r;
    if (!b.log.open(o_.log_dir, now(), port, row ? row->serial : "", &error)) display_.note("station: " + error);
    b.child = subprocess_start(argv, &error);
    if (!b.child) {
        display_.note("station: " + error);
        burns_.erase(port);
        tracker_.child_ended(port, 127, false, t, &events);
    }
    display_.events(events);
}

void Station::take_line(const std::string& port, const std::string& line, std::vector<BoardEvent>* events) {
    if (line.empty()) return;
    tracker_.child_line(port, parse_child_line(line), events);
}

// Lines end in "\n" and progress lines in "\r" (which a "\n" may follow).
void Station::read_output(const std::string& port, Burn& b, std::vector<BoardEvent>* events) {
    char buf[4096];
    long n;
    while ((n = subprocess_read(b.child.get(), buf, sizeof(buf))) > 0) {
        b.log.write(buf, static_cast<size_t>(n));
        for (long i = 0; i < n; i++) {
            if (buf[i] != '\n' && buf[i] != '\r') {
                b.pending += buf[i];
                continue;
            }
            take_line(port, b.pending, events);
            b.pending.clear();
        }
    }
}

void Station::read_burns(double t) {
    std::vector<BoardEvent> events;
    for (auto it = burns_.begin(); it != burns_.end();) {
        Burn& b = it->second;
        read_output(it->first, b, &events);
        int status = 0;
        if (!subprocess_exited(b.child.get(), &status)) {
            ++it;
            continue;
        }
        // Its last lines may still be in the pipe.
        read_output(it->first, b, &events);
        take_line(it->first, b.pending, &events);
        tracker_.child_ended(it->first, status, b.stopped, t, &events);
        it = burns_.erase(it);
    }
    display_.events(events);
}

void Station::handle_interrupts(double t) {
    int n = interrupts_count();
    if (n >= 1 && interrupts_seen_ == 0) {
        tracker_.stop_taking();
        display_.note("station: no new boards; the running burns finish (Ctrl-C again stops them)");
    }
    if (n >= 2 && interrupts_seen_ < 2) {
        display_.note("station: stopping the running burns");
        for (auto& kv : burns_) {
            kv.second.stopped = true;
            subprocess_terminate(kv.second.child.get());
        }
        stop_asked_ = t;
    }
    interrupts_seen_ = n;
    if (stop_asked_ >= 0 && t - stop_asked_ > kStopGrace)
        for (auto& kv : burns_) subprocess_kill(kv.second.child.get());
}

bool Station::done() const {
    if (!burns_.empty()) return false;
    if (interrupts_seen_) return true;
    if (o_.count && tracker_.finished() >= o_.count) return true;
    return o_.once && looked_ && tracker_.next_waiting().empty();
}

int Station::run() {
    interrupts_catch();
    while (!done()) {
        double t = now();
        handle_interrupts(t);
        look_at_bus(t);
        start_burns(t);
        read_burns(t);
        display_.refresh(tracker_, now(), false);
        if (done()) break;
        std::vector<Subprocess*> children;
        for (auto& kv : burns_) children.push_back(kv.second.child.get());
        subprocess_wait_output(children, 50);
    }
    std::string summary = veltrop::base::StringPrintf("station: %d passed, %d failed", tracker_.passed(), tracker_.failed());
    if (tracker_.aborted()) summary += veltrop::base::StringPrintf(", %d aborted", tracker_.aborted());
    display_.note(summary);
    display_.refresh(tracker_, now(), true);
    return tracker_.failed() ? 1 : 0;
}

// The report is each burn's to write; that it can be written is known before the first board.
bool report_writable(const std::string& path) {
    if (path.empty()) return true;
    OwnedFd fd(open_host_file(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
    if (fd.get() >= 0) return true;
    fprintf(stderr, "station: cannot write the report %s: %s\n", path.c_str(), error_text(errno));
    return false;
}

bool log_dir_ready(const std::string& dir) {
    if (dir.empty() || make_dir(dir.c_str()) == 0 || errno == EEXIST) return true;
    fprintf(stderr, "station: cannot make the log folder %s: %s\n", dir.c_str(), error_text(errno));
    return false;
}

}  // namespace

int station_main(int count, char** words) {
    StationOptions options;
    std::string error;
    if (!parse_station_options(count, words, &options, &error)) {
        fprintf(stderr, "station: %s\n", error.c_str());
        return 1;
    }
    if (!station_plan_ok(options.plan) || !report_writable(options.report) || !log_dir_ready(options.log_dir))
        return 1;
    return Station(options).run();
}
