#include "plan/plan_watchdog.h"

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

#include "util/log.h"
#include "util/platform.h"
#include "util/staged_output.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

volatile sig_atomic_t signal_seen = 0;
std::atomic<bool> armed{false};
std::atomic<double> last_activity{0};
std::mutex doing_mutex;
std::string doing = "an answer from the board";

void on_signal(int sig) { signal_seen = sig; }

void watch(double limit, watchdog_end_fn end) {
    for (;;) {
        platform_sleep_ms(20);
        if (signal_seen) {
            end(StringPrintf("aborted by signal %d", (int)signal_seen), true);
            return;
        }
        if (limit <= 0 || !armed) continue;
        double idle = now() - last_activity;
        if (idle <= limit) continue;
        std::string what;
        {
            std::lock_guard<std::mutex> lock(doing_mutex);
            what = doing;
        }
        end(StringPrintf("no progress for %.0fs (limit -T %.0f) while waiting for %s", idle, limit, what.c_str()),
            false);
        return;
    }
}

}  // namespace

void watchdog_start(double limit, watchdog_end_fn end) {
    // Every request to end (Ctrl-Break on Windows, a hang-up here) ends the burn as aborted, with
    // its record; a read-back step's temporary file is then removed by the end, not by a
    // handler that would end the process before the record is written.
    staged_output_leave_ending_signals();
    on_ending_signals(on_signal);
    last_activity = now();
    std::thread(watch, limit, end).detach();
}

void watchdog_arm(bool on) {
    last_activity = now();
    watchdog_doing("an answer from the board");
    armed = on;
}

void watchdog_activity() { last_activity = now(); }

void watchdog_doing(const std::string& what) {
    std::lock_guard<std::mutex> lock(doing_mutex);
    doing = what;
}
