// A factory station's figure: the wall time of burning one board against burning eight at once,
// one vorn process per board, over the emulated bus; then the same through "vorn station" with
// each board's link modelled at 40 MB/s, with the CPU time the station and its burns spend per
// GiB burned.
//
//   bench_parallel_burn [MiB [runs]]   (default: 4 MiB per image, best of 3 runs)
//
// Each run starts the emulator with the boards, burns an image of the given size into each
// board's "system" partition in parallel, and ends when every vorn process has ended; a run in
// which any burn fails stops the program.
//
// The emulated bus serves every board's transfers on one thread of the emulator, through
// umockdev's sockets, so it carries only so much in all (the bare burns' "in all" figure). When
// eight links of 40 MB/s ask for more than that, the ratio measures the emulator, not the
// station; the station is therefore also timed with links slow enough for the bus to carry all
// eight at once, where any ratio above 1 is the station's and the host's own.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "bench/bench_files.h"
#include "bench/bench_timing.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "bench_parallel_burn: %s\n", what.c_str());
    exit(1);
}

void make_image(const std::string& path, size_t size, uint32_t seed) {
    if (!write_seeded_file(path, size, seed)) fail("cannot write " + path);
}

// One emulator session with `boards` boards, each burned by its own vorn process at once.
std::string station(int boards, size_t mib, const std::string& dir) {
    std::string burns = "pids=''; for i in $(seq 1 " + std::to_string(boards) + "); do " VORN_EXE
                        " -s 1-$i partition -p system -f " + dir + "/img$i.bin >" + dir +
                        "/burn$i.log 2>&1 & pids=\"$pids $!\"; done; s=0; for p in $pids; do wait $p || s=1; done; exit $s";
    return std::string(VORN_EMU_EXE) + " -t 600 -n " + std::to_string(boards) +
           " --feature media:part=store/system/" + std::to_string(mib) + "M -- sh -c '" + burns + "'";
}

// "vorn station --once" over `boards` boards whose links carry `rate` MB/s; the shell's "times"
// writes the CPU time of the station and its burns (its children) into dir/times.
std::string station_run(int boards, size_t mib, int rate, const std::string& dir) {
    std::string inner = VORN_EXE " station -f " + dir + "/station.plan --once >" + dir + "/station.log 2>&1; s=$?; times >" +
                        dir + "/times; exit $s";
    return std::string(VORN_EMU_EXE) + " -t 600 -n " + std::to_string(boards) +
           " --link-rate " + std::to_string(rate) + " --feature media:part=store/system/" + std::to_string(mib) + "M -- sh -c '" + inner + "'";
}

// The children's user and system seconds from the second line of "times": "0m1.25s 0m0.50s".
double children_cpu(const std::string& path) {
    FILE* f = fopen(path.c_str(), "r");
    char line[256];
    double total = 0;
    for (int i = 0; f && fgets(line, sizeof(line), f); i++) {
        double um, us, sm, ss;
        if (i == 1 && sscanf(line, "%lfm%lfs %lfm%lfs", &um, &us, &sm, &ss) == 4) total = um * 60 + us + sm * 60 + ss;
    }
    if (f) fclose(f);
    return total;
}

void station_figures(size_t mib, int runs, int rate, const std::string& dir) {
    FILE* plan = fopen((dir + "/station.plan").c_str(), "w");
    if (!plan) fail("cannot write the plan");
    fprintf(plan, "partition -p system -f %s/img1.bin\n", dir.c_str());
    fclose(plan);
    double t[2] = {0, 0}, cpu[2] = {0, 0};
    const int boards[2] = {1, 8};
    for (int k = 0; k < 2; k++) {
        std::string line = station_run(boards[k], mib, rate, dir);
        cpu[k] = 1e30;
        t[k] = best_of(runs, [&] {
            if (system(line.c_str()) != 0) fail("a station run failed; see " + dir + "/station.log");
            cpu[k] = std::min(cpu[k], children_cpu(dir + "/times"));
        });
    }
    double gib = 8.0 * (double)mib / 1024.0;
    printf("vorn station, link of %d MB/s per board, best of %d runs:\n", rate, runs);
    printf("  1 board:              %7.3f s\n", t[0]);
    printf("  8 boards:             %7.3f s (%.2f x the time of one; target 1.25 or less)\n", t[1], t[1] / t[0]);
    printf("  CPU of station and burns: %.2f s for 8 boards, %.2f s per GiB burned\n", cpu[1], cpu[1] / gib);
}

}  // namespace

int main(int argc, char** argv) {
    size_t mib = argc > 1 ? strtoul(argv[1], nullptr, 10) : 4;
    int runs = argc > 2 ? atoi(argv[2]) : 3;
    if (mib == 0 || runs <= 0) fail("usage: bench_parallel_burn [MiB [runs]]");
    char tmpl[] = "/tmp/vorn-bench-XXXXXX";
    if (!mkdtemp(tmpl)) fail("cannot make a scratch folder");
    std::string dir = tmpl;
    for (int i = 1; i <= 8; i++) make_image(dir + "/img" + std::to_string(i) + ".bin", mib << 20, 1000 + i);

    double t[2] = {0, 0};
    const int boards[2] = {1, 8};
    for (int k = 0; k < 2; k++) {
        std::string line = station(boards[k], mib, dir);
        t[k] = best_of(runs, [&] {
            if (system(line.c_str()) != 0) fail("a burn failed; see " + dir + "/burn*.log");
        });
    }
    printf("burn of %zu MiB per board, best of %d runs:\n", mib, runs);
    printf("  1 board:              %7.3f s\n", t[0]);
    printf("  8 boards in parallel: %7.3f s (%.2f x the time of one, %.1f MiB/s in all)\n", t[1], t[1] / t[0],
           8.0 * (double)mib / t[1]);
    station_figures(mib, runs, 40, dir);
    // Eight links that together ask for half of what the bus carried in all.
    double capacity_mb = 8.0 * (double)(mib << 20) / t[1] / 1e6;
    int slow = std::max(1, (int)(capacity_mb / 8 / 2));
    station_figures(mib, runs, slow, dir);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return 0;
}
