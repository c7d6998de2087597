// Which words of a command line name files, for callers that look at the files before the
// command runs (a burn plan takes them from its own folder and records what was sent).
#include <cstring>

#include "cli/handlers.h"

std::vector<CommandFileWord> command_file_words(char** words, int count) {
    std::vector<CommandFileWord> out;
    if (count < 1) return out;
    const char* w = words[0];
    auto word = [&](int index, bool sent) {
        if (count > index) out.push_back({index, 0, sent});
    };
    if (!strcmp(w, "download") || !strcmp(w, "Download") || !strcmp(w, "setkey") || !strcmp(w, "boot") ||
        !strcmp(w, "mwrite"))
        word(1, true);
    else if (!strcmp(w, "mread"))
        word(1, false);
    else if (!strcmp(w, "bl1_boot") || !strcmp(w, "bl2_boot"))
        word(2, true);  // the word after "-f"
    else if (!strcmp(w, "partition") || !strcmp(w, "Partition"))
        part_file_words(words, count, false, &out);
    else if (!strcmp(w, "upload") || !strcmp(w, "Upload"))
        part_file_words(words, count, true, &out);
    return out;
}
