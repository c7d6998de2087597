// The record of one board's plan: one JSON line appended to the report file, made durable before
// vorn ends. Earlier lines of the file are never rewritten.
#pragma once
#include <string>
#include <vector>

struct ReportFile {
    std::string path;
    long long size = 0;
    std::string sha256;
};

struct ReportStep {
    int number = 0;
    int line = 0;
    std::vector<std::string> words;
    // "passed", "failed", "skipped", or "" for a step that was not reached.
    std::string result;
    double seconds = 0;
    std::string reason;
    std::vector<ReportFile> files;
};

struct BurnRecord {
    std::string plan;
    std::string port;
    std::string serial;
    std::string stage;
    double started = 0;  // seconds since the epoch
    double seconds = 0;
    std::string result;  // "passed", "failed" or "aborted"
    int failed_step = 0;  // 0: none
    std::string reason;
    std::vector<ReportStep> steps;
};

// Opens (creating) the report for appending; the descriptor, or -1 with errno set. Called before
// the board is touched, so that a report that cannot be written is said at once.
int report_open(const char* path);
// The record as one JSON line (no line end).
std::string report_line(const BurnRecord& record);
// Appends the record on a line of its own and flushes it to the disk; false with errno set.
bool report_append(int fd, const BurnRecord& record);
