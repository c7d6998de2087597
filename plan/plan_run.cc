#include "plan/plan_run.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unistd.h>

#include "cli/vorn_main.h"
#include "engine/action.h"
#include "engine/queued_ops.h"
#include "plan/plan_board.h"
#include "plan/plan_report.h"
#include "plan/plan_watchdog.h"
#include "protocol/exchange.h"
#include "util/file_hash.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/platform.h"
#include "util/staged_output.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

// What the run has done so far, shared with the watchdog, which may end the run from its thread.
struct RunState {
    std::mutex mutex;
    bool ended = false;
    const Plan* plan = nullptr;
    int report_fd = -1;
    double started = 0;
    int current = 0;  // the step running or next to run (1-based)
    BurnRecord record;
    // The sizes the files had when the plan was checked, and the digests made this run.
    std::map<std::string, long long> checked_sizes;
    std::map<std::string, ReportFile> hashed;
};
RunState g;

void line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void line(const char* fmt, ...) {
    stderr_end_open_line();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fflush(stderr);
}

std::string joined(const std::vector<std::string>& words) {
    std::string s;
    for (const std::string& w : words) s += (s.empty() ? "" : " ") + w;
    return s;
}

std::string step_tag(int k) {
    return StringPrintf("step %d/%d (%s)", k, (int)g.plan->steps.size(), joined(g.record.steps[k - 1].words).c_str());
}

// Called with the mutex held: the summary, the record, and the last line. The status.
int finish_locked(const std::string& result) {
    g.ended = true;
    BurnRecord& r = g.record;
    r.result = result;
    r.seconds = now() - g.started;
    const size_t n = g.plan->steps.size();
    line("burn summary of %s:\n", g.plan->path.c_str());
    for (const ReportStep& s : r.steps)
        line("  %d/%d %-8s [%7.3fs] %s\n", s.number, (int)n, s.result.empty() ? "not run" : s.result.c_str(), s.seconds,
             joined(s.words).c_str());
    bool written = true;
    if (g.report_fd >= 0) written = report_append(g.report_fd, r);
    if (!written) line("ERR[VXN]report not written: %s\n", error_text(errno));
    if (result == "passed")
        line("burn: passed [%.3fs]\n", r.seconds);
    else
        line("burn: %s at step %d/%d [%.3fs]\n", result.c_str(), g.current, (int)n, r.seconds);
    return result == "passed" && written ? 0 : 1;
}

// The step that fails ends the plan.
void fail_step_locked(int k, const std::string& reason, double seconds) {
    ReportStep& s = g.record.steps[k - 1];
    s.result = "failed";
    s.reason = reason;
    s.seconds = seconds;
    g.record.failed_step = k;
    g.record.reason = reason;
    line("%s failed: %s\n", step_tag(k).c_str(), reason.c_str());
}

// The watchdog's end: a step over its limit, or a signal.
void end_from_watchdog(const std::string& reason, bool aborted) {
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.ended) return;
    int k = g.current;
    if (k >= 1 && (size_t)k <= g.record.steps.size() && g.record.steps[k - 1].result.empty())
        fail_step_locked(k, reason, now() - g.started);
    if (k < 1) {
        g.record.reason = reason;
        g.current = 1;
    }
    int status = finish_locked(aborted ? "aborted" : "failed");
    fflush(stderr);
    // The step still runs on the main thread; what it was writing is not a whole file.
    staged_output_remove_temps();
    _exit(status ? 1 : 0);
}

// Checks a file a step sends against its size at the check and records its digest (once per
// run); "" or the reason the step fails.
std::string take_file(const std::string& path, ReportStep* step) {
    long long size = -1;
    int fd = open_sized_input(path.c_str(), &size);
    if (fd >= 0) close(fd);
    auto checked = g.checked_sizes.find(path);
    if (checked != g.checked_sizes.end() && checked->second != size)
        return StringPrintf("%s changed size since the plan was checked (%lld bytes, now %lld)", path.c_str(),
                            checked->second, size);
    auto done = g.hashed.find(path);
    if (done == g.hashed.end()) {
        ReportFile f;
        f.path = path;
        if (!file_sha256(path.c_str(), &f.sha256, &f.size))
            return StringPrintf("%s cannot be read: %s", path.c_str(), error_text(errno));
        done = g.hashed.emplace(path, f).first;
    }
    // The watchdog may be writing the record from its thread.
    std::lock_guard<std::mutex> lock(g.mutex);
    step->files.push_back(done->second);
    return "";
}

std::string run_expect(BoardLink* b, const std::vector<std::string>& w) {
    std::string value;
    if (!fb_getvar(b->transport, w[1], &value)) return "getvar " + w[1] + " failed (" + fb_get_error() + ")";
    line("%s: %s\n", w[1].c_str(), value.c_str());
    if (value == w[2]) return "";
    return "the board gives " + w[1] + " \"" + value + "\", the plan expects \"" + w[2] + "\"";
}

// The step's command: its handler queues, the queue runs on the board, and the queue is emptied
// for the next step. "" or the reason it failed.
std::string run_command(BoardLink* b, std::vector<std::string> w) {
    std::vector<char*> p;
    for (std::string& s : w) p.push_back(&s[0]);
    p.push_back(nullptr);
    fb_queue_reset();
    int status = vorn_queue_command(p.data(), (int)w.size());
    if (status) return StringPrintf("the command refused its words (status %d)", status);
    fb_set_error("%s", "");
    status = fb_execute_queue(b->transport);
    fb_queue_reset();
    if (!status) return "";
    const char* why = fb_get_error();
    return why[0] ? std::string(why) : StringPrintf("the command failed (code %d)", status);
}

