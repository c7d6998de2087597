#include "station/board_track.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "util/string_printf.h"

const char* board_state_name(BoardState state) {
    switch (state) {
        case BoardState::Waiting: return "waiting";
        case BoardState::Burning: return "burning";
        case BoardState::Passed: return "passed";
        case BoardState::Failed: return "failed";
        case BoardState::Aborted: return "aborted";
        case BoardState::Back: return "back";
        case BoardState::Busy: return "busy";
        case BoardState::NoPermission: return "no perm";
        case BoardState::Gone: return "gone";
    }
    return "?";
}

namespace {

bool contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

bool is_done(BoardState s) {
    return s == BoardState::Passed || s == BoardState::Failed || s == BoardState::Aborted || s == BoardState::Back;
}

void add_event(std::vector<BoardEvent>* events, EventKind kind, const BoardRow& row, const std::string& text) {
    events->push_back(BoardEvent{kind, row.port, row.serial, text});
}

std::string step_text(const ChildLine& l) {
    return veltrop::base::StringPrintf("step %d/%d (%s)", l.step, l.steps, l.words.c_str());
}

}  // namespace

void BoardTracker::bus(const std::vector<BusBoard>& seen, double t, std::vector<BoardEvent>* events) {
    std::set<std::string> ports;
    for (const BusBoard& b : seen) {
        ports.insert(b.port);
        auto it = rows_.find(b.port);
        if (it == rows_.end() && !taking_) continue;
        BoardRow& row = rows_[b.port];
        row.port = b.port;
        bool changed = !row.present || b.serial != row.bus_serial || b.state != row.bus_state;
        bool was_present = row.present;
        std::string old_serial = row.bus_serial;
        row.present = true;
        row.bus_serial = b.serial;
        row.bus_state = b.state;
        if (row.running) {
            // The board restarting within its own plan: the port stays its burn's.
            if (!b.serial.empty() && !contains(row.serials, b.serial)) row.serials.push_back(b.serial);
            continue;
        }
        if (!changed) continue;
        // A finished board that only its burn let go of, or that another program opens now, is
        // still the same board on the same plugging.
        if (was_present && b.serial == old_serial && is_done(row.state)) continue;
        if (!was_present && t - row.gone_since > rules_.reenumeration_s) row.serials.clear();
        arrive(row, b, t, events);
    }
    for (auto& kv : rows_)
        if (kv.second.present && !ports.count(kv.first)) leave(kv.second, t, events);
}

void BoardTracker::arrive(BoardRow& row, const BusBoard& b, double t, std::vector<BoardEvent>* events) {
    if (b.state != BusState::Usable) {
        bool busy = b.state == BusState::InUse;
        row.serial = b.serial;
        row.state = busy ? BoardState::Busy : BoardState::NoPermission;
        row.reason = busy ? "in use by another program" : "no permission to open it";
        add_event(events, EventKind::Busy, row, std::string(busy ? "busy: " : "skipped: ") + row.reason);
        return;
    }
    // Back on its port after its plan, with a serial number it had: it restarted into download
    // mode again (the serials are forgotten once the port was empty too long).
    if (is_done(row.state) && contains(row.serials, b.serial) && !rules_.again) {
        row.serial = b.serial;
        row.state = BoardState::Back;
        add_event(events, EventKind::Back, row, "back, not burned again");
        return;
    }
    if (!taking_) return;
    renew(row, b);
    row.started = t;
    add_event(events, EventKind::Appeared, row, "appeared");
}

void BoardTracker::renew(BoardRow& row, const BusBoard& b) {
    row.serial = b.serial;
    row.serials.assign(1, b.serial);
    row.stage.clear();
    row.state = BoardState::Waiting;
    row.step = row.steps = 0;
    row.word.clear();
    row.percent = -1;
    row.rate = 0;
    row.ended = -1;
    row.reason.clear();
    row.end_line = ChildLine();
    row.arrival = ++arrivals_;
}

void BoardTracker::leave(BoardRow& row, double t, std::vector<BoardEvent>* events) {
    row.present = false;
    row.gone_since = t;
    if (row.running) return;
    if (!is_done(row.state) || row.state == BoardState::Back) row.state = BoardState::Gone;
    add_event(events, EventKind::Gone, row, "gone");
}

std::string BoardTracker::next_waiting() const {
    const BoardRow* first = nullptr;
    for (const auto& kv : rows_)
        if (kv.second.state == BoardState::Waiting && (!first || kv.second.arrival < first->arrival))
            first = &kv.second;
    return first ? first->port : std::string();
}

void BoardTracker::started(const std::string& port, double t, std::vector<BoardEvent>* events) {
    BoardRow& row = rows_[port];
    row.running = true;
    row.state = BoardState::Burning;
    row.started = t;
    add_event(events, EventKind::Started, row, "burning");
}

