// Throughput of the sparse library on a 1 GiB image in the page cache: block classification
// next to a plain read, the probe of a 10,000-chunk sparse image at two expanded sizes, the
// CRC-32, the sparse encoding through a callback, the 1024-byte staging of the download, and the
// expansion of a sparse image of a million small chunks into a file (vsimg toraw) with the
// read and write calls it makes.
// Usage: bench_sparse_speed [scratch folder] [chunks] (default /tmp; "chunks": the million-chunk
// expansion alone)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/bench_timing.h"
#include "protocol/sparse_download.h"
#include "sparse/aligned_buf.h"
#include "sparse/sparse.h"
#include "sparse/sparse_crc32.h"

namespace {

constexpr int64_t GiB = int64_t(1) << 30;

void fill_noise(uint8_t* p, size_t n, uint64_t& state) {
    for (size_t i = 0; i + 8 <= n; i += 8) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        memcpy(p + i, &state, 8);
    }
}

// A 1 GiB normal image: `uniform_per_8` of every 8 blocks hold one repeated word, the others
// noise. Uniform blocks are the costly ones to classify: every word is compared.
std::string make_image(const std::string& dir, const char* name, int uniform_per_8) {
    std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    auto* buf = static_cast<uint8_t*>(aligned_buf_alloc(1 << 20));
    uint64_t state = 42;
    for (int64_t done = 0; done < GiB; done += 1 << 20) {
        for (size_t b = 0; b < 256; b++) {
            uint8_t* blk = buf + b * 4096;
            if (int(b % 8) < uniform_per_8) {
                uint32_t w = uint32_t(b / 8);
                for (int i = 0; i < 1024; i++) memcpy(blk + 4 * i, &w, 4);
            } else {
                fill_noise(blk, 4096, state);
            }
        }
        if (write(fd, buf, 1 << 20) != 1 << 20) abort();
    }
    aligned_buf_free(buf);
    close(fd);
    return path;
}

double plain_read(const std::string& path) {
    auto* buf = static_cast<char*>(aligned_buf_alloc(1 << 20));
    double t = best_of(3, [&] {
        int fd = open(path.c_str(), O_RDONLY);
        while (read(fd, buf, 1 << 20) > 0) {
        }
        close(fd);
    });
    aligned_buf_free(buf);
    return t;
}

double classify(const std::string& path, size_t* runs_out) {
    return best_of(3, [&] {
        int fd = open(path.c_str(), O_RDONLY);
        sparse_file* s = sparse_file_import_auto(fd, false, false);
        if (!s) abort();
        *runs_out = size_t(sparse_count_chunks(s));
        sparse_file_destroy(s);
        close(fd);
    });
}

// A sparse image of 10,000 chunks: single raw blocks between fills, the fills sized so the
// image expands to `expanded` bytes.
std::string make_sparse(const std::string& dir, int64_t expanded) {
    static std::vector<uint8_t> block(4096, 0x5C);
    const uint32_t pairs = 5000;
    const uint64_t blocks = uint64_t(expanded) / 4096;
    const uint64_t fill_blocks = (blocks - pairs) / pairs;
    sparse_file* s = sparse_file_new(4096, expanded);
    uint64_t b = 0;
    for (uint32_t i = 0; i < pairs; i++) {
        sparse_file_add_data(s, block.data(), 4096, uint32_t(b++));
        uint64_t n = i + 1 < pairs ? fill_blocks : blocks - b;
        sparse_file_add_fill(s, i, uint32_t(n * 4096), uint32_t(b));
        b += n;
    }
    std::string path = dir + "/probe-" + std::to_string(expanded >> 30) + "g.sparse.img";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (sparse_file_write(s, fd, false, true, false) != 0) abort();
    close(fd);
    sparse_file_destroy(s);
    return path;
}

double probe_time(const std::string& path) {
    // The probe reports on the standard error stream; keep it out of the figures.
    int saved = dup(2);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    double t = best_of(20, [&] {
        int fd = open(path.c_str(), O_RDONLY);
        if (sparse_img_probe(fd) != 1) abort();
        close(fd);
    });
    dup2(saved, 2);
    close(saved);
    close(devnull);
    return t;
}

