// The words of "vorn station": -f PLAN [-j JOBS] [-n COUNT] [--once] [-a] [-r REPORT]
// [-l LOGDIR] [-T SECONDS].
#pragma once
#include <string>

struct StationOptions {
    std::string plan;
    int jobs = 0;     // boards burned at once; 0: all
    int count = 0;    // end after this many boards; 0: run until interrupted
    bool once = false;
    bool again = false;
    std::string report;
    std::string log_dir;
    std::string step_limit;  // -T, handed to every burn as it was given
};

// Reads the words from the command word on; false with the reason.
bool parse_station_options(int count, char** words, StationOptions* out, std::string* error);
