#include "plan/plan_report.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/vorn_main.h"
#include "util/file_io.h"
#include "util/platform.h"
#include "util/version.h"

using nlohmann::json;

namespace {

// UTC, ISO 8601, to the millisecond: "2026-12-09T04:30:00.123Z".
std::string iso_utc(double t) {
    time_t whole = (time_t)t;
    struct tm tm = *gmtime(&whole);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &tm);
    char ms[8];
    snprintf(ms, sizeof(ms), ".%03dZ", (int)((t - (double)whole) * 1000));
    return std::string(text) + ms;
}

// Seconds to the millisecond, as the lines on standard error show them.
double ms_round(double s) { return (double)(long long)(s * 1000 + 0.5) / 1000; }

json step_json(const ReportStep& s) {
    json j = {{"step", s.number}, {"line", s.line}, {"words", s.words}, {"result", s.result},
              {"seconds", ms_round(s.seconds)}};
    if (!s.reason.empty()) j["reason"] = s.reason;
    json files = json::array();
    for (const ReportFile& f : s.files) files.push_back({{"path", f.path}, {"size", f.size}, {"sha256", f.sha256}});
    j["files"] = files;
    return j;
}

}  // namespace

int report_open(const char* path) {
    // Read as well as written: a record cut short before this one is looked for at its end.
    return open_host_file(path, O_RDWR | O_APPEND | O_CREAT, 0644);
}

std::string report_line(const BurnRecord& r) {
    json j = {{"plan", r.plan},
              {"vorn", std::string(vorn_project_version) + " " + vorn_version_text()},
              {"revision", std::string(vorn_source_revision)},
              {"port", r.port},
              {"serial", r.serial},
              {"stage", r.stage},
              {"started", iso_utc(r.started)},
              {"seconds", ms_round(r.seconds)},
              {"result", r.result}};
    j["failed_step"] = r.failed_step ? json(r.failed_step) : json(nullptr);
    j["reason"] = r.reason;
    json steps = json::array();
    for (const ReportStep& s : r.steps) steps.push_back(step_json(s));
    j["steps"] = steps;
    // Bytes that are not UTF-8 (a path, a board's answer) are replaced, never a reason to lose
    // the record.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool report_append(int fd, const BurnRecord& record) {
    std::string line = report_line(record) + "\n";
    // The burns of a station append to one report at once: without the lock, the end of the
    // file could be looked at in the middle of another's record, which would then look cut
    // short and get an empty line after it.
    bool locked = lock_file(fd) == 0;
    // A record cut short by an earlier run that was killed while writing keeps its own line.
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        char last = '\n';
        if (read_at(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') line.insert(0, "\n");
    }
    bool ok = write_full(fd, line.data(), line.size()) == (long long)line.size() && flush_to_disk(fd) == 0;
    int err = errno;
    if (locked) unlock_file(fd);
    errno = err;
    return ok;
}
