// Burn plans: a file of vorn command lines, one step a line, that one "burn" run carries out on
// one board. This header offers the plan as read and checked, for "burn" and for programs that
// run plans on many boards.
#pragma once
#include <string>
#include <vector>

// Stage bytes of the identify reply (byte 3), as the getvar display names them.
constexpr int kStageBl1 = 0;
constexpr int kStageBl2 = 8;
constexpr int kStageBl2e = 12;
constexpr int kStageTpl = 16;
// "BL1", "BL2", "BL2E", "TPL", or "undefined(N)".
std::string plan_stage_name(int stage);

struct PlanStep {
    int line = 0;
    // The stages the step runs in; empty: every stage.
    std::vector<int> stages;
    // The words as the plan writes them, quotes taken off; "${serial}" and "${port}" not yet
    // replaced, paths not yet taken from the plan's folder.
    std::vector<std::string> words;
    bool expect() const { return !words.empty() && words[0] == "expect"; }
    // True when a word names "${serial}" or "${port}": its files are checked per board.
    bool per_board() const;
};

struct Plan {
    std::string path;
    // The folder relative paths of the steps are taken from.
    std::string folder;
    std::vector<PlanStep> steps;
};

// One fault: line 0 is the plan as a whole.
struct PlanFault {
    int line;
    std::string reason;
};

// Reads and parses the plan file; false with every fault found (all lines are read).
bool plan_read(const std::string& path, Plan* plan, std::vector<PlanFault>* faults);

// The values "${serial}" and "${port}" stand for.
struct PlanBoard {
    std::string serial;
    std::string port;
};

// A step's words as they are run: "${...}" replaced (when `board` is given) and relative paths of
// files taken from the plan's folder.
std::vector<std::string> plan_step_words(const Plan& plan, const PlanStep& step, const PlanBoard* board);

// The files a step's words name and whether each is sent to the board (true) or written (false),
// as the command itself reads its words.
struct StepFile {
    std::string path;
    bool sent;
};
std::vector<StepFile> plan_step_files(const std::vector<std::string>& words);

// The checks each command makes of its words and files, made for every step before anything is
// sent: the steps without "${...}" when `board` is null, else the steps with "${...}" for that
// board. Nothing is printed; false with the faults.
bool plan_check(const Plan& plan, const PlanBoard* board, std::vector<PlanFault>* faults);

// Reads and checks a plan as "burn" does before the board is touched. True when it may run;
// otherwise `faults_text` holds one "PLAN:LINE: reason" line (or "PLAN: reason" for the plan as
// a whole) per fault, in line order.
bool plan_load_checked(const std::string& path, Plan* plan, std::string* faults_text);

// "PLAN:LINE: reason\n" lines of the faults.
std::string plan_faults_text(const std::string& path, const std::vector<PlanFault>& faults);
