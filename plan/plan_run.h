// Running a checked plan on one board: steps in order, the board found again at its port after a
// step that restarts it, the first failure ending the plan, a summary and the report's record.
#pragma once
#include "plan/plan.h"

struct BurnOptions {
    const char* selector = nullptr;
    // Open for appending (report_open), or -1 for no report.
    int report_fd = -1;
    // Seconds a step may go without progress; 0 for no limit.
    double step_limit = 60;
};

// Lines on standard error, which programs running many burns read:
//   "board at PORT: serial SERIAL, stage STAGE"  after the first open and every re-open
//   "step K/N (WORDS)"                            when a step starts
//   "step K/N (WORDS) passed [S.SSSs]"
//   "step K/N (WORDS) skipped (board in STAGE)"
//   "step K/N (WORDS) failed: REASON"
// then a summary ending in "burn: passed [S.SSSs]", "burn: failed at step K/N [S.SSSs]" or
// "burn: aborted at step K/N [S.SSSs]". The exit status: 0 passed, 1 otherwise.
int burn_run(const Plan& plan, const BurnOptions& options);
