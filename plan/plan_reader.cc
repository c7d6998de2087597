// Reading a plan file: lines, comments, quotes, stage guards, "${...}" names and the words a step
// may not have. Files and the commands' own checks come later (plan_check.cc).
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "cli/vorn_main.h"
#include "plan/plan.h"
#include "util/file_io.h"
#include "util/owned.h"
#include "util/platform.h"
#include "util/string_printf.h"

using veltrop::base::StringPrintf;

namespace {

// A longer line is refused rather than split: a plan is read by people as much as by vorn.
constexpr size_t kMaxLine = 4096;
// Plans are short; a file this large is not one.
constexpr long long kMaxPlan = 1 << 20;

struct Stage {
    const char* name;
    int value;
};
const Stage kStages[] = {{"BL1", kStageBl1}, {"BL2", kStageBl2}, {"BL2E", kStageBl2e}, {"TPL", kStageTpl}};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(s[b])) b++;
    while (e > b && is_blank(s[e - 1])) e--;
    return s.substr(b, e - b);
}

// "[BL2,BL2E]" without its brackets; false with the reason.
bool parse_guard(const std::string& inside, std::vector<int>* stages, std::string* why) {
    size_t pos = 0;
    for (;;) {
        size_t comma = inside.find(',', pos);
        std::string name = trim(inside.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        const Stage* found = nullptr;
        for (const Stage& s : kStages)
            if (name == s.name) found = &s;
        if (!found) {
            *why = "unknown stage \"" + name + "\" in the guard (BL1, BL2, BL2E or TPL)";
            return false;
        }
        stages->push_back(found->value);
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

// Splits at blanks; double quotes keep blanks inside a word and are taken off. False with the
// reason when a quote is not closed.
bool split_words(const std::string& text, std::vector<std::string>* words, std::string* why) {
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i])) i++;
        if (i == text.size()) break;
        std::string word;
        bool quoted = false;
        for (; i < text.size() && (quoted || !is_blank(text[i])); i++) {
            if (text[i] == '"')
                quoted = !quoted;
            else
                word += text[i];
        }
        if (quoted) {
            *why = "missing closing quote";
            return false;
        }
        words->push_back(word);
    }
    return true;
}

// Every "${" must open "${serial}" or "${port}".
bool check_names(const std::string& word, std::string* why) {
    for (size_t p = word.find("${"); p != std::string::npos; p = word.find("${", p + 2)) {
        size_t end = word.find('}', p);
        if (end == std::string::npos) {
            *why = "\"${\" without its closing \"}\" in \"" + word + "\"";
            return false;
        }
        std::string name = word.substr(p + 2, end - p - 2);
        if (name != "serial" && name != "port") {
            *why = "unknown name ${" + name + "} (only ${serial} and ${port})";
            return false;
        }
    }
    return true;
}

// The words of a step as a command; "" when they may stand in a plan.
std::string step_word_fault(const std::vector<std::string>& words) {
    const std::string& w = words[0];
    if (w == "expect") {
        if (words.size() < 3) return "expect without a value: expect NAME VALUE";
        if (words.size() > 3) return "expect takes one NAME and one VALUE (quote a value with blanks)";
        return "";
    }
    if (w == "devices" || w == "burn" || w == "station") return "\"" + w + "\" is not a step";
    if (w == "-s") return "-s is not a step: the plan runs on the board burn was given";
    if (w == "-h" || w == "--help" || w == "--version") return "\"" + w + "\" is not a step";
    if (!vorn_is_command(w.c_str())) return "unknown command word \"" + w + "\"";
    if (words.size() >= 2 && (words[1] == "-h" || words[1] == "--help"))
        return "\"" + w + " " + words[1] + "\" is not a step";
    return "";
}

// One line that is not blank or a comment; false with the reason.
bool parse_step(const std::string& line, PlanStep* step, std::string* why) {
    std::string text = trim(line);
    if (text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) {
            *why = "stage guard without its closing \"]\"";
            return false;
        }
        if (!parse_guard(text.substr(1, close - 1), &step->stages, why)) return false;
        text = text.substr(close + 1);
    }
    if (!split_words(text, &step->words, why)) return false;
    if (step->words.empty()) {
        *why = "a stage guard without a step";
        return false;
    }
    for (const std::string& w : step->words)
        if (!check_names(w, why)) return false;
    *why = step_word_fault(step->words);
    return why->empty();
}

// The folder part of a path ("." when it has none).
std::string folder_of(const std::string& path) {
    size_t cut = path.find_last_of(path_separators());
    if (cut == std::string::npos) return ".";
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

// The whole file; false with a fault of the plan as a whole.
bool read_plan_file(const std::string& path, std::string* text, std::vector<PlanFault>* faults) {
    OwnedFd fd(open_host_file(path.c_str(), O_RDONLY));
    long long size = fd.get() < 0 ? -1 : sized_input_size(fd.get());
    if (size < 0) {
        faults->push_back({0, StringPrintf("cannot read the plan: %s", file_error_text(errno))});
        return false;
    }
    if (size > kMaxPlan) {
        faults->push_back({0, StringPrintf("not a plan: %lld bytes (a plan is text of at most %lld)", size, kMaxPlan)});
        return false;
    }
    text->resize((size_t)size);
    if (read_full_at(fd.get(), &(*text)[0], size, 0) != size) {
        faults->push_back({0, StringPrintf("cannot read the plan: %s", file_error_text(errno))});
        return false;
    }
    return true;
}

// Text has no NUL bytes and no control characters other than tabs and line ends.
bool is_text_line(const std::string& line) {
    for (unsigned char c : line)
        if (c < 0x20 && c != '\t') return false;
    return true;
}

}  // namespace

std::string plan_stage_name(int stage) {
    for (const Stage& s : kStages)
        if (s.value == stage) return s.name;
    return StringPrintf("undefined(%d)", stage);
}

bool PlanStep::per_board() const {
    for (const std::string& w : words)
        if (w.find("${") != std::string::npos) return true;
    return false;
}

bool plan_read(const std::string& path, Plan* plan, std::vector<PlanFault>* faults) {
    plan->path = path;
    plan->folder = folder_of(path);
    plan->steps.clear();
    std::string text;
    if (!read_plan_file(path, &text, faults)) return false;
    size_t before = faults->size();
    int number = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kMaxLine) {
            faults->push_back({number, StringPrintf("line of %d bytes, longer than %d", (int)line.size(), (int)kMaxLine)});
            continue;
        }
        if (!is_text_line(line)) {
            faults->push_back({0, StringPrintf("not a text file (a control byte on line %d)", number)});
            return false;
        }
        std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        PlanStep step;
        step.line = number;
        std::string why;
        if (parse_step(t, &step, &why))
            plan->steps.push_back(step);
        else
            faults->push_back({number, why});
    }
    if (plan->steps.empty() && faults->size() == before) faults->push_back({0, "the plan has no steps"});
    return faults->size() == before;
}

std::string plan_faults_text(const std::string& path, const std::vector<PlanFault>& faults) {
    std::string text;
    for (const PlanFault& f : faults)
        text += f.line ? StringPrintf("%s:%d: %s\n", path.c_str(), f.line, f.reason.c_str())
                       : StringPrintf("%s: %s\n", path.c_str(), f.reason.c_str());
    return text;
}
