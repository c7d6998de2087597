#include "usb/usb_udev.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

const char kUdevRulePresent[] = "udev rule present; replug the device";

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

// The rules that name the boards' vendor: their lines (comments left out, in lower case) and the
// file that holds them, the first such file in udev's order of precedence.
struct BoardRules {
    std::vector<std::string> lines;
    std::string file;
};

std::vector<std::string> rule_files(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() >= 6 && name.compare(name.size() - 6, 6, ".rules") == 0) names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Adds the lines of `path` that name the vendor; true when there was one.
bool read_board_rules(const std::string& path, std::vector<std::string>* rules) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return false;
    bool found = false;
    char line[1024];
    while (fgets(line, sizeof(line), f)) {
        std::string l = lower(line);
        size_t start = l.find_first_not_of(" \t");
        if (start == std::string::npos || l[start] == '#') continue;
        if (l.find("4f2d") == std::string::npos) continue;
        rules->push_back(l);
        found = true;
    }
    fclose(f);
    return found;
}

BoardRules board_rules(const std::vector<std::string>& rule_dirs) {
    BoardRules rules;
    for (const std::string& dir : rule_dirs)
        for (const std::string& name : rule_files(dir))
            if (read_board_rules(dir + "/" + name, &rules.lines) && rules.file.empty())
                rules.file = dir + "/" + name;
    return rules;
}

bool any_names(const std::vector<std::string>& lines, const char* word) {
    for (const std::string& l : lines)
        if (l.find(word) != std::string::npos) return true;
    return false;
}

bool in_plugdev(const std::vector<std::string>& groups) {
    return std::find(groups.begin(), groups.end(), "plugdev") != groups.end();
}

const char kApplyRules[] = "sudo udevadm control --reload && sudo udevadm trigger";

}  // namespace

std::string udev_problem_in(const std::vector<std::string>& rule_dirs,
                            const std::vector<std::string>& groups) {
    BoardRules rules = board_rules(rule_dirs);
    if (rules.lines.empty()) return "no udev rule grants access to idVendor 4f2d";
    bool uaccess = any_names(rules.lines, "uaccess");
    bool plugdev = any_names(rules.lines, "plugdev");
    if (plugdev && !in_plugdev(groups) && !uaccess) return "user is not in group 'plugdev'";
    if (plugdev && !in_plugdev(groups))
        return "user is not in group 'plugdev' and the login session is not local";
    return kUdevRulePresent;
}

std::string udev_advice_in(const std::vector<std::string>& rule_dirs,
                           const std::vector<std::string>& groups) {
    BoardRules rules = board_rules(rule_dirs);
    if (rules.lines.empty())
        return std::string("No udev rule for the boards is installed: copy vorn's 70-vorn.rules "
                           "(usb/70-vorn.rules in its sources) into /etc/udev/rules.d, then run: ") +
               kApplyRules;
    std::string told = "The udev rule " + rules.file + " grants access to the boards";
    // A group joined now counts from the next login on.
    if (any_names(rules.lines, "plugdev") && !in_plugdev(groups))
        return told + " to group plugdev: join it (sudo usermod -aG plugdev $USER), then log in again";
    return told + "; to apply it, log in again, or run: " + kApplyRules;
}
