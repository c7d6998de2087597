// A step's words as they are run: the board's names put in, and the files taken from the plan's
// folder.
#include <cstring>

#include "cli/handlers.h"
#include "plan/plan.h"
#include "util/platform.h"

namespace {

std::string substitute(const std::string& word, const PlanBoard& board) {
    std::string out;
    for (size_t i = 0; i < word.size();) {
        if (word.compare(i, 9, "${serial}") == 0) {
            out += board.serial;
            i += 9;
        } else if (word.compare(i, 7, "${port}") == 0) {
            out += board.port;
            i += 7;
        } else {
            out += word[i++];
        }
    }
    return out;
}

bool is_absolute(const char* path) {
    if (path[0] && strchr(path_separators(), path[0])) return true;
    // A drive letter, where the system has them.
    return strchr(path_separators(), '\\') && path[0] && path[1] == ':';
}

// Pointers to the words, as a command handler takes them.
std::vector<char*> word_pointers(std::vector<std::string>& words) {
    std::vector<char*> p;
    for (std::string& w : words) p.push_back(&w[0]);
    p.push_back(nullptr);
    return p;
}

}  // namespace

std::vector<std::string> plan_step_words(const Plan& plan, const PlanStep& step, const PlanBoard* board) {
    std::vector<std::string> words = step.words;
    if (board)
        for (std::string& w : words) w = substitute(w, *board);
    if (step.expect() || plan.folder == ".") return words;
    std::vector<char*> p = word_pointers(words);
    std::vector<CommandFileWord> files = command_file_words(p.data(), (int)words.size());
    for (const CommandFileWord& f : files) {
        std::string& w = words[f.index];
        if (f.offset < w.size() && !is_absolute(w.c_str() + f.offset)) w.insert(f.offset, plan.folder + "/");
    }
    return words;
}

std::vector<StepFile> plan_step_files(const std::vector<std::string>& words) {
    std::vector<std::string> copy = words;
    std::vector<char*> p = word_pointers(copy);
    std::vector<StepFile> out;
    if (copy.empty() || copy[0] == "expect") return out;
    for (const CommandFileWord& f : command_file_words(p.data(), (int)copy.size()))
        out.push_back({copy[f.index].substr(f.offset), f.sent});
    return out;
}
