// What a burn plan adds: the wall time of a plan of five steps against the same five commands
// run one by one (five vorn processes, each finding and opening the board), over the emulated
// bus.
//
//   bench_burn_plan [MiB [runs]]   (default: 4 MiB image, best of 5 runs)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "bench/bench_files.h"
#include "bench/bench_timing.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "bench_burn_plan: %s\n", what.c_str());
    exit(1);
}

void make_file(const std::string& path, size_t size, uint32_t seed) {
    if (!write_seeded_file(path, size, seed)) fail("cannot write " + path);
}

const char* const kSteps[] = {"getvar identify", "partition -p system -f img.bin", "setkey key.bin",
                              "oem fuse check", "reboot"};

std::string emulator(size_t mib, const std::string& command) {
    return std::string(VORN_EMU_EXE) + " -t 600 --feature media:part=store/system/" + std::to_string(mib) +
           "M -- sh -c '" + command + "'";
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 4;
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    if (mib == 0 || runs <= 0) fail("usage: bench_burn_plan [MiB [runs]]");
    char tmpl[] = "/tmp/vorn-bench-XXXXXX";
    if (!mkdtemp(tmpl)) fail("cannot make a scratch folder");
    std::string dir = tmpl;
    make_file(dir + "/img.bin", mib << 20, 1);
    make_file(dir + "/key.bin", 16, 2);
    std::string plan, one_by_one = "cd " + dir;
    for (const char* step : kSteps) {
        plan += std::string(step) + "\n";
        one_by_one += std::string(" && ") + VORN_EXE + " " + step + " 2>>" + dir + "/single.log";
    }
    FILE* f = fopen((dir + "/five.plan").c_str(), "w");
    if (!f || fputs(plan.c_str(), f) < 0 || fclose(f) != 0) fail("cannot write the plan");
    std::string burn = std::string(VORN_EXE) + " burn -f " + dir + "/five.plan 2>>" + dir + "/plan.log";

    double t_single = best_of(runs, [&] {
        if (system(emulator(mib, one_by_one).c_str()) != 0) fail("a command failed; see " + dir + "/single.log");
    });
    double t_plan = best_of(runs, [&] {
        if (system(emulator(mib, burn).c_str()) != 0) fail("the plan failed; see " + dir + "/plan.log");
    });
    printf("five steps (%zu MiB image), best of %d runs, emulator start included:\n", mib, runs);
    printf("  five commands one by one: %7.3f s\n", t_single);
    printf("  one burn plan:            %7.3f s (%+.3f s)\n", t_plan, t_plan - t_single);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
