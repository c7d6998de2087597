#include "util/version.h"

#include <cstdio>

void print_version(const char* tool, const char* version) {
    printf("%s %s\nsource revision: %s\n", tool, version, vorn_source_revision);
    fflush(stdout);
}
