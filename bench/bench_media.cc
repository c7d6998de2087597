// Throughput and memory of the media streams against a null board (it answers the protocol and
// takes or makes the bytes without storing them), next to plain 128 KiB read and write loops over
// the same page-cached file.
//
//   bench_media [IMAGE_DIR [OUTPUT_DIR [MiB]]]   (default: /tmp, /dev/shm or else /tmp, 1024)
//
// The read side writes to tmpfs where there is one: on a disk-backed folder write-back makes the
// write figures swing by a factor of five from one round to the next.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "bench/peak_memory.h"
#include "protocol/exchange.h"
#include "protocol/media_read.h"
#include "protocol/media_write.h"
#include "tools/board/board_media.h"
#include "tools/board/board_transport.h"

namespace {

constexpr size_t kChunk = 0x20000;
constexpr int kRounds = 5;

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void* page_buffer(size_t n) {
    void* p = nullptr;
    if (posix_memalign(&p, 4096, n)) abort();
    memset(p, 0, n);
    return p;
}

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "bench_media: %s: %s\n", what, strerror(errno));
    exit(1);
}

void make_file(const std::string& path, long long size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail("create");
    unsigned char* buf = static_cast<unsigned char*>(page_buffer(1 << 20));
    uint32_t x = 12345;
    for (size_t i = 0; i < (1 << 20); i++) {
        x = x * 1103515245u + 12345u;
        buf[i] = (unsigned char)(x >> 16);
    }
    for (long long done = 0; done < size; done += 1 << 20) {
        buf[0]++;
        if (write(fd, buf, 1 << 20) != 1 << 20) fail("write");
    }
    close(fd);
    free(buf);
}

double plain_read(const std::string& path, void* buf) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    double t = seconds();
    long long total = 0;
    for (ssize_t n; (n = read(fd, buf, kChunk)) > 0;) total += n;
    t = seconds() - t;
    close(fd);
    return (double)total / t / 1e9;
}

double plain_write(const std::string& path, void* buf, long long size) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail("open");
    double t = seconds();
    for (long long done = 0; done < size; done += kChunk)
        if (write(fd, buf, kChunk) != (ssize_t)kChunk) fail("write");
    t = seconds() - t;
    close(fd);
    return (double)size / t / 1e9;
}

board::MediaConfig null_board(uint32_t portion, bool check_sums) {
    board::MediaConfig c;
    c.store = false;
    c.check_sums = check_sums;
    c.portion = portion;
    c.read_portion = portion;
    c.media = {{"store", {{"userdata", 1ull << 40, {}}}}};
    return c;
}

// The progress line goes to standard error; it is part of the work but not of the output.
struct QuietStderr {
    int saved;
    QuietStderr() {
        fflush(stderr);
        saved = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
    }
    ~QuietStderr() {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
    }
};

int announce(Transport* t, const char* kind, long long size) {
    char text[96], resp[129];
    snprintf(text, sizeof(text), "oem %s 0x%llx normal store userdata 0x0", kind, size);
    return fb_command_response(t, text, resp);
}

// One media write of the whole file; GB/s, or a negative value when the stream failed.
double media_write(const std::string& path, long long size, uint32_t portion, bool check_sums) {
    board::Board b;
    auto media = std::make_unique<board::MediaStore>(null_board(portion, check_sums));
    board::MediaStore* m = media.get();
    b.add_feature(std::move(media));
    board::BoardTransport t(b);
    if (announce(&t, "mwrite", size)) return -1;
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) fail("open");
    int r;
    double s;
    {
        QuietStderr quiet;
        s = seconds();
        r = fb_mwrite_data(&t, fd, size, "mwrite:verify=addsum");
        s = seconds() - s;
    }
    close(fd);
    if (r || m->checksums_wrong) return -1;
    return (double)size / s / 1e9;
}

double media_read(const std::string& out, long long size, uint32_t portion) {
    board::Board b;
    b.add_feature(std::make_unique<board::MediaStore>(null_board(portion, false)));
    board::BoardTransport t(b);
    if (announce(&t, "mread", size)) return -1;
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) fail("open");
    int r;
    double s;
    {
        QuietStderr quiet;
        s = seconds();
        r = fb_mread_data(&t, fd, false);
        s = seconds() - s;
    }
    close(fd);
    if (r) return -1;
    return (double)size / s / 1e9;
}

double best(double a, double b) { return a > b ? a : b; }

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/tmp";
    const std::string out_dir = argc > 2 ? argv[2] : access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    const long long size = (argc > 3 ? atoll(argv[3]) : 1024) << 20;
    const std::string img = dir + "/bench_media.img", out = out_dir + "/bench_media.out";
    const std::string big = dir + "/bench_media_4g.img";
    void* buf = page_buffer(kChunk);

    make_file(img, size);
    plain_read(img, buf);  // into the page cache
    printf("file: %lld MiB in %s, page cached; output in %s; null board behind an in-process Transport\n",
           size >> 20, dir.c_str(), out_dir.c_str());

    double rd = 0, wr = 0, mw1 = 0, mw16 = 0, mwsum = 0, mr1 = 0, mr16 = 0;
    for (int i = 0; i < kRounds; i++) {
        rd = best(rd, plain_read(img, buf));
        mw1 = best(mw1, media_write(img, size, 1 << 20, false));
        mw16 = best(mw16, media_write(img, size, 16 << 20, false));
        mwsum = best(mwsum, media_write(img, size, 16 << 20, true));
    }
    printf("plain 128 KiB read loop          %6.2f GB/s\n", rd);
    printf("media write, 1 MiB portions      %6.2f GB/s  (%.2fx)\n", mw1, mw1 / rd);
    printf("media write, 16 MiB portions     %6.2f GB/s  (%.2fx)\n", mw16, mw16 / rd);
    printf("  same, board checks the sums    %6.2f GB/s  (%.2fx)\n", mwsum, mwsum / rd);

    // Alternating the order, so that neither side always follows the release of the same file.
    for (int i = 0; i < kRounds; i++) {
        if (i % 2) wr = best(wr, plain_write(out, buf, size));
        mr1 = best(mr1, media_read(out, size, 1 << 20));
        mr16 = best(mr16, media_read(out, size, 16 << 20));
        if (i % 2 == 0) wr = best(wr, plain_write(out, buf, size));
    }
    printf("plain 128 KiB write loop         %6.2f GB/s\n", wr);
    printf("media read, 1 MiB portions       %6.2f GB/s  (%.2fx)\n", mr1, mr1 / wr);
    printf("media read, 16 MiB portions      %6.2f GB/s  (%.2fx)\n", mr16, mr16 / wr);
    unlink(out.c_str());
    unlink(img.c_str());

    // Peak memory over a 4 GiB image (a file of holes, so the disk stays empty), from a start
    // where the process holds only what it needs anyway.
    const long long four = 4ll << 30;
    int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, four)) fail("holes");
    close(fd);
    if (!reset_peak()) {
        printf("peak memory: not measurable here (no /proc/self/clear_refs)\n");
    } else {
        long base = peak_kib();
        double g = media_write(big, four, 16 << 20, true);
        long w = peak_kib();
        reset_peak();
        long base2 = peak_kib();
        double h = media_read("/dev/null", four, 16 << 20);
        long r = peak_kib();
        printf("4 GiB media write (%.2f GB/s): peak %ld KiB, %ld KiB above the start\n", g, w, w - base);
        printf("4 GiB media read  (%.2f GB/s): peak %ld KiB, %ld KiB above the start\n", h, r, r - base2);
    }
    unlink(big.c_str());
    free(buf);
    return 0;
}