// A consumer that reads every byte it is given, as a real sink would.
int touch(void* priv, const void* data, int len) {
    if (!data) return 0;
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t sum = 0;
    int i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        sum ^= w;
    }
    for (; i < len; i++) sum ^= p[i];
    *static_cast<uint64_t*>(priv) ^= sum;
    return 0;
}

// A transport with a board that accepts any download and throws the data away.
class NullTransport : public Transport {
  public:
    ssize_t Read(void* data, size_t len) override { return Read_timeout(data, len, 0); }
    ssize_t Read_timeout(void* data, size_t len, unsigned) override {
        std::string reply = pending_;
        pending_ = "OKAY";
        size_t n = std::min(len, reply.size());
        memcpy(data, reply.data(), n);
        return ssize_t(n);
    }
    ssize_t Write(const void* data, size_t len) override {
        if (len > 9 && !memcmp(data, "download:", 9)) {
            pending_ = "DATA0x" + std::string(static_cast<const char*>(data) + 9, len - 9);
        } else {
            transfers++;
            bytes += len;
        }
        return ssize_t(len);
    }
    int Close() override { return 0; }
    long long transfers = 0, bytes = 0;

  private:
    std::string pending_ = "OKAY";
};

// A sparse image of 1,000,000 chunks in blocks of 4 bytes: raw and fill chunks in turn, each
// one block, so that every chunk asks for a header read and a small write.
std::string make_many_chunks(const std::string& dir) {
    const uint32_t n = 1000000;
    std::string img;
    img.reserve(28 + size_t(n) * 16);
    auto put = [&img](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++) img += char(v >> (8 * i));
    };
    put(0xED26FF3A, 4), put(1, 2), put(0, 2), put(28, 2), put(12, 2);
    put(4, 4), put(n, 4), put(n, 4), put(0, 4);
    for (uint32_t i = 0; i < n; i++) {
        put(i % 2 ? 0xCAC2 : 0xCAC1, 2), put(0, 2), put(1, 4), put(16, 4);
        put(i * 2654435761u, 4);
    }
    std::string path = dir + "/many-chunks.sparse.img";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (write(fd, img.data(), img.size()) != ssize_t(img.size())) abort();
    close(fd);
    return path;
}

// Read and write calls of the process so far (the kernel's own count).
void io_calls(long long* reads, long long* writes) {
    FILE* f = fopen("/proc/self/io", "r");
    char key[32];
    long long v;
    *reads = *writes = -1;
    while (f && fscanf(f, "%31[^:]: %lld\n", key, &v) == 2) {
        if (!strcmp(key, "syscr")) *reads = v;
        if (!strcmp(key, "syscw")) *writes = v;
    }
    if (f) fclose(f);
}

// What vsimg toraw does: import the sparse image, write the expanded image into a file.
void expand_to_file(const std::string& in, const std::string& out) {
    int fd = open(in.c_str(), O_RDONLY);
    sparse_file* s = sparse_file_import(fd, false, false);
    if (!s) abort();
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (sparse_file_write(s, o, false, false, false) != 0) abort();
    close(o);
    sparse_file_destroy(s);
    close(fd);
}

int count_fragment(void* priv, const void*, int) {
    ++*static_cast<long long*>(priv);
    return 0;
}

