// The whole-plan check before anything is sent: each step's command makes its own checks of its
// words and files (its handler queues, and the queue is emptied again), with what it would have
// printed kept as the reason.
#include <algorithm>
#include <sys/stat.h>

#include "cli/vorn_main.h"
#include "engine/action.h"
#include "plan/plan.h"
#include "util/log.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

// A command text holds at most 127 characters; a longer one would end the run at queueing time.
constexpr size_t kMaxCommandText = 127;

// The refusal lines without their prefixes, joined; information lines are left out.
std::string reason_of(const std::string& captured, int status) {
    std::string reason;
    size_t pos = 0;
    while (pos < captured.size()) {
        size_t end = captured.find('\n', pos);
        if (end == std::string::npos) end = captured.size();
        std::string line = captured.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line.compare(0, 8, "MSG[VXN]") == 0) continue;
        if (line.compare(0, 8, "ERR[VXN]") == 0) line = line.substr(8);
        reason += (reason.empty() ? "" : "; ") + line;
    }
    return reason.empty() ? StringPrintf("refused (status %d)", status) : reason;
}

// A partition step whose image starts like a sparse image but fails its checks: the command
// would burn its container bytes as a normal image, which a plan checked beforehand refuses
// (the step can say "-t normal" to burn it so on purpose).
std::string damaged_image(const std::string& captured) {
    static const char kSaid[] = " looks like a sparse image but ";
    static const char kAfter[] = "; burning it as a normal image";
    size_t at = captured.find(kSaid);
    if (at == std::string::npos) return "";
    size_t begin = captured.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    if (captured.compare(begin, 8, "MSG[VXN]") == 0) begin += 8;
    size_t end = captured.find(kAfter, at);
    if (end == std::string::npos) end = captured.find('\n', at);
    return captured.substr(begin, end - begin) + "; give -t normal to burn it as a normal image";
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
    // Systems without inode numbers report 0; the sizes and times then have to do.
    if (sa.st_ino != 0) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return a == b || (sa.st_size == sb.st_size && sa.st_mtime == sb.st_mtime && sa.st_ctime == sb.st_ctime);
}

// The texts that would end the run when queued; "" when none.
std::string text_length_fault(const std::vector<std::string>& words) {
    const std::string& w = words[0];
    size_t n = 0;
    if (w == "oem" || w == "cmd") {
        n = 3;
        for (size_t i = 1; i < words.size(); i++) n += 1 + words[i].size();
        if (words.size() < 2) n = 0;
    } else if ((w == "bl1_boot" || w == "bl2_boot") && words.size() >= 3) {
        n = words[2].size();
    }
    if (n <= kMaxCommandText) return "";
    return StringPrintf("command text of %d characters, at most %d", (int)n, (int)kMaxCommandText);
}

// The command's own checks of one step; "" when it would queue.
std::string check_step(const Plan& plan, const std::vector<std::string>& words) {
    for (const StepFile& f : plan_step_files(words))
        if (same_file(f.path, plan.path)) return "the step names the plan itself (" + f.path + ")";
    std::string fault = text_length_fault(words);
    if (!fault.empty()) return fault;
    std::vector<std::string> copy = words;
    std::vector<char*> p;
    for (std::string& w : copy) p.push_back(&w[0]);
    p.push_back(nullptr);
    std::string captured;
    log_capture(&captured);
    int status = vorn_queue_command(p.data(), (int)copy.size());
    log_capture(nullptr);
    fb_queue_reset();
    return status ? reason_of(captured, status) : damaged_image(captured);
}

}  // namespace

bool plan_check(const Plan& plan, const PlanBoard* board, std::vector<PlanFault>* faults) {
    size_t before = faults->size();
    for (const PlanStep& step : plan.steps) {
        if (step.expect() || step.per_board() != (board != nullptr)) continue;
        std::string fault = check_step(plan, plan_step_words(plan, step, board));
        if (!fault.empty()) faults->push_back({step.line, fault});
    }
    return faults->size() == before;
}

bool plan_load_checked(const std::string& path, Plan* plan, std::string* faults_text) {
    std::vector<PlanFault> faults;
    plan_read(path, plan, &faults);
    plan_check(*plan, nullptr, &faults);
    std::stable_sort(faults.begin(), faults.end(),
                     [](const PlanFault& a, const PlanFault& b) { return a.line < b.line; });
    *faults_text = plan_faults_text(path, faults);
    return faults.empty();
}
