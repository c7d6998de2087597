// The image-type probe against a crafted sparse image of many tiny chunks (by default 10
// million fill chunks, 160 MB): its peak resident memory and its time next to a plain read of
// the same file from the page cache. Each measure runs in a process of its own, so that its
// peak memory is its own. When the image has at most 2 million chunks, its expansion (the
// expanded encoding of the imported image, written to /dev/null) is timed too, and the peak
// memory of the import that it needs is shown.
// Usage: bench_sparse_probe [scratch folder] [chunks] (default /tmp, 10000000)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/bench_timing.h"
#include "sparse/aligned_buf.h"
#include "sparse/sparse.h"
#include "sparse/sparse_format.h"

namespace {

// Header, then `chunks` fill chunks of one 4096-byte block each, every one another value.
bool make_image(const std::string& path, uint32_t chunks) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    AlignedBuf buf(1 << 20);
    auto* p = static_cast<uint8_t*>(buf.p);
    sparse_header h = {SPARSE_HEADER_MAGIC, SPARSE_MAJOR_VERSION, 0, SPARSE_HEADER_LEN,
                       CHUNK_HEADER_LEN,    4096,                 chunks, chunks, 0};
    sparse_header_encode(h, p);
    size_t used = SPARSE_HEADER_LEN;
    bool ok = true;
    for (uint32_t i = 0; i < chunks && ok; i++) {
        chunk_header_encode({CHUNK_FILL, 0, 1, CHUNK_HEADER_LEN + 4}, p + used);
        put_le32(p + used + CHUNK_HEADER_LEN, i);
        used += CHUNK_HEADER_LEN + 4;
        if (used + 16 > (1 << 20) || i + 1 == chunks) {
            ok = write(fd, p, used) == ssize_t(used);
            used = 0;
        }
    }
    return close(fd) == 0 && ok;
}

void plain_read(const std::string& path) {
    AlignedBuf buf(1 << 20);
    int fd = open(path.c_str(), O_RDONLY);
    while (read(fd, buf.p, 1 << 20) > 0) {
    }
    close(fd);
}

// The measure named by `mode`, in this process: prints its best time in seconds.
int run_mode(const std::string& mode, const std::string& path) {
    double t = 0;
    int result = 0;
    if (mode == "read") {
        t = best_of(3, [&] { plain_read(path); });
    } else if (mode == "probe") {
        int saved = dup(2), devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 2);  // "sparse format detected"
        t = best_of(3, [&] {
            int fd = open(path.c_str(), O_RDONLY);
            result = sparse_img_probe(fd);
            close(fd);
        });
        dup2(saved, 2);
        if (result != 1) return 1;
    } else if (mode == "expand") {
        int fd = open(path.c_str(), O_RDONLY);
        int out = open("/dev/null", O_WRONLY);
        sparse_file* s = sparse_file_import(fd, false, false);
        if (!s) return 1;
        t = best_of(3, [&] { result = sparse_file_write(s, out, false, false, false); });
        sparse_file_destroy(s);
        close(out);
        close(fd);
        if (result != 0) return 1;
    }
    printf("%.6f\n", t);
    return 0;
}

struct Measure {
    double seconds = -1;
    double peak_mib = -1;
};

// Runs this program in `mode` and collects its time and its peak resident memory.
Measure measure(const char* self, const char* mode, const std::string& path) {
    int fds[2];
    Measure m;
    if (pipe(fds) != 0) return m;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execl(self, self, "--run", mode, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char text[64] = {};
    ssize_t n = read(fds[0], text, sizeof(text) - 1);
    close(fds[0]);
    int status = 0;
    struct rusage ru = {};
    wait4(pid, &status, 0, &ru);
    if (n > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        m.seconds = atof(text);
        m.peak_mib = ru.ru_maxrss / 1024.0;
    }
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && !strcmp(argv[1], "--run")) return run_mode(argv[2], argv[3]);
    std::string dir = std::string(argc > 1 ? argv[1] : "/tmp") + "/bench-sparse-probe-" +
                      std::to_string(getpid());
    const uint32_t chunks = argc > 2 ? uint32_t(strtoul(argv[2], nullptr, 0)) : 10000000;
    if (mkdir(dir.c_str(), 0755) != 0) return 1;
    std::string path = dir + "/fills.sparse.img";
    if (!make_image(path, chunks)) return 1;
    plain_read(path);  // into the page cache

    Measure base = measure(argv[0], "none", path);
    Measure read = measure(argv[0], "read", path);
    Measure probe = measure(argv[0], "probe", path);
    off_t size = 0;
    {
        int fd = open(path.c_str(), O_RDONLY);
        size = lseek(fd, 0, SEEK_END);
        close(fd);
    }
    printf("sparse image of %u fill chunks, %.1f MB, in the page cache\n", chunks, size / 1e6);
    printf("  plain read:  %8.1f ms, peak memory %6.1f MiB\n", read.seconds * 1e3, read.peak_mib);
    printf("  probe:       %8.1f ms, peak memory %6.1f MiB (process alone: %.1f MiB)\n",
           probe.seconds * 1e3, probe.peak_mib, base.peak_mib);
    printf("  probe / plain read: %.2f (target at most 3); probe memory above the process "
           "alone: %.1f MiB (target under 16 MiB)\n",
           probe.seconds / read.seconds, probe.peak_mib - base.peak_mib);
    if (chunks <= 2000000) {
        Measure expand = measure(argv[0], "expand", path);
        printf("  expansion to /dev/null: %.1f ms; peak memory with the import: %.1f MiB\n",
               expand.seconds * 1e3, expand.peak_mib);
    }
    unlink(path.c_str());
    rmdir(dir.c_str());
    return probe.seconds >= 0 && read.seconds >= 0 ? 0 : 1;
}
