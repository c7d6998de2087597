#include "station/display.h"

#include "station/table.h"

namespace {

// Four redraws a second at most: enough to follow, and a slow terminal line keeps up.
const double kRedrawInterval = 0.25;
const size_t kWidth = 79;

}  // namespace

std::string plain_line(const BoardEvent& e) {
    return e.port + " " + (e.serial.empty() ? "????????????" : e.serial) + ": " + e.text;
}

void Display::events(const std::vector<BoardEvent>& events) {
    if (events.empty()) return;
    dirty_ = true;
    if (table_) return;
    for (const BoardEvent& e : events) fprintf(out_, "%s\n", plain_line(e).c_str());
    fflush(out_);
}

void Display::note(const std::string& text) {
    if (!table_) {
        fprintf(out_, "%s\n", text.c_str());
        fflush(out_);
        return;
    }
    notes_.push_back(text);
    dirty_ = true;
}

void Display::refresh(const BoardTracker& tracker, double t, bool now) {
    if (!table_ || (!now && drawn_at_ >= 0 && t - drawn_at_ < kRedrawInterval)) return;
    // The times run on, so the table is redrawn while anything burns even without an event.
    if (!now && !dirty_ && tracker.running() == 0) return;
    std::vector<std::string> lines = table_lines(tracker, t);
    lines.insert(lines.end(), notes_.begin(), notes_.end());
    draw(lines);
    drawn_at_ = t;
    dirty_ = false;
}

void Display::draw(const std::vector<std::string>& lines) {
    std::string text;
    // Back to the first line of the last drawing; every line is cleared to its end, and what
    // the last drawing had below is cleared at the end.
    if (drawn_lines_) text += "\r\x1b[" + std::to_string(drawn_lines_) + "A";
    for (const std::string& l : lines) text += l.substr(0, kWidth) + "\x1b[K\n";
    text += "\x1b[J";
    fwrite(text.data(), 1, text.size(), out_);
    fflush(out_);
    drawn_lines_ = lines.size();
}
