// What one line of a burn process says. The burn command reports its board, its steps and its
// end in fixed lines on standard error; the station follows each board through them.
#pragma once
#include <string>

enum class ChildLineKind {
    Other,        // anything else the burn prints (the steps' own output)
    Board,        // "board at PORT: serial SERIAL, stage STAGE"
    StepStarted,  // "step K/N (WORDS)"
    StepPassed,   // "step K/N (WORDS) passed [S.SSSs]"
    StepSkipped,  // "step K/N (WORDS) skipped (board in STAGE)"
    StepFailed,   // "step K/N (WORDS) failed: REASON"
    Progress,     // "[PPP%/MMMMMMBytes] Tms", rewritten in place with "\r"
    Passed,       // "burn: passed [S.SSSs]"
    Failed,       // "burn: failed at step K/N [S.SSSs]"
    Aborted,      // "burn: aborted at step K/N [S.SSSs]"
};

struct ChildLine {
    ChildLineKind kind = ChildLineKind::Other;
    std::string port, serial, stage;  // Board; stage also for StepSkipped
    int step = 0, steps = 0;          // the step lines and the failed or aborted end
    std::string words;                // the step's words
    std::string reason;               // StepFailed
    double seconds = 0;               // StepPassed and the end lines
    int percent = 0;                  // Progress
    long long mbytes = 0;             // Progress: the whole transfer's size in MiB
    long long ms = 0;                 // Progress: time since the transfer started
};

// The line without its line end ("\n", "\r\n" or the "\r" of a progress line).
ChildLine parse_child_line(const std::string& line);

// The first word of a step's words: its command ("partition", "expect", ...).
std::string command_word(const std::string& words);
