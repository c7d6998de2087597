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

// The rule lines (comments left out) of the rule files in `dir` that name the boards' vendor.
std::vector<std::string> board_rules(const std::string& dir) {
    std::vector<std::string> rules;
    DIR* d = opendir(dir.c_str());
    if (!d) return rules;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 6 || name.compare(name.size() - 6, 6, ".rules") != 0) continue;
        FILE* f = fopen((dir + "/" + name).c_str(), "r");
        if (!f) continue;
        char line[1024];
        while (fgets(line, sizeof(line), f)) {
            std::string l = lower(line);
            size_t start = l.find_first_not_of(" \t");
            if (start == std::string::npos || l[start] == '#') continue;
            if (l.find("4f2d") != std::string::npos) rules.push_back(l);
        }
        fclose(f);
    }
    closedir(d);
    return rules;
}

}  // namespace

std::string udev_problem_in(const std::vector<std::string>& rule_dirs,
                            const std::vector<std::string>& groups) {
    std::vector<std::string> rules;
    for (const std::string& dir : rule_dirs) {
        std::vector<std::string> found = board_rules(dir);
        rules.insert(rules.end(), found.begin(), found.end());
    }
    if (rules.empty()) return "no udev rule grants access to idVendor 4f2d";
    bool uaccess = false, plugdev = false;
    for (const std::string& r : rules) {
        uaccess = uaccess || r.find("uaccess") != std::string::npos;
        plugdev = plugdev || r.find("plugdev") != std::string::npos;
    }
    bool in_plugdev = std::find(groups.begin(), groups.end(), "plugdev") != groups.end();
    if (plugdev && !in_plugdev && !uaccess) return "user is not in group 'plugdev'";
    if (plugdev && !in_plugdev)
        return "user is not in group 'plugdev' and the login session is not local";
    return kUdevRulePresent;
}
