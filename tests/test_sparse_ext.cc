// Round trips of real file-system images (made with mke2fs from a folder of files) through the
// sparse format, by the library and by the image tool, checked byte for byte and with e2fsck.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/sparse_test_util.h"
#include "tests/test_support.h"

using namespace sparsetest;

namespace {

std::string find_tool(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        std::string p = std::string(dir) + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

// Runs a shell command line; its exit status, with its output in *out.
int run(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, n);
    int st = pclose(p);
    if (out) *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

const std::string vsimg = std::string(VORN_BINARY_DIR) + "/tools/vsimg/vsimg";

struct FsImage {
    std::string path;
    std::string bytes;
};

// A file system of `kib` KiB (plus `extra` bytes after it) in blocks of fs_block bytes,
// holding random data, text, and a long stretch of one byte value.
FsImage make_fs(const std::string& dir, const char* type, unsigned kib, unsigned fs_block,
                unsigned extra) {
    std::string files = dir + "/files-" + type;
    mkdir(files.c_str(), 0755);
    board::Bytes noise = testsupport::pattern(300 * 1000, 17);
    testsupport::write_file(std::string("files-") + type + "/noise.bin", noise);
    std::string text;
    for (int i = 0; i < 5000; i++) text += "line " + std::to_string(i) + "\n";
    testsupport::write_file(std::string("files-") + type + "/notes.txt", text);
    testsupport::write_file(std::string("files-") + type + "/fill.bin",
                            std::string(3 << 20, '\xA5'));
    FsImage fs;
    fs.path = dir + "/" + type + ".img";
    int fd = open(fs.path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(ftruncate(fd, off_t(kib) * 1024 + extra), 0);
    close(fd);
    std::string out;
    int st = run(find_tool("mke2fs") + " -q -F -t " + type + " -b " + std::to_string(fs_block) +
                     " -d " + files + " " + fs.path + " " + std::to_string(kib) + "k",
                 &out);
    EXPECT_EQ(st, 0) << out;
    fs.bytes = testsupport::read_file(fs.path);
    EXPECT_EQ(fs.bytes.size(), size_t(kib) * 1024 + extra);
    return fs;
}

void expect_fsck_clean(const std::string& path) {
    std::string out;
    EXPECT_EQ(run(find_tool("e2fsck") + " -fn " + path, &out), 0) << out;
}

// The expanded image of a sparse image holds whole blocks: the original, then zeros.
void expect_same_padded(const std::string& original, const std::string& expanded) {
    ASSERT_GE(expanded.size(), original.size());
    ASSERT_LT(expanded.size() - original.size(), 4096u);
    EXPECT_TRUE(expanded.compare(0, original.size(), original) == 0);
    EXPECT_EQ(expanded.substr(original.size()), std::string(expanded.size() - original.size(), 0));
}

std::string library_round_trip(const FsImage& fs, const std::string& dir, bool crc,
                               bool* saw_long_fill) {
    int raw = open(fs.path.c_str(), O_RDONLY);
    sparse_file* s = sparse_file_new(4096, int64_t(fs.bytes.size()));
    EXPECT_EQ(sparse_file_read(s, raw, false, false), 0);
    *saw_long_fill = false;
    for (const RunInfo& r : runs(s))
        if (r.type == BACKED_BLOCK_FILL && r.fill == 0xA5A5A5A5 && r.len >= (200u << 10))
            *saw_long_fill = true;
    std::string sparse_path = dir + "/lib.sparse.img";
    int out = open(sparse_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(sparse_file_write(s, out, false, true, crc), 0);
    EXPECT_EQ(lseek(out, 0, SEEK_CUR), sparse_file_len(s, true, crc));
    sparse_file_destroy(s);
    close(raw);

    lseek(out, 0, SEEK_SET);
    EXPECT_EQ(sparse_img_probe(out), 1);
    lseek(out, 0, SEEK_SET);
    sparse_file* back = sparse_file_import(out, true, crc);
    EXPECT_NE(back, nullptr);
    std::string raw_path = dir + "/lib-back.img";
    int expanded = open(raw_path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (back) {
        EXPECT_EQ(sparse_file_write(back, expanded, false, false, false), 0);
    }
    sparse_file_destroy(back);
    close(expanded);
    close(out);
    return raw_path;
}

void check_image(const FsImage& fs, const std::string& dir) {
    for (bool crc : {false, true}) {
        bool long_fill = false;
        testing::internal::CaptureStderr();
        std::string back = library_round_trip(fs, dir, crc, &long_fill);
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(long_fill);
        expect_same_padded(fs.bytes, testsupport::read_file(back));
        expect_fsck_clean(back);
    }

    // The same through the tool, with a checksum, and cut into pieces that are laid over one
    // another again.
    std::string out;
    ASSERT_EQ(run(vsimg + " tosparse -c " + fs.path + " " + dir + "/tool.sparse.img", &out), 0) << out;
    ASSERT_EQ(run(vsimg + " info " + dir + "/tool.sparse.img", &out), 0) << out;
    EXPECT_NE(out.find("fill       "), std::string::npos) << out;
    EXPECT_NE(out.find("0xa5a5a5a5"), std::string::npos) << out;
    EXPECT_NE(out.find("crc32"), std::string::npos) << out;
    ASSERT_EQ(run(vsimg + " toraw -c " + dir + "/tool.sparse.img " + dir + "/tool.img", &out), 0) << out;
    expect_same_padded(fs.bytes, testsupport::read_file(dir + "/tool.img"));
    expect_fsck_clean(dir + "/tool.img");

    // Pieces named after the image: the pieces of an earlier image must not join the overlay.
    const std::string prefix = fs.path + ".piece";
    ASSERT_EQ(run(vsimg + " resparse " + dir + "/tool.sparse.img 100k " + prefix, &out), 0)
        << out;
    std::string overlay((fs.bytes.size() + 4095) & ~size_t(4095), '\0');
    int pieces = 0;
    for (int i = 1;; i++) {
        std::string path = prefix + "." + std::to_string(i);
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) break;
        pieces++;
        struct stat st;
        fstat(fd, &st);
        EXPECT_LE(st.st_size, 100 * 1024);
        sparse_file* p = sparse_file_import(fd, true, false);
        ASSERT_NE(p, nullptr) << path;
        struct Overlay {
            std::string* image;
            size_t pos;
        } ov{&overlay, 0};
        auto lay = [](void* priv, const void* data, int len) {
            auto* o = static_cast<Overlay*>(priv);
            if (data) o->image->replace(o->pos, size_t(len), static_cast<const char*>(data), len);
            o->pos += size_t(len);
            return 0;
        };
        EXPECT_EQ(sparse_file_callback(p, false, false, lay, &ov), 0);
        sparse_file_destroy(p);
        close(fd);
    }
    EXPECT_GT(pieces, 2);
    expect_same_padded(fs.bytes, overlay);
}

TEST(SparseExt, RoundTrips) {
    if (find_tool("mke2fs").empty() || find_tool("e2fsck").empty())
        GTEST_SKIP() << "e2fsprogs is not installed";
    std::string dir = testsupport::temp_dir();
    // ext4 in 4 KiB blocks, whole blocks.
    check_image(make_fs(dir, "ext4", 12 * 1024, 4096, 0), dir);
    // ext2 in 1 KiB blocks on a file that is not whole 4 KiB blocks.
    FsImage odd = make_fs(dir, "ext2", 10 * 1024 + 3, 1024, 700);
    EXPECT_NE(odd.bytes.size() % 4096, 0u);
    check_image(odd, dir);
}

// Bad input gives a clear message and a non-zero status, and never a file under the output
// name, not even when the failure comes after writing has begun.
TEST(SparseExt, ToolErrors) {
    const std::string dir = testsupport::temp_dir() + "/tool-errors";
    mkdir(dir.c_str(), 0755);
    auto write_file = [&](const std::string& name, const std::string& content) {
        return testsupport::write_file("tool-errors/" + name, content);
    };
    std::string out;
    EXPECT_EQ(run(vsimg, &out), 2);
    EXPECT_NE(out.find("usage: vsimg"), std::string::npos);
    EXPECT_EQ(run(vsimg + " frobnicate a b", &out), 2);
    EXPECT_EQ(run(vsimg + " tosparse -b 4098 a b", &out), 2);
    EXPECT_NE(out.find("bad block size '4098'"), std::string::npos) << out;
    EXPECT_EQ(run(vsimg + " tosparse " + dir + "/missing " + dir + "/x.sparse.img", &out), 1);
    EXPECT_NE(out.find("cannot open"), std::string::npos) << out;

    std::string raw = write_file("plain.img", std::string(20000, 'p'));
    EXPECT_EQ(run(vsimg + " toraw " + raw + " " + dir + "/x.img", &out), 1);
    EXPECT_NE(out.find("is not a valid sparse image"), std::string::npos) << out;
    EXPECT_EQ(run(vsimg + " info " + raw, &out), 1);
    EXPECT_EQ(run(vsimg + " tosparse " + raw + " " + dir + "/nodir/x.sparse.img", &out), 1);
    EXPECT_NE(out.find("cannot create"), std::string::npos) << out;

    // A sparse image whose last raw payload is cut off: it imports (payloads are not read),
    // but cannot be expanded or cut, and the tool says why.
    std::string cut = header(4096, 3, 2) + fill_chunk(1, 0) +
                      chunk(0xCAC1, 2, 12 + 8192) + std::string(5000, 'c');
    std::string cut_path = write_file("cut.sparse.img", cut);
    const std::string truncated = cut_path + ": truncated image (its chunks end at byte 8248, "
                                             "the file at byte 5056)";
    EXPECT_EQ(run(vsimg + " toraw " + cut_path + " " + dir + "/cut.img", &out), 1);
    EXPECT_NE(out.find(truncated), std::string::npos) << out;
    EXPECT_EQ(run(vsimg + " resparse " + cut_path + " 5000 " + dir + "/cutp", &out), 1);
    EXPECT_NE(out.find(truncated), std::string::npos) << out;
    EXPECT_EQ(run(vsimg + " info " + cut_path, &out), 1);
    EXPECT_NE(out.find(truncated), std::string::npos) << out;

    // Whole 4 KiB blocks, the last one raw, so that a piece must hold more than 4163 bytes.
    std::string blocks = write_file("blocks.img", std::string(4 * 4096, 'p') + std::string(4095, 'q') + "r");
    // A block size that does not divide the image would make the expanded image longer.
    EXPECT_EQ(run(vsimg + " tosparse -b 8192 " + blocks + " " + dir + "/x.sparse.img", &out), 1);
    EXPECT_NE(out.find("is not a multiple of the block size 8192"), std::string::npos) << out;
    std::string odd = write_file("odd.img", std::string(4098, 'o'));
    EXPECT_EQ(run(vsimg + " tosparse " + odd + " " + dir + "/x.sparse.img", &out), 1);
    EXPECT_NE(out.find("its size 4098 is not a multiple of 4 bytes"), std::string::npos) << out;
    ASSERT_EQ(run(vsimg + " tosparse -b 4096 " + blocks + " " + dir + "/ok.sparse.img", &out), 0) << out;
    EXPECT_EQ(run(vsimg + " resparse " + dir + "/ok.sparse.img 4163 " + dir + "/tiny", &out), 1);
    EXPECT_NE(out.find("cannot hold a piece"), std::string::npos) << out;
    EXPECT_EQ(run(vsimg + " resparse " + dir + "/ok.sparse.img 12q " + dir + "/tiny", &out), 2);

    // Nothing was left behind: no outputs, no temporary files.
    std::string listing;
    run("ls " + dir, &listing);
    EXPECT_EQ(listing, "blocks.img\ncut.sparse.img\nodd.img\nok.sparse.img\nplain.img\n");
}

// Runs `vsimg tosparse RAW FIFO`, reads the stream's header from the FIFO, cuts RAW to
// `cut_to` bytes, then drains the FIFO. vsimg writes its stream in pieces of 1 MiB, far more than
// the FIFO holds, so once the header has come the index pass is over and vsimg waits in the
// write of the first piece, before reading the next: the cut falls between the sizing and the
// reading, whatever the speed of either side. vsimg's exit status, with its output in *out.
int tosparse_cut_while_read(const std::string& raw, const std::string& fifo, off_t cut_to,
                            std::string* out) {
    if (mkfifo(fifo.c_str(), 0600) != 0) return -1;
    // Opened before vsimg starts, so that its open for writing does not wait.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    FILE* p = popen((vsimg + " tosparse " + raw + " " + fifo + " 2>&1").c_str(), "r");
    if (reader < 0 || !p) return -1;
    std::string head;
    // vsimg's own output (or its end) before the header means it failed before writing.
    pollfd fds[2] = {{reader, POLLIN, 0}, {fileno(p), POLLIN, 0}};
    while (head.size() < 28 && poll(fds, 2, -1) > 0 && !fds[1].revents) {
        char buf[28];
        ssize_t n = read(reader, buf, 28 - head.size());
        if (n > 0) head.append(buf, size_t(n));
    }
    if (head.size() == 28 && truncate(raw.c_str(), cut_to) != 0) head.clear();
    fcntl(reader, F_SETFL, 0);
    std::vector<char> buf(1 << 16);
    while (read(reader, buf.data(), buf.size()) > 0) {
    }
    close(reader);
    out->clear();
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out->append(buf.data(), n);
    const int st = pclose(p);
    if (head.size() != 28) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A write that fails is reported with its own cause: here the file size limit of the process
// (with its signal ignored, so that write(2) fails with EFBIG instead of ending the process).
// A read that fails is called a read: a raw image that becomes shorter after it was sized.
TEST(SparseExt, WriteFailuresGiveTheirCause) {
    const std::string dir = testsupport::temp_dir() + "/write-errors";
    mkdir(dir.c_str(), 0755);
    std::string img = header(4096, 17, 2) + raw_chunk(16, 'w') + fill_chunk(1, 7);
    std::string path = testsupport::write_file("write-errors/big.sparse.img", img);
    const std::string limited = "sh -c 'trap \"\" XFSZ; ulimit -f 16; exec \"$0\" \"$@\"' " + vsimg;
    std::string out;
    EXPECT_EQ(run(limited + " toraw " + path + " " + dir + "/big.img", &out), 1);
    EXPECT_NE(out.find("writing " + dir + "/big.img failed (File too large)"), std::string::npos)
        << out;
    EXPECT_EQ(run(limited + " resparse " + path + " 60k " + dir + "/piece", &out), 1);
    EXPECT_NE(out.find("failed (File too large)"), std::string::npos) << out;
    std::string listing;
    run("ls " + dir, &listing);
    EXPECT_EQ(listing, "big.sparse.img\n");

    // 4 MiB of noise make one raw chunk, whose payload past the first piece is read only after
    // the cut to 1 MiB.
    const std::string raw = testsupport::write_file("write-errors/shrinks.img",
                                                    testsupport::pattern(4 << 20, 5));
    EXPECT_EQ(tosparse_cut_while_read(raw, dir + "/stream", 1 << 20, &out), 1) << out;
    EXPECT_NE(out.find("reading " + raw + " failed (it became shorter while it was read)"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("writing"), std::string::npos) << out;
}

// vsimg writes as vorn does, through the staged output: straight into a FIFO (whose reader gets
// the image) and through a symbolic link (which stays one), never by replacing them.
TEST(SparseExt, OutputsAreWrittenThroughLinksAndIntoFifos) {
    const std::string dir = testsupport::temp_dir() + "/targets";
    mkdir(dir.c_str(), 0755);
    // No don't-care chunk: a FIFO cannot be passed over.
    std::string img = header(4096, 3, 2) + raw_chunk(2, 'a') + fill_chunk(1, 0x07070707);
    std::string path = testsupport::write_file("targets/in.sparse.img", img);
    const std::string expanded = std::string(8192, 'a') + std::string(4096, '\x07');
    std::string out;

    // A link to a file not made yet, relative to the link's folder.
    ASSERT_EQ(0, symlink("real.img", (dir + "/link.img").c_str()));
    ASSERT_EQ(run(vsimg + " toraw " + path + " " + dir + "/link.img", &out), 0) << out;
    struct stat st;
    ASSERT_EQ(0, lstat((dir + "/link.img").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(expanded, testsupport::read_file(dir + "/real.img"));
    // Once more, now that the target exists.
    ASSERT_EQ(0, truncate((dir + "/real.img").c_str(), 0));
    ASSERT_EQ(run(vsimg + " toraw " + path + " " + dir + "/link.img", &out), 0) << out;
    ASSERT_EQ(0, lstat((dir + "/link.img").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(expanded, testsupport::read_file(dir + "/real.img"));

    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    // A reader that is there before vsimg starts; the image fits the FIFO's buffer.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(run(vsimg + " toraw " + path + " " + fifo, &out), 0) << out;
    std::string got(expanded.size() + 1, '\0');
    EXPECT_EQ((ssize_t)expanded.size(), read(reader, &got[0], got.size()));
    got.resize(expanded.size());
    EXPECT_EQ(expanded, got);
    close(reader);
    ASSERT_EQ(0, lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A FIFO as the input cannot be read as a sparse image; the reason is the system's own.
    int writer_keep = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(writer_keep, 0);
    const std::string head = header(4096, 1, 1);
    ASSERT_EQ((ssize_t)head.size(), write(writer_keep, head.data(), head.size()));
    EXPECT_EQ(run(vsimg + " toraw " + fifo + " " + dir + "/from-fifo.img", &out), 1) << out;
    EXPECT_EQ(std::string::npos, out.find("-29")) << out;
    EXPECT_NE(std::string::npos, out.find("Illegal seek")) << out;
    close(writer_keep);

    std::string listing;
    run("ls -A " + dir, &listing);
    EXPECT_EQ(listing, "fifo\nin.sparse.img\nlink.img\nreal.img\n");
}

// A vsimg ended by a signal leaves no temporary file: here the file size limit, whose signal
// ends it part way through the output.
TEST(SparseExt, AnInterruptedRunLeavesNoTemporaryFile) {
    const std::string dir = testsupport::temp_dir() + "/interrupted";
    mkdir(dir.c_str(), 0755);
    std::string img = header(4096, 17, 2) + raw_chunk(16, 'w') + fill_chunk(1, 7);
    std::string path = testsupport::write_file("interrupted/big.sparse.img", img);
    const std::string limited = "sh -c 'ulimit -f 16; exec \"$0\" \"$@\"' " + vsimg;
    std::string out;
    // The shell in between tells the signal as 128 + its number.
    EXPECT_EQ(run(limited + " toraw " + path + " " + dir + "/big.img", &out), 128 + SIGXFSZ) << out;
    std::string listing;
    run("ls -A " + dir, &listing);
    EXPECT_EQ(listing, "big.sparse.img\n");
}

// Pieces of an earlier cut with numbers past the new cut's are never left beside it: the cut is
// refused, naming them, and nothing is written.
TEST(SparseExt, ResparseRefusesToLeaveAMixedSetOfPieces) {
    const std::string dir = testsupport::temp_dir() + "/pieces";
    mkdir(dir.c_str(), 0755);
    std::string many = testsupport::write_file("pieces/a.sparse.img", header(4096, 7, 7) +
                       raw_chunk(1, 'a') + raw_chunk(1, 'b') + raw_chunk(1, 'c') + raw_chunk(1, 'd') +
                       raw_chunk(1, 'e') + raw_chunk(1, 'f') + raw_chunk(1, 'g'));
    std::string few = testsupport::write_file("pieces/b.sparse.img", header(4096, 2, 2) +
                      raw_chunk(1, 'x') + raw_chunk(1, 'y'));
    std::string out;
    ASSERT_EQ(run(vsimg + " resparse " + many + " 5000 " + dir + "/pc", &out), 0) << out;
    EXPECT_NE(out.find(": 7 pieces"), std::string::npos) << out;
    const std::string piece1 = testsupport::read_file(dir + "/pc.1");
    EXPECT_EQ(run(vsimg + " resparse " + few + " 5000 " + dir + "/pc", &out), 1) << out;
    EXPECT_NE(out.find(dir + "/pc.3 to " + dir + "/pc.7 exist from an earlier cut"), std::string::npos) << out;
    EXPECT_EQ(piece1, testsupport::read_file(dir + "/pc.1"));
    // With them gone, the cut goes ahead.
    for (int i = 3; i <= 7; i++) unlink((dir + "/pc." + std::to_string(i)).c_str());
    ASSERT_EQ(run(vsimg + " resparse " + few + " 5000 " + dir + "/pc", &out), 0) << out;
    EXPECT_NE(piece1, testsupport::read_file(dir + "/pc.1"));
}

// Stretches of 2^31 blocks or more are cut into chunks that every reader takes: a piece of an
// image with such a stretch is shown, checked and expanded (into a file of holes).
TEST(SparseExt, LongDontCareStretches) {
    const std::string dir = testsupport::temp_dir() + "/long-gaps";
    mkdir(dir.c_str(), 0755);
    const uint32_t half = 1u << 30;
    std::string img = header(4, 2 * half + 2, 4) + fill_chunk(1, 0x11111111) +
                      chunk(0xCAC3, half, 12) + chunk(0xCAC3, half, 12) +
                      fill_chunk(1, 0x22222222);
    std::string path = testsupport::write_file("long-gaps/gaps.sparse.img", img);
    std::string out;
    ASSERT_EQ(run(vsimg + " resparse " + path + " 1k " + dir + "/piece", &out), 0) << out;
    EXPECT_NE(out.find(": 1 pieces"), std::string::npos) << out;
    ASSERT_EQ(run(vsimg + " info " + dir + "/piece.1", &out), 0) << out;
    EXPECT_NE(out.find("2147483647"), std::string::npos) << out;
    ASSERT_EQ(run(vsimg + " toraw " + dir + "/piece.1 " + dir + "/gaps.img", &out), 0) << out;

    const int64_t len = (int64_t(2) * half + 2) * 4;
    int fd = open((dir + "/gaps.img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat st;
    fstat(fd, &st);
    EXPECT_EQ(st.st_size, len);
    EXPECT_LT(st.st_blocks, 1024);  // holes, not gigabytes of zeros
    uint32_t first = 0, middle = 1, last = 0;
    EXPECT_EQ(pread(fd, &first, 4, 0), 4);
    EXPECT_EQ(pread(fd, &middle, 4, len / 2), 4);
    EXPECT_EQ(pread(fd, &last, 4, len - 4), 4);
    EXPECT_EQ(first, 0x11111111u);
    EXPECT_EQ(middle, 0u);
    EXPECT_EQ(last, 0x22222222u);
    close(fd);
}

// The chunk list counts no blocks for a chunk of unknown type, as the library does: the chunk
// after it starts where the unknown one started. What it stands for cannot be known, so the image
// is not valid: every command that reads it fails with the library's report and its own line.
TEST(SparseExt, InfoAfterUnknownChunk) {
    std::string img = header(4096, 2, 3) + chunk(0xBEEF, 5, 12) + fill_chunk(1, 7) +
                      fill_chunk(1, 8);
    std::string path = testsupport::write_file("unknown-chunk.sparse.img", img);
    std::string out;
    const std::string dir = testsupport::temp_dir();
    for (const std::string& cmd : {" toraw " + path + " " + dir + "/unknown.img",
                                   " resparse " + path + " 64k " + dir + "/unknown-piece"}) {
        EXPECT_EQ(run(vsimg + cmd, &out), 1) << out;
        EXPECT_NE(out.find("Invalid sparse file format at unknown block BEEF"), std::string::npos) << out;
        EXPECT_NE(out.find("is not a valid sparse image (a chunk of an unknown type)"), std::string::npos) << out;
    }
    EXPECT_NE(0, access((dir + "/unknown.img").c_str(), F_OK));
    EXPECT_NE(0, access((dir + "/unknown-piece.1").c_str(), F_OK));
    ASSERT_EQ(run(vsimg + " info " + path, &out), 1) << out;
    EXPECT_NE(out.find("is not a valid sparse image (a chunk of an unknown type)"), std::string::npos) << out;
    std::vector<std::string> firsts;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string index, type, blocks, first;
        if (words >> index >> type >> blocks >> first && (type == "fill" || type == "unknown"))
            firsts.push_back(type + " " + first);
    }
    EXPECT_EQ(firsts, (std::vector<std::string>{"unknown 0", "fill 0", "fill 1"})) << out;
}

}  // namespace
