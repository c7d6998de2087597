#include "station/board_log.h"

#include <fcntl.h>

#include <cerrno>
#include <cctype>
#include <ctime>

#include "util/file_io.h"
#include "util/platform.h"
#include "util/string_printf.h"

namespace {

// A serial number may hold anything a board reports; the name keeps what is safe in a file name.
std::string name_safe(const std::string& text) {
    std::string out;
    for (char c : text) out += isalnum((unsigned char)c) || c == '-' || c == '.' ? c : '_';
    return out.empty() ? "noserial" : out;
}

}  // namespace

std::string board_log_name(double t, const std::string& port, const std::string& serial) {
    time_t secs = static_cast<time_t>(t);
    // The station has one thread: gmtime's shared result is safe here.
    const struct tm* utc = std::gmtime(&secs);
    char stamp[32] = "00000000T000000";
    if (utc) strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%S", utc);
    int ms = static_cast<int>((t - static_cast<double>(secs)) * 1000);
    return veltrop::base::StringPrintf("%s.%03dZ_%s_%s.log", stamp, ms < 0 ? 0 : ms > 999 ? 999 : ms,
                                       name_safe(port).c_str(), name_safe(serial).c_str());
}

bool BoardLog::open(const std::string& dir, double t, const std::string& port, const std::string& serial,
                    std::string* error) {
    if (dir.empty()) return true;
    std::string path = dir + "/" + board_log_name(t, port, serial);
    fd_.reset(open_host_file(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
    if (fd_.get() >= 0) return true;
    *error = path + ": " + error_text(errno);
    return false;
}

void BoardLog::write(const char* data, size_t len) {
    if (fd_.get() >= 0) write_full(fd_.get(), data, len);
}
