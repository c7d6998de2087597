// What the operator sees on standard output: on a terminal the table, redrawn in place at most a
// few times a second; anywhere else one plain line per event, each starting with the board's
// port and serial number.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "station/board_track.h"

// "PORT SERIAL: TEXT"; "????????????" for a board without a serial number.
std::string plain_line(const BoardEvent& event);

class Display {
public:
    Display(FILE* out, bool table) : out_(out), table_(table) {}
    bool table() const { return table_; }
    void events(const std::vector<BoardEvent>& events);
    // A line of the station itself (stopping, the summary): below the table, or as it is.
    void note(const std::string& text);
    // Redraws the table when it is due (or at once with `now`); nothing without a table.
    void refresh(const BoardTracker& tracker, double t, bool now);

private:
    void draw(const std::vector<std::string>& lines);

    FILE* out_;
    bool table_;
    bool dirty_ = true;
    double drawn_at_ = -1;
    size_t drawn_lines_ = 0;
    std::vector<std::string> notes_;
};
