#include "station/station_options.h"

#include <getopt.h>

#include "cli/vorn_main.h"

namespace {

const option kOptions[] = {
    {"once", no_argument, nullptr, 'o'},
    {nullptr, 0, nullptr, 0},
};

// A count of at least `least` through the front end's number parser.
bool read_count(const char* text, int least, int* out) {
    long long n = parse_num(text);
    if (n < least || n > 1000000) return false;
    *out = static_cast<int>(n);
    return true;
}

}  // namespace

bool parse_station_options(int count, char** words, StationOptions* out, std::string* error) {
    // getopt keeps its position in process-wide state; 0 restarts it from scratch.
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(count, words, "+f:j:n:ar:l:T:", kOptions, nullptr)) != -1) {
        switch (c) {
            case 'f': out->plan = optarg; break;
            case 'r': out->report = optarg; break;
            case 'l': out->log_dir = optarg; break;
            case 'a': out->again = true; break;
            case 'o': out->once = true; break;
            case 'T': {
                int secs;
                if (!read_count(optarg, 1, &secs)) {
                    *error = std::string("-T takes a number of seconds, not: ") + optarg;
                    return false;
                }
                out->step_limit = optarg;
                break;
            }
            case 'j':
            case 'n':
                if (!read_count(optarg, 1, c == 'j' ? &out->jobs : &out->count)) {
                    *error = std::string("-") + (char)c + " takes a number of boards, not: " + optarg;
                    return false;
                }
                break;
            default:
                *error = std::string("unknown option, or one without its value: ") + words[optind - 1];
                return false;
        }
    }
    if (optind < count) {
        *error = std::string("unexpected word: ") + words[optind];
        return false;
    }
    if (out->plan.empty()) *error = "a plan is needed: -f PLAN";
    return !out->plan.empty();
}
