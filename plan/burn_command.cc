#include "plan/burn_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/vorn_main.h"
#include "plan/plan.h"
#include "plan/plan_report.h"
#include "plan/plan_run.h"
#include "util/log.h"
#include "util/platform.h"

namespace {

// Long enough for a board to restart and come back, or for a stalled transfer to be noticed.
constexpr double kDefaultStepLimit = 60;

struct BurnArgs {
    const char* selector = nullptr;
    const char* plan = nullptr;
    const char* report = nullptr;
    double limit = kDefaultStepLimit;
};

// The words after "burn"; false (with the refusal printed) when they are not complete.
bool parse_burn_words(char** words, int count, BurnArgs* a) {
    for (int i = 1; i < count; i++) {
        const char* w = words[i];
        bool takes = !strcmp(w, "-f") || !strcmp(w, "-r") || !strcmp(w, "-T");
        if (!strcmp(w, "-h") || !strcmp(w, "--help")) {
            usage();
            return false;
        }
        if (!takes) {
            qrx_log_out("ERR[VXN]", "burn: unknown word \"%s\" (burn -f <planPath> [-r <reportPath>] [-T <seconds>])\n", w);
            return false;
        }
        if (i + 1 >= count) {
            qrx_log_out("ERR[VXN]", "burn: %s needs a value\n", w);
            return false;
        }
        const char* v = words[++i];
        if (w[1] == 'f') a->plan = v;
        if (w[1] == 'r') a->report = v;
        if (w[1] == 'T') {
            long long n = parse_num(v);
            if (n < 0 || n > 86400 * 7) {
                qrx_log_out("ERR[VXN]", "burn: illegal -T %s (seconds, 0 for no limit)\n", v);
                return false;
            }
            a->limit = (double)n;
        }
    }
    if (a->plan) return true;
    qrx_log_out("ERR[VXN]", "burn needs -f <planPath>\n");
    return false;
}

}  // namespace

bool is_burn_command(int argc, char** argv) {
    int first = (argc > 3 && !strcmp(argv[1], "-s")) ? 3 : 1;
    return argc > first && !strcmp(argv[first], "burn");
}

int burn_main(int argc, char** argv) {
    qrx_log_out("MSG[VXN]", "Quenrix USB VXN tool: %s\n", vorn_version_text());
    char** words = argv + 1;
    int count = argc - 1;
    BurnArgs a;
    if (!strcmp(words[0], "-s")) {
        a.selector = words[1];
        words += 2;
        count -= 2;
    }
    if (!parse_burn_words(words, count, &a)) return 1;
    Plan plan;
    std::string faults;
    if (!plan_load_checked(a.plan, &plan, &faults)) {
        stderr_end_open_line();
        fputs(faults.c_str(), stderr);
        return 1;
    }
    BurnOptions options;
    options.selector = a.selector;
    options.step_limit = a.limit;
    if (a.report) {
        // Said now, not after the board was burnt.
        options.report_fd = report_open(a.report);
        if (options.report_fd < 0) {
            qrx_log_out("ERR[VXN]", "cannot write the report %s: %s\n", a.report, error_text(errno));
            return 1;
        }
    }
    return burn_run(plan, options);
}