// Every figure but the million-chunk expansion.
void run_all_but_chunks(const std::string& dir) {
    const double gb = double(GiB) / 1e9;
    printf("normal read of a 1 GiB image in the page cache (block classification)\n");
    for (int uniform : {8, 4}) {
        std::string img = make_image(dir, uniform == 8 ? "uniform.img" : "mixed.img", uniform);
        plain_read(img);  // into the page cache
        double plain = plain_read(img);
        size_t chunks = 0;
        double cls = classify(img, &chunks);
        printf("  %s blocks: plain read %.2f GB/s, classification %.2f GB/s (%.0f%%), %zu chunks\n",
               uniform == 8 ? "all uniform" : "half uniform", gb / plain, gb / cls,
               100 * plain / cls, chunks);
        if (uniform == 4) {
            int fd = open(img.c_str(), O_RDONLY);
            sparse_file* s = sparse_file_import_auto(fd, false, false);
            uint64_t sum = 0;
            double t = best_of(3, [&] { sparse_file_callback(s, true, false, touch, &sum); });
            printf("  sparse encoding of this image (runs read from the file) through a "
                   "callback: %.2f GB/s\n", gb / t);
            sparse_file_destroy(s);
            close(fd);
        }
        unlink(img.c_str());
    }

    printf("probe of a sparse image with 10,000 chunks\n");
    std::string p1 = make_sparse(dir, GiB), p16 = make_sparse(dir, 16 * GiB);
    double t1 = probe_time(p1), t16 = probe_time(p16);
    printf("  1 GiB expanded: %.3f ms, 16 GiB expanded: %.3f ms, ratio %.2f\n", t1 * 1e3,
           t16 * 1e3, t16 / t1);
    unlink(p1.c_str());
    unlink(p16.c_str());

    {
        const size_t n = 64 << 20;
        auto* buf = static_cast<uint8_t*>(aligned_buf_alloc(n));
        uint64_t st = 7;
        fill_noise(buf, n, st);
        uint32_t crc = 0;
        double t = best_of(5, [&] { crc = sparse_crc32(crc, buf, n); });
        printf("sparse_crc32: %.2f GB/s (crc %08x)\n", double(n) / 1e9 / t, crc);

        // Memory-backed runs: the encoding passes the payload straight on.
        sparse_file* s = sparse_file_new(4096, GiB);
        for (int64_t off = 0; off < GiB; off += n)
            sparse_file_add_data(s, buf, uint32_t(n), uint32_t(off / 4096));
        uint64_t sum = 0;
        double tt = best_of(3, [&] { sparse_file_callback(s, true, false, touch, &sum); });
        printf("sparse encoding of 1 GiB of memory runs through a callback that reads every "
               "byte: %.2f GB/s\n", gb / tt);
        sparse_file_destroy(s);
        aligned_buf_free(buf);
    }

    {
        // Worst case for the staging: alternating data and fill blocks, 4 fragments per pair.
        const uint32_t pairs = 1 << 16;  // 512 MiB expanded, 256 MiB of data
        std::vector<uint8_t> data(size_t(4096) * 64, 0x3C);
        sparse_file* s = sparse_file_new(4096, int64_t(pairs) * 2 * 4096);
        for (uint32_t i = 0; i < pairs; i++) {
            sparse_file_add_data(s, data.data() + (i % 64) * 4096, 4096, 2 * i);
            sparse_file_add_fill(s, i, 4096, 2 * i + 1);
        }
        long long fragments = 0;
        sparse_file_callback(s, true, false, count_fragment, &fragments);
        NullTransport t;
        double td = best_of(5, [&] {
            if (fb_download_data_sparse(&t, s) != 0) abort();
        });
        long long transfers = t.transfers / 5;
        printf("sparse download staging, alternating data and fill blocks: %lld fragments in "
               "%.1f ms = %.1f M fragments/s (%lld transfers, %.2f GB/s of stream)\n",
               fragments, td * 1e3, double(fragments) / td / 1e6, transfers,
               double(t.bytes / 5) / 1e9 / td);
        sparse_file_destroy(s);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    dir += "/bench-sparse-" + std::to_string(getpid());
    if (system(("mkdir -p " + dir).c_str()) != 0) return 1;
    const bool all = !(argc > 2 && !strcmp(argv[2], "chunks"));

    if (all) run_all_but_chunks(dir);

    {
        std::string img = make_many_chunks(dir), raw = dir + "/many-chunks.img";
        long long r0, w0, r1, w1;
        io_calls(&r0, &w0);
        expand_to_file(img, raw);
        io_calls(&r1, &w1);
        double t = best_of(3, [&] { expand_to_file(img, raw); });
        printf("expansion of a sparse image of 1,000,000 chunks (blocks of 4 bytes) into a file: "
               "%.3f s, %lld read calls, %lld write calls\n", t, r1 - r0, w1 - w0);
    }

    if (system(("rm -rf " + dir).c_str()) != 0) return 1;
    return 0;
}
