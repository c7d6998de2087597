#include "station/plan_check.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>

#include "util/owned.h"
#include "util/platform.h"

bool station_plan_ok(const std::string& plan) {
    OwnedFd fd(open_host_file(plan.c_str(), O_RDONLY));
    if (fd.get() < 0) {
        fprintf(stderr, "%s: %s\n", plan.c_str(), error_text(errno));
        return false;
    }
    return true;
}
