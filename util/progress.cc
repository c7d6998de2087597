#include "util/progress.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "util/log.h"

namespace {

// One report at a time. The byte counters are 64-bit: whole devices of several hundred GiB
// would wrap a 32-bit bytes-per-percent figure.
struct ProgressInfo {
    uint32_t start_tick;
    long long total_bytes;
    uint64_t bytes_per_step;
    uint64_t min_report_bytes;
    uint64_t pending_bytes;
    int current_percent;
    int start_percent;
    int end_percent;
    int percent_range;
    bool started;
    bool ended;
    char title[32];
};

ProgressInfo _progressInfo;

// Lines are throttled to one per 4 MiB for small transfers.
constexpr uint64_t kMinReportBytes = 4194304;

void print_line(ProgressInfo& p) {
    fprintf(stderr, "[%3d%%/%5lldMBytes] %dms\r", p.current_percent, p.total_bytes >> 20,
            (int)_timeGetTime(p.start_tick));
    p.ended = p.current_percent >= p.end_percent;
    if (p.ended) fprintf(stderr, "\n");
    stderr_line_open(!p.ended);
    fflush(stderr);
}

}  // namespace

int qrx_progress_info_init(long long total, const char* title, int start_percent, int end_percent) {
    ProgressInfo& p = _progressInfo;
    int range = end_percent - start_percent;
    p.bytes_per_step = (range > 0 && total > 0) ? (uint64_t)(total / range) : 0;
    p.min_report_bytes = p.bytes_per_step > kMinReportBytes - 1 ? p.bytes_per_step : kMinReportBytes;
    p.start_tick = _timeGetTime(0);
    p.total_bytes = total;
    p.current_percent = p.start_percent = start_percent;
    p.end_percent = end_percent;
    p.percent_range = range;
    p.pending_bytes = 0;
    p.started = p.ended = false;
    snprintf(p.title, sizeof(p.title), "%s", title ? title : "");
    return 0;
}

int qrx_progress_info_update(int bytes, long long offset) {
    ProgressInfo& p = _progressInfo;
    if (p.current_percent == p.start_percent && p.pending_bytes == 0) {
        stderr_end_open_line();
        fprintf(stderr, "%s...\n", p.title);
        p.started = true;
    }
    // Offsets come from the board; keep the sum from overflowing for any value it sends.
    long long reached;
    bool at_end = __builtin_add_overflow((long long)bytes, offset, &reached) || reached >= p.total_bytes;
    if (bytes > 0) p.pending_bytes += (uint64_t)bytes;
    if (p.pending_bytes < p.min_report_bytes && !at_end) return 0;

    uint64_t step = p.bytes_per_step ? p.pending_bytes / p.bytes_per_step : (uint64_t)p.percent_range;
    long long percent = (long long)p.current_percent + (long long)step;
    // Rounded-down steps of a small transfer can add up past the end; never show more than it.
    if (percent > p.end_percent) percent = p.end_percent;
    p.current_percent = (int)percent;
    print_line(p);
    uint64_t used = step * p.bytes_per_step;
    p.pending_bytes = used <= p.pending_bytes ? p.pending_bytes - used : 0;
    return 0;
}

void qrx_progress_info_reset() {
    _progressInfo = ProgressInfo();
    stderr_line_open(false);
}

void qrx_progress_info_finish() {
    ProgressInfo& p = _progressInfo;
    if (!p.started || p.ended) return;
    p.current_percent = p.end_percent;
    print_line(p);
}
