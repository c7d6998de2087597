// "partition -t sparse" of a raw image against a normal burn of it, over a link modelled at a
// fixed rate; the speed of the one pass that indexes the image next to a plain read of the same
// page-cached file; and the memory the index takes for huge images.
//
//   bench_sparse_stream [IMAGE_DIR [MiB [MB/s]]]   (default: /tmp, 1024, 40)
//
// The image is one quarter data: each MiB holds 256 KiB of random bytes, 512 KiB of zeros and
// 256 KiB of a repeated word, written out in full (no holes), so the index pass reads it all.
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "bench/peak_memory.h"
#include "cli/vorn_main.h"
#include "engine/action.h"
#include "sparse/sparse_stream.h"
#include "tools/board/board_media.h"
#include "tools/board/board_transport.h"

namespace {

constexpr size_t kPiece = 1 << 20;

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "bench_sparse_stream: %s: %s\n", what, strerror(errno));
    exit(1);
}

void make_image(const std::string& path, long long size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail("create");
    std::vector<unsigned char> mib(kPiece, 0);
    uint32_t x = 2024;
    for (long long done = 0; done < size; done += kPiece) {
        for (size_t i = 0; i < kPiece / 4; i++) {
            x = x * 1103515245u + 12345u;
            mib[i] = (unsigned char)(x >> 16);
        }
        for (size_t i = 3 * kPiece / 4; i < kPiece; i += 4) memcpy(&mib[i], "\x5a\xa5\x5a\xa5", 4);
        if (write(fd, mib.data(), kPiece) != (ssize_t)kPiece) fail("write");
    }
    close(fd);
}

// GB/s of a plain read of the whole file in pieces of the size the index pass reads.
double plain_read(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    void* buf = nullptr;
    if (posix_memalign(&buf, 4096, kPiece)) fail("memory");
    double t = seconds();
    long long total = 0;
    for (ssize_t n; (n = read(fd, buf, kPiece)) > 0;) total += n;
    t = seconds() - t;
    free(buf);
    close(fd);
    return (double)total / t / 1e9;
}

double index_pass(const std::string& path, long long size, sparse_stream* s) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    double t = seconds();
    if (sparse_stream_index(s, fd, size, 0, false)) fail("index");
    t = seconds() - t;
    close(fd);
    return (double)size / t / 1e9;
}

// A link that carries host-to-device bytes no faster than `rate` bytes a second: the board takes
// a transfer only once the link has had the time to carry it.
class PacedLink : public Transport {
  public:
    PacedLink(Transport& inner, double rate) : inner_(inner), rate_(rate) {}
    ssize_t Read(void* data, size_t len) override { return inner_.Read(data, len); }
    ssize_t Read_timeout(void* data, size_t len, unsigned ms) override { return inner_.Read_timeout(data, len, ms); }
    int Close() override { return inner_.Close(); }
    ssize_t Write(const void* data, size_t len) override {
        const double t = seconds();
        free_at_ = std::max(free_at_, t) + (double)len / rate_;
        if (free_at_ > t) std::this_thread::sleep_for(std::chrono::duration<double>(free_at_ - t));
        bytes += (long long)len;
        return inner_.Write(data, len);
    }
    long long bytes = 0;

  private:
    Transport& inner_;
    double rate_;
    double free_at_ = 0;
};

struct Burn {
    double seconds = -1;
    long long bytes = 0;
};

