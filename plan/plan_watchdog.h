// The time limit of a burn's steps and its end when the process is asked to end. A thread of its
// own watches the running step: when the board has not moved a byte for longer than the limit (a
// transfer counts as long as bytes flow), or when the process is asked to end, it calls the end
// function, which records the outcome and ends the process.
#pragma once
#include <string>

// reason: why the step ends; aborted: a signal asked for the end (else the limit passed).
using watchdog_end_fn = void (*)(const std::string& reason, bool aborted);

// Installs the signal handlers and starts the thread; `limit` seconds, 0 for none.
void watchdog_start(double limit, watchdog_end_fn end);
// The step being watched (0: none, nothing is timed) and the clock restarted.
void watchdog_arm(bool armed);
// Bytes moved or a board found: the clock restarts.
void watchdog_activity();
// What the step waits for, named in the reason when the limit passes.
void watchdog_doing(const std::string& what);
