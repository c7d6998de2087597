#include "usb/usb_udev.h"

#include <grp.h>
#include <unistd.h>

#include <iterator>

namespace {

// Where udev reads its rules from, in its own order of precedence.
const char* const kRuleDirs[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                                 "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};

std::vector<std::string> my_groups() {
    std::vector<std::string> names;
    int n = getgroups(0, nullptr);
    if (n < 0) return names;
    std::vector<gid_t> ids(static_cast<size_t>(n) + 1);
    n = getgroups(n, ids.data());
    if (n < 0) return names;
    ids.resize(static_cast<size_t>(n));
    ids.push_back(getegid());
    for (gid_t id : ids)
        if (group* g = getgrgid(id)) names.push_back(g->gr_name);
    return names;
}

}  // namespace

std::string GetUdevProblem() {
    std::vector<std::string> dirs(std::begin(kRuleDirs), std::end(kRuleDirs));
    return udev_problem_in(dirs, my_groups());
}

std::string GetUdevAdvice() {
    std::vector<std::string> dirs(std::begin(kRuleDirs), std::end(kRuleDirs));
    return udev_advice_in(dirs, my_groups());
}
