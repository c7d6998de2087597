#include "station/table.h"

#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

std::string shown_serial(const std::string& serial) { return serial.empty() ? "????????????" : serial; }

std::string seconds_text(double s) { return s < 10000 ? StringPrintf("%.1fs", s) : StringPrintf("%.0fs", s); }

// The step, its transfer and its rate; a reason instead where the board is not burned.
std::string step_columns(const BoardRow& r) {
    if (r.state == BoardState::Busy || r.state == BoardState::NoPermission)
        return StringPrintf("%-30.30s", r.reason.c_str());
    std::string step = r.step ? StringPrintf("%d/%d %s", r.step, r.steps, r.word.c_str()) : "";
    std::string percent = r.percent >= 0 ? StringPrintf("%d%%", r.percent) : "";
    std::string rate = r.percent >= 0 ? StringPrintf("%.1fMB/s", r.rate) : "";
    return StringPrintf("%-16.16s %4s %8s", step.c_str(), percent.c_str(), rate.c_str());
}

std::string row_line(const BoardRow& r, double t) {
    bool timed = r.state != BoardState::Busy && r.state != BoardState::NoPermission && r.state != BoardState::Gone;
    std::string time = timed ? seconds_text((r.ended >= 0 ? r.ended : t) - r.started) : "";
    return StringPrintf("%-9.9s %-14.14s %-5.5s %s %7s %s", r.port.c_str(), shown_serial(r.serial).c_str(),
                        r.stage.c_str(), step_columns(r).c_str(), time.c_str(), board_state_name(r.state));
}

}  // namespace

std::string counts_line(const BoardTracker& tr) {
    double rate = 0;
    for (const BoardRow* r : tr.rows())
        if (r->running && r->percent >= 0) rate += r->rate;
    std::string line = StringPrintf("burning %d  waiting %d  passed %d  failed %d", tr.running(),
                                    tr.count(BoardState::Waiting), tr.passed(), tr.failed());
    if (tr.aborted()) line += StringPrintf("  aborted %d", tr.aborted());
    int busy = tr.count(BoardState::Busy) + tr.count(BoardState::NoPermission);
    if (busy) line += StringPrintf("  busy %d", busy);
    if (tr.count(BoardState::Back)) line += StringPrintf("  back %d", tr.count(BoardState::Back));
    return line + StringPrintf("  %.1f MB/s", rate);
}

std::vector<std::string> table_lines(const BoardTracker& tracker, double t) {
    std::vector<std::string> lines;
    lines.push_back(counts_line(tracker));
    lines.push_back(StringPrintf("%-9s %-14s %-5s %-16s %4s %8s %7s %s", "PORT", "SERIAL", "STAGE", "STEP", "", "RATE",
                                 "TIME", "STATE"));
    for (const BoardRow* r : tracker.rows()) lines.push_back(row_line(*r, t));
    return lines;
}
