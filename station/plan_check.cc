#include "station/plan_check.h"

#include <cstdio>

#include "plan/plan.h"

bool station_plan_ok(const std::string& path) {
    Plan plan;
    std::string faults;
    if (plan_load_checked(path, &plan, &faults)) return true;
    fputs(faults.c_str(), stderr);
    return false;
}
