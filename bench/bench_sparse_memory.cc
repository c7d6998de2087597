// Peak memory while writing the sparse encoding of a 2 GiB normal image whose blocks are all
// different (one run read from the file): the run is streamed in bounded pieces, so the peak
// stays a few MiB above the start instead of the run's length.
// Usage: bench_sparse_memory [scratch folder] (default /tmp)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "sparse/aligned_buf.h"
#include "sparse/sparse.h"

namespace {

long peak_rss_kib() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int64_t counted = 0;
int count(void*, const void*, int len) {
    counted += len;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = std::string(argc > 1 ? argv[1] : "/tmp") + "/bench-sparse-mem-" +
                       std::to_string(getpid()) + ".img";
    const int64_t size = int64_t(2) << 30;
    {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        auto* buf = static_cast<uint64_t*>(aligned_buf_alloc(1 << 20));
        uint64_t x = 1;
        for (int64_t done = 0; done < size; done += 1 << 20) {
            for (size_t i = 0; i < (1 << 20) / 8; i++) buf[i] = x = x * 6364136223846793005ull + 1;
            if (write(fd, buf, 1 << 20) != 1 << 20) return 1;
        }
        aligned_buf_free(buf);
        close(fd);
    }
    long before = peak_rss_kib();

    int fd = open(path.c_str(), O_RDONLY);
    auto t0 = std::chrono::steady_clock::now();
    sparse_file* s = sparse_file_import_auto(fd, false, false);
    if (!s) return 1;
    int out = open("/dev/null", O_WRONLY);
    int ret = sparse_file_write(s, out, false, true, false);
    int ret2 = sparse_file_callback(s, true, false, count, nullptr);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(out);
    long after = peak_rss_kib();
    printf("2 GiB non-uniform normal image: %d chunk(s), sparse encoding written to a descriptor "
           "(%d) and a callback (%d, %lld bytes) in %.2f s\n",
           sparse_count_chunks(s), ret, ret2, (long long)counted, secs);
    printf("peak resident memory: %.1f MiB before, %.1f MiB after (+%.1f MiB; limit 64 MiB)\n",
           before / 1024.0, after / 1024.0, (after - before) / 1024.0);
    sparse_file_destroy(s);
    close(fd);
    unlink(path.c_str());
    return (ret == 0 && ret2 == 0 && after < 64 * 1024) ? 0 : 1;
}
