#include "station/child_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool starts_with(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

bool ends_with(const std::string& s, const char* suffix) {
    size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// "S.SSSs]" at `pos` up to the end of the line.
bool read_seconds(const std::string& s, size_t pos, double* out) {
    if (pos >= s.size() || !ends_with(s, "s]")) return false;
    char* end = nullptr;
    *out = strtod(s.c_str() + pos, &end);
    return end == s.c_str() + s.size() - 2;
}

// "K/N" at `pos`; *pos is moved past it.
bool read_step(const std::string& s, size_t* pos, int* k, int* n) {
    int used = 0;
    if (sscanf(s.c_str() + *pos, "%d/%d%n", k, n, &used) != 2 || *k < 1 || *n < *k) return false;
    *pos += static_cast<size_t>(used);
    return true;
}

// "board at PORT: serial SERIAL, stage STAGE"
bool parse_board(const std::string& s, ChildLine* out) {
    if (!starts_with(s, "board at ")) return false;
    size_t colon = s.find(": serial ", 9);
    size_t stage = s.rfind(", stage ");
    if (colon == std::string::npos || stage == std::string::npos || stage < colon) return false;
    out->port = s.substr(9, colon - 9);
    out->serial = s.substr(colon + 9, stage - colon - 9);
    out->stage = s.substr(stage + 8);
    out->kind = ChildLineKind::Board;
    return true;
}

// What follows "step K/N (WORDS": the end of one of the step lines.
bool parse_step_end(const std::string& s, size_t open, ChildLine* out) {
    size_t failed = s.find(") failed: ", open);
    if (failed != std::string::npos) {
        out->words = s.substr(open, failed - open);
        out->reason = s.substr(failed + 10);
        out->kind = ChildLineKind::StepFailed;
        return true;
    }
    size_t skipped = s.rfind(") skipped (board in ");
    if (skipped != std::string::npos && skipped >= open && ends_with(s, ")")) {
        out->words = s.substr(open, skipped - open);
        out->stage = s.substr(skipped + 20, s.size() - skipped - 21);
        out->kind = ChildLineKind::StepSkipped;
        return true;
    }
    size_t passed = s.rfind(") passed [");
    if (passed != std::string::npos && passed >= open && read_seconds(s, passed + 10, &out->seconds)) {
        out->words = s.substr(open, passed - open);
        out->kind = ChildLineKind::StepPassed;
        return true;
    }
    if (!ends_with(s, ")")) return false;
    out->words = s.substr(open, s.size() - 1 - open);
    out->kind = ChildLineKind::StepStarted;
    return true;
}

bool parse_step(const std::string& s, ChildLine* out) {
    size_t pos = 5;
    if (!starts_with(s, "step ") || !read_step(s, &pos, &out->step, &out->steps) || s.compare(pos, 2, " (") != 0)
        return false;
    return parse_step_end(s, pos + 2, out);
}

// "burn: passed [S.SSSs]", "burn: failed at step K/N [S.SSSs]", "burn: aborted at step K/N [...]"
bool parse_end(const std::string& s, ChildLine* out) {
    if (starts_with(s, "burn: passed [")) {
        if (!read_seconds(s, 14, &out->seconds)) return false;
        out->kind = ChildLineKind::Passed;
        return true;
    }
    bool failed = starts_with(s, "burn: failed at step ");
    if (!failed && !starts_with(s, "burn: aborted at step ")) return false;
    size_t pos = failed ? 21 : 22;
    if (!read_step(s, &pos, &out->step, &out->steps) || s.compare(pos, 2, " [") != 0 ||
        !read_seconds(s, pos + 2, &out->seconds))
        return false;
    out->kind = failed ? ChildLineKind::Failed : ChildLineKind::Aborted;
    return true;
}

// "[%3d%%/%5lldMBytes] %dms"
bool parse_progress(const std::string& s, ChildLine* out) {
    char tail[2];
    int used = 0;
    if (sscanf(s.c_str(), "[%d%%/%lldMBytes] %lldms%n%1s", &out->percent, &out->mbytes, &out->ms, &used, tail) != 3 ||
        static_cast<size_t>(used) != s.size())
        return false;
    out->kind = ChildLineKind::Progress;
    return true;
}

}  // namespace

ChildLine parse_child_line(const std::string& line) {
    // Each reading starts afresh: one that fails half-way leaves its fields behind.
    for (bool (*parse)(const std::string&, ChildLine*) : {parse_board, parse_step, parse_end, parse_progress}) {
        ChildLine out;
        if (parse(line, &out)) return out;
    }
    return ChildLine();
}

std::string command_word(const std::string& words) {
    size_t start = words.find_first_not_of(' ');
    if (start == std::string::npos) return std::string();
    return words.substr(start, words.find(' ', start) - start);
}
