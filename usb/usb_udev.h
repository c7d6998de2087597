// What can be found out about why the user may not open a board.
#pragma once
#include <string>
#include <vector>

// The problem text when a rule grants access and should have applied: the board was most likely
// plugged in before the rule was installed.
extern const char kUdevRulePresent[];

// A short description of the permission problem, or empty when none can be named.
std::string GetUdevProblem();
// The same, from the rule files in `rule_dirs`, for a user in the groups `groups` (names).
std::string udev_problem_in(const std::vector<std::string>& rule_dirs,
                            const std::vector<std::string>& groups);

// The line told after the no-permission text: which installed rule file grants access (and where)
// and how to make it apply, or how to install it when none does; empty where the system has no
// udev.
std::string GetUdevAdvice();
// The same, from the rule files in `rule_dirs` (udev's order of precedence) for a user in the
// groups `groups`.
std::string udev_advice_in(const std::vector<std::string>& rule_dirs,
                           const std::vector<std::string>& groups);
