// -l LOGDIR: each board's whole output in a file of its own, named
// "YYYYMMDDTHHMMSS.mmmZ_PORT_SERIAL.log" (UTC), so that the files sort by time and a board's can
// be found by port and serial number.
#pragma once
#include <string>

#include "util/owned.h"

std::string board_log_name(double t, const std::string& port, const std::string& serial);

class BoardLog {
public:
    // Nothing is kept when `dir` is empty; false with the reason when the file cannot be made.
    bool open(const std::string& dir, double t, const std::string& port, const std::string& serial,
              std::string* error);
    void write(const char* data, size_t len);

private:
    OwnedFd fd_;
};