bool restarts_board(const std::vector<std::string>& w) { return w[0] == "bl1_boot" || w[0] == "reboot"; }

// One step, from its start line to its passed line; "" or the reason it failed.
std::string run_step(BoardLink* b, int k, const std::vector<std::string>& w) {
    ReportStep& s = g.record.steps[k - 1];
    for (const StepFile& f : plan_step_files(w)) {
        if (!f.sent) continue;
        std::string why = take_file(f.path, &s);
        if (!why.empty()) return why;
    }
    std::string why = s.words[0] == "expect" ? run_expect(b, w) : run_command(b, w);
    if (!why.empty()) return why;
    bool last = (size_t)k == g.plan->steps.size();
    if (restarts_board(w) && !last && !board_wait_for_return(b)) return "the board did not come back at " + b->port;
    if (board_take_reopened() || w[0] == "bl2_boot") {
        watchdog_doing("an answer from the board");
        if (!board_read_stage(b)) return "the board does not tell its stage";
        board_print_line(*b);
    }
    return "";
}

bool stage_allowed(const PlanStep& step, int stage) {
    if (step.stages.empty()) return true;
    for (int s : step.stages)
        if (s == stage) return true;
    return false;
}

// The sizes of the files the steps send, as checked (per-board steps: for this board).
void note_sizes(const Plan& plan, const PlanBoard* board) {
    for (const PlanStep& step : plan.steps) {
        if (step.per_board() != (board != nullptr)) continue;
        for (const StepFile& f : plan_step_files(plan_step_words(plan, step, board))) {
            long long size = -1;
            int fd = open_sized_input(f.path.c_str(), &size);
            if (fd >= 0) close(fd);
            if (f.sent && size >= 0) g.checked_sizes[f.path] = size;
        }
    }
}

// The per-board checks before the first step; false (the run ended) when they fail.
bool check_for_board(const Plan& plan, const PlanBoard& names) {
    std::vector<PlanFault> faults;
    if (plan_check(plan, &names, &faults)) {
        note_sizes(plan, &names);
        return true;
    }
    line("%s", plan_faults_text(plan.path, faults).c_str());
    std::lock_guard<std::mutex> lock(g.mutex);
    for (size_t i = 0; i < plan.steps.size(); i++)
        if (plan.steps[i].line == faults[0].line) g.current = (int)i + 1;
    if (g.current < 1) g.current = 1;
    fail_step_locked(g.current, faults[0].reason, 0);
    return false;
}

}  // namespace

int burn_run(const Plan& plan, const BurnOptions& options) {
    g.plan = &plan;
    g.report_fd = options.report_fd;
    g.started = now();
    g.record.plan = plan.path;
    g.record.started = g.started;
    for (size_t i = 0; i < plan.steps.size(); i++) {
        ReportStep s;
        s.number = (int)i + 1;
        s.line = plan.steps[i].line;
        s.words = plan.steps[i].words;
        g.record.steps.push_back(s);
    }
    note_sizes(plan, nullptr);
    watchdog_start(options.step_limit, end_from_watchdog);
    BoardLink b;
    board_reopen_by_port(&b);
    if (!board_open(options.selector, &b)) {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.current = 1;
        g.record.reason = "the board cannot be opened";
        return finish_locked("failed");
    }
    PlanBoard names = {b.first_serial, b.port};
    {
        std::lock_guard<std::mutex> lock(g.mutex);
        g.record.port = b.port;
        g.record.serial = b.first_serial;
        g.record.stage = plan_stage_name(b.stage);
        for (size_t i = 0; i < plan.steps.size(); i++) g.record.steps[i].words = plan_step_words(plan, plan.steps[i], &names);
    }
    if (!check_for_board(plan, names)) {
        std::lock_guard<std::mutex> lock(g.mutex);
        return finish_locked("failed");
    }
    for (size_t i = 0; i < plan.steps.size(); i++) {
        const int k = (int)i + 1;
        {
            std::lock_guard<std::mutex> lock(g.mutex);
            g.current = k;
            if (!stage_allowed(plan.steps[i], b.stage)) {
                g.record.steps[i].result = "skipped";
                line("%s skipped (board in %s)\n", step_tag(k).c_str(), plan_stage_name(b.stage).c_str());
                continue;
            }
            line("%s\n", step_tag(k).c_str());
        }
        watchdog_arm(true);
        double t0 = now();
        std::string why = run_step(&b, k, g.record.steps[i].words);
        watchdog_arm(false);
        std::lock_guard<std::mutex> lock(g.mutex);
        if (!why.empty()) {
            fail_step_locked(k, why, now() - t0);
            return finish_locked("failed");
        }
        g.record.steps[i].result = "passed";
        g.record.steps[i].seconds = now() - t0;
        line("%s passed [%.3fs]\n", step_tag(k).c_str(), g.record.steps[i].seconds);
    }
    std::lock_guard<std::mutex> lock(g.mutex);
    return finish_locked("passed");
}