void BoardTracker::child_line(const std::string& port, const ChildLine& l, std::vector<BoardEvent>* events) {
    BoardRow& row = rows_[port];
    switch (l.kind) {
        case ChildLineKind::Board:
            row.serial = l.serial;
            row.stage = l.stage;
            if (!contains(row.serials, l.serial)) row.serials.push_back(l.serial);
            add_event(events, EventKind::Stage, row, "in stage " + l.stage);
            break;
        case ChildLineKind::StepStarted:
            row.step = l.step;
            row.steps = l.steps;
            row.word = command_word(l.words);
            row.percent = -1;
            row.rate = 0;
            break;
        case ChildLineKind::StepPassed:
            add_event(events, EventKind::StepPassed, row,
                      step_text(l) + veltrop::base::StringPrintf(" passed [%.3fs]", l.seconds));
            break;
        case ChildLineKind::StepSkipped:
            add_event(events, EventKind::StepSkipped, row, step_text(l) + " skipped (board in " + l.stage + ")");
            break;
        case ChildLineKind::StepFailed:
            row.reason = l.reason;
            add_event(events, EventKind::StepFailed, row, step_text(l) + " failed: " + l.reason);
            break;
        case ChildLineKind::Progress:
            row.percent = l.percent;
            row.rate = l.ms > 0 ? (double)l.mbytes * l.percent / 100.0 / ((double)l.ms / 1000.0) : 0;
            break;
        case ChildLineKind::Passed:
        case ChildLineKind::Failed:
        case ChildLineKind::Aborted:
            row.end_line = l;
            break;
        case ChildLineKind::Other:
            break;
    }
}

void BoardTracker::child_ended(const std::string& port, int status, bool stopped, double t,
                               std::vector<BoardEvent>* events) {
    BoardRow& row = rows_[port];
    row.running = false;
    row.percent = -1;
    row.rate = 0;
    const ChildLine& e = row.end_line;
    double secs = e.kind == ChildLineKind::Other ? t - row.started : e.seconds;
    std::string at = veltrop::base::StringPrintf(" at step %d/%d", e.step, e.steps);
    if (e.kind == ChildLineKind::Other) at = row.step ? veltrop::base::StringPrintf(" at step %d/%d", row.step, row.steps) : "";
    std::string took = veltrop::base::StringPrintf(" [%.3fs]", secs);
    if (status == 0 && (e.kind == ChildLineKind::Passed || e.kind == ChildLineKind::Other)) {
        end(row, BoardState::Passed, t, events, "passed" + took);
    } else if (e.kind == ChildLineKind::Aborted || stopped) {
        end(row, BoardState::Aborted, t, events, "aborted" + at + took);
    } else {
        if (e.kind == ChildLineKind::Other)
            row.reason = veltrop::base::StringPrintf("its burn ended with status %d and no result", status);
        end(row, BoardState::Failed, t, events, "failed" + at + took + (row.reason.empty() ? "" : ": " + row.reason));
    }
    // A board that left while its burn ran (a reboot at the end of its plan, an unplugging) is
    // told as gone now that the port is no longer its burn's, whichever look saw it leave.
    if (!row.present) add_event(events, EventKind::Gone, row, "gone");
}

void BoardTracker::end(BoardRow& row, BoardState state, double t, std::vector<BoardEvent>* events,
                       const std::string& text) {
    row.state = state;
    row.ended = t;
    finished_[state == BoardState::Passed ? 0 : state == BoardState::Failed ? 1 : 2]++;
    add_event(events, EventKind::Ended, row, text);
}

std::vector<const BoardRow*> BoardTracker::rows() const {
    std::vector<const BoardRow*> out;
    for (const auto& kv : rows_) out.push_back(&kv.second);
    std::sort(out.begin(), out.end(), [](const BoardRow* a, const BoardRow* b) { return port_before(a->port, b->port); });
    return out;
}

int BoardTracker::count(BoardState state) const {
    int n = 0;
    for (const auto& kv : rows_) n += kv.second.state == state;
    return n;
}

int BoardTracker::running() const {
    int n = 0;
    for (const auto& kv : rows_) n += kv.second.running;
    return n;
}

namespace {

// The run of digits from `i` on, without its leading zeros; `i` is moved past it.
std::string digits_at(const std::string& s, size_t* i) {
    size_t start = *i;
    while (*i < s.size() && isdigit((unsigned char)s[*i])) (*i)++;
    while (start + 1 < *i && s[start] == '0') start++;
    return s.substr(start, *i - start);
}

}  // namespace

bool port_before(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isdigit((unsigned char)a[i]) && isdigit((unsigned char)b[j])) {
            std::string x = digits_at(a, &i), y = digits_at(b, &j);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            i++;
            j++;
        }
    }
    return a.size() - i < b.size() - j;
}