Burn burn(const std::string& path, bool sparse, double rate) {
    board::MediaConfig c;
    c.store = false;  // the board checks every portion's checksum but keeps nothing
    c.media = {{"store", {{"userdata", 1ull << 40, {}}}}};
    board::Board b;
    auto media = std::make_unique<board::MediaStore>(c);
    board::MediaStore* m = media.get();
    b.add_feature(std::move(media));
    board::BoardTransport bt(b);
    PacedLink link(bt, rate);
    std::vector<std::string> words = {"vorn", "partition", "-p", "userdata", "-f", path};
    if (sparse) words.insert(words.begin() + 2, {"-t", "sparse"});
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    fflush(stderr);
    int saved = dup(2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
    double t = seconds();
    int r = vorn_main((int)words.size(), argv.data(), [&](const char*) -> Transport* { return &link; });
    t = seconds() - t;
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    fb_queue_reset();
    Burn out;
    if (r == 0 && m->checksums_wrong == 0 && m->completed.size() == 1) out.seconds = t;
    out.bytes = link.bytes;
    return out;
}

// The index of a 16 GiB image whose blocks follow `unit` over and over (fed from memory, as the
// pass would feed it from the file): its chunks, its bytes, and the peak memory it added.
void huge_index(const char* name, const std::string& unit) {
    const long long size = 16ll << 30;
    std::vector<unsigned char> blocks(unit.size() * 4096, 0);
    for (size_t i = 0; i < unit.size(); i++)
        if (unit[i] == 'd')
            for (size_t k = 0; k < 4096; k++) blocks[i * 4096 + k] = (unsigned char)(i * 131 + k * 7 + 1);
    reset_peak();
    const long base = peak_kib();
    double t = seconds();
    {
        sparse_stream s;
        if (sparse_stream_init(&s, size, 0, false)) fail("init");
        long long at = 0;
        for (; at + (long long)blocks.size() <= size; at += (long long)blocks.size())
            sparse_stream_feed(&s, blocks.data(), blocks.size());
        sparse_stream_feed(&s, blocks.data(), (size_t)(size - at));
        sparse_stream_finish(&s);
        t = seconds() - t;
        printf("16 GiB, blocks %-6s: %8u chunks, index %6.2f MiB, stream %.2f GiB, peak +%ld KiB (%.1f s)\n", name,
               sparse_stream_chunk_count(&s), sparse_stream_index_bytes(&s) / 1048576.0,
               s.stream_size / 1073741824.0, peak_kib() - base, t);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const long long size = (argc > 2 ? atoll(argv[2]) : 1024) << 20;
    const double rate = (argc > 3 ? atof(argv[3]) : 40) * 1e6;
    const std::string img = dir + "/bench_sparse_stream.img";
    make_image(img, size);
    plain_read(img);  // into the page cache

    double rd = 0, ix = 0;
    sparse_stream s;
    for (int i = 0; i < 5; i++) {
        rd = std::max(rd, plain_read(img));
        ix = std::max(ix, index_pass(img, size, &s));
    }
    printf("image: %lld MiB in %s, one quarter data, page cached\n", size >> 20, dir.c_str());
    printf("plain 1 MiB read loop      %6.2f GB/s\n", rd);
    printf("index pass                 %6.2f GB/s  (%.2fx the plain read; target >= 0.5)\n", ix, ix / rd);
    printf("sparse stream: %lld bytes (%.1f%% of the image), %u chunks\n", (long long)s.stream_size,
           100.0 * (double)s.stream_size / (double)size, sparse_stream_chunk_count(&s));

    Burn normal = burn(img, false, rate);
    Burn sparse = burn(img, true, rate);
    if (normal.seconds < 0 || sparse.seconds < 0) {
        fprintf(stderr, "bench_sparse_stream: a burn failed\n");
        return 1;
    }
    printf("link modelled at %.0f MB/s, board checks every checksum\n", rate / 1e6);
    printf("normal burn                %7.2f s  (%lld bytes across the link)\n", normal.seconds, normal.bytes);
    printf("-t sparse burn             %7.2f s  (%lld bytes across the link, index pass included)\n",
           sparse.seconds, sparse.bytes);
    printf("ratio                      %7.3f    (target <= 0.30)\n", sparse.seconds / normal.seconds);
    unlink(img.c_str());

    if (!reset_peak()) {
        printf("peak memory: not measurable here (no /proc/self/clear_refs)\n");
        return 0;
    }
    huge_index("d0", "d0");
    // Fills just long enough to earn a chunk at this size, between single data blocks: the most
    // chunks the index can come to.
    huge_index("d0000", "d0000");
    return 0;
}
