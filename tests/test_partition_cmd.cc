// The "partition", "upload", "mwrite" and "mread" command lines, run against the emulated board.
#include <gtest/gtest.h>

#include <dirent.h>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <regex>
#include <sys/stat.h>

#include "cli/partition_sparse.h"
#include "cli/vorn_main.h"
#include "tests/media_rig.h"
#include "util/file_io.h"
#include "util/platform.h"

using board::Board;
using board::Bytes;
using board::MediaConfig;
using mediatest::contains;
using mediatest::Rig;
using mediatest::slice;
using testsupport::make_fifo;
using testsupport::FedPipe;
using testsupport::pattern;
using testsupport::read_file;
using testsupport::run_vorn;
using testsupport::RunResult;
using testsupport::temp_dir;
using testsupport::write_file;

namespace {

MediaConfig boot_of(uint64_t size, Bytes initial = {}) {
    MediaConfig c;
    c.media = {{"store", {{"boot", size, std::move(initial)}}}, {"mem", {{"dram", 0x10000, {}}}}};
    return c;
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The names in a folder, but "." and "..".
std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    EXPECT_NE(nullptr, d);
    while (dirent* e = d ? readdir(d) : nullptr)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    if (d) closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// A folder of its own for the outputs of one test.
std::string fresh_dir(const std::string& name) {
    std::string dir = temp_dir() + "/" + name;
    EXPECT_EQ(0, make_dir(dir.c_str()));
    return dir;
}

// A board that announces a shorter read than the host asked for and so ends early.
class ShortReads : public board::Feature {
  public:
    ShortReads(board::MediaStore* media, std::string asked, std::string given)
        : media_(media), asked_(std::move(asked)), given_(std::move(given)) {}
    bool on_command(board::Board& b, const std::string& command) override {
        if (command.rfind(asked_, 0) == 0) return media_->on_command(b, given_ + command.substr(asked_.size()));
        return media_->on_command(b, command);
    }

  private:
    board::MediaStore* media_;
    std::string asked_, given_;
};

// A board that lets a test change the image file when it gets the n-th "mwrite:verify=addsum"
// (counted from 1), before it answers it: in the middle of a burn, or when the board's last
// answer is OKAY.
class ChangesImage : public board::Feature {
  public:
    ChangesImage(board::MediaStore* media, int at, std::function<void()> change)
        : media_(media), at_(at), change_(std::move(change)) {}
    bool on_command(board::Board& b, const std::string& command) override {
        if (command == "mwrite:verify=addsum" && ++seen_ == at_) change_();
        return media_->on_command(b, command);
    }

  private:
    board::MediaStore* media_;
    int at_;
    int seen_ = 0;
    std::function<void()> change_;
};

// A burn image of five blocks of 4 KiB in the sparse format, without CRC: chunk 0 raw (2 blocks,
// from byte 28), 1 fill (from 8232), 2 don't care (from 8248), 3 raw (1 block, from 8260 to 12368).
Bytes five_block_sparse() {
    Bytes expanded = pattern(0x2000, 41);
    expanded.resize(0x3000, 0x5A);
    expanded.resize(0x4000, 0);
    Bytes last = pattern(0x1000, 42);
    expanded.insert(expanded.end(), last.begin(), last.end());
    return mediatest::sparse_encode(expanded, 4096, false);
}

void put_le32_at(Bytes* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) (*b)[at + i] = (uint8_t)(v >> (8 * i));
}

// Sets the file's modification time `seconds` after what it is, as a later rewrite would, without
// depending on how fine the file system's clock is.
void touch_later(const std::string& path, int seconds) {
    const auto t = std::filesystem::last_write_time(path);
    std::filesystem::last_write_time(path, t + std::chrono::seconds(seconds));
}

}  // namespace

TEST(PartitionCommand, BurnsANormalImage) {
    Rig rig(boot_of(16 << 20));
    Bytes img = pattern(16 << 20, 21);
    std::string path = write_file("boot.img", img);
    RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path});
    EXPECT_EQ(0, r.status) << r.err;
    // 16 portions of 1 MiB and the final command.
    ASSERT_EQ(18u, rig.board.commands.size());
    EXPECT_EQ("oem mwrite 0x1000000 normal store boot 0x0", rig.board.commands[0]);
    EXPECT_EQ("mwrite:verify=addsum", rig.board.commands[1]);
    EXPECT_EQ(img, rig.media->contents("store", "boot"));
    EXPECT_EQ(std::vector<std::string>({"mwrite normal store/boot 0x0 0x1000000"}), rig.media->completed);
    EXPECT_TRUE(contains(r.err, "cmd[oem mwrite 0x1000000 normal store boot 0x0]\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "media writing [mwrite:verify=addsum]...\nDownloading...\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "[100%/   16MBytes]")) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("MSG\\[VXN\\]mwrite finish\nOKAY \\[ *\\d+\\.\\d{3}s\\]\n"
                                                    "finished\\. total time: \\d+\\.\\d{3}s\n")))
        << r.err;
    EXPECT_FALSE(contains(r.err, "sparse format detected"));
}

TEST(PartitionCommand, ProbesSparseImagesAndTheTypeOptionOverridesIt) {
    // Blocks of data, of a fill word and of zeros, and a size that is not a multiple of 4 KiB.
    Bytes expanded = pattern(0x5000, 22);
    expanded.resize(0x9000, 0x5A);
    expanded.resize(0x10000, 0);
    Bytes more = pattern(0x1800, 23);
    expanded.insert(expanded.end(), more.begin(), more.end());
    Bytes sparse = mediatest::sparse_encode(expanded, 4096);
    std::string path = write_file("sparse.img", sparse);
    {
        Rig rig(boot_of(0x20000, Bytes(0x20000, 0xEE)));
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path, "-o", "0x1000"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(contains(r.err, "sparse format detected\n")) << r.err;
        char announce[80];
        snprintf(announce, sizeof(announce), "oem mwrite 0x%zx sparse store boot 0x1000", sparse.size());
        EXPECT_EQ(announce, rig.board.commands.at(0));
        // Don't-care blocks keep what the partition held.
        Bytes want(0x20000, 0xEE);
        Bytes padded = expanded;
        padded.resize(0x12000, 0);
        for (size_t i = 0; i < padded.size(); i++)
            if (i < 0x9000 || i >= 0x10000) want[0x1000 + i] = padded[i];
        EXPECT_EQ(want, rig.media->contents("store", "boot"));
    }
    {
        Rig rig(boot_of(0x20000));
        RunResult r = run_vorn(rig.board, {"partition", "-t", "normal", "-p", "boot", "-f", path});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_FALSE(contains(r.err, "sparse format detected")) << r.err;
        char announce[80];
        snprintf(announce, sizeof(announce), "oem mwrite 0x%zx normal store boot 0x0", sparse.size());
        EXPECT_EQ(announce, rig.board.commands.at(0));
        EXPECT_EQ(sparse, slice(rig.media->contents("store", "boot"), 0, sparse.size()));
    }
}

TEST(PartitionCommand, AnImageThatChangesDuringTheBurnFails) {
    // Four portions of 1 MiB: the board asks five times, the fifth answered with OKAY.
    const Bytes img = pattern(4 << 20, 43);
    struct Case {
        const char* what;
        std::vector<std::string> type;
        int at;
        std::function<void(const std::string&)> change;
    };
    auto rewrite = [](const std::string& path) {
        int fd = open_host_file(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        Bytes other = pattern(0x1000, 44);
        ASSERT_EQ((long long)other.size(), write_full(fd, other.data(), other.size()));
        close(fd);
        touch_later(path, 2);
    };
    auto shrink = [](const std::string& path) { std::filesystem::resize_file(path, 3 << 20); };
    auto grow = [](const std::string& path) { std::filesystem::resize_file(path, 5 << 20); };
    const std::vector<Case> cases = {
        {"rewritten in the middle", {}, 3, rewrite},
        {"rewritten before the last OKAY", {}, 5, rewrite},
        {"grown before the last OKAY", {}, 5, grow},
        {"rewritten in the middle, -t sparse", {"-t", "sparse"}, 3, rewrite},
        {"shrunk in the middle, -t sparse", {"-t", "sparse"}, 2, shrink},
        {"shrunk before the last OKAY, -t sparse", {"-t", "sparse"}, 5, shrink},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = write_file("changing.img", img);
        Rig rig(boot_of(8 << 20), false);
        Board& b = rig.board;
        b.add_feature(std::make_unique<ChangesImage>(rig.media, c.at, [&] { c.change(path); }));
        std::vector<std::string> words = {"partition", "-p", "boot", "-f", path};
        words.insert(words.end(), c.type.begin(), c.type.end());
        RunResult r = run_vorn(b, words);
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_TRUE(contains(r.err, "ERR[VXN]the image changed during the burn")) << r.err;
        EXPECT_TRUE(contains(r.err, "FAILED (image changed during the burn)")) << r.err;
        EXPECT_FALSE(contains(r.err, "mwrite finish")) << r.err;
    }
    // Shorter already when the sparse stream is indexed, after the handler sized it.
    const std::string path = write_file("short.img", pattern(1 << 20, 45));
    int fd = open_host_file(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    long long sized = (1 << 20) + 4096;
    sparse_stream* stream = nullptr;
    FileIdentity identity;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-598, prepare_sparse_stream(fd, path.c_str(), &sized, &stream, &identity));
    const std::string err = testing::internal::GetCapturedStderr();
    close(fd);
    EXPECT_EQ(nullptr, stream);
    EXPECT_TRUE(contains(err, "ERR[VXN]Fail in read img " + path + " for its sparse stream (Invalid argument)")) << err;
    EXPECT_TRUE(contains(err, "ERR[VXN]" + path + " became shorter while it was read (1052672 bytes when it was sized)"))
        << err;
}

TEST(PartitionCommand, ADamagedSparseImageIsBurnedAsANormalOneWithItsReason) {
    const Bytes good = five_block_sparse();
    ASSERT_EQ(12368u, good.size());
    struct Case {
        std::function<void(Bytes*)> damage;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {[](Bytes* b) { b->resize(8232 + 6); }, "chunk 1 of 4 is cut short in its header"},
        {[](Bytes* b) { b->resize(28 + 12 + 100); }, "chunk 0 of 4 is cut short"},
        {[](Bytes* b) { put_le32_at(b, 20, 5); }, "chunk 4 of 5 is cut short in its header"},
        {[](Bytes* b) { put_le32_at(b, 16, 6); }, "its chunks cover 5 blocks, but its header says 6"},
        {[](Bytes* b) { put_le32_at(b, 8260 + 8, 12 + 4000); },
         "chunk 3 of 4 is a raw chunk with 4000 bytes of data for 1 blocks of 4096 bytes"},
        {[](Bytes* b) { b->resize(12368 - 100); },
         "chunk 3 of 4 is cut short (the chunks end at byte 12368, the file at byte 12268)"},
        {[](Bytes* b) { put_le32_at(b, 12, 4095); }, "its block size 4095 is not a non-zero multiple of 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        Bytes img = good;
        c.damage(&img);
        const std::string path = write_file("damaged.img", img);
        Rig rig(boot_of(0x10000));
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_FALSE(contains(r.err, "sparse format detected")) << r.err;
        EXPECT_TRUE(contains(r.err, "MSG[VXN]" + path + " looks like a sparse image but " + c.reason +
                                        "; burning it as a normal image\n"))
            << r.err;
        char announce[80];
        snprintf(announce, sizeof(announce), "oem mwrite 0x%zx normal store boot 0x0", img.size());
        EXPECT_EQ(announce, rig.board.commands.at(0));
        EXPECT_EQ(img, slice(rig.media->contents("store", "boot"), 0, img.size()));
    }
    // A whole image says nothing of the kind; a raw one neither.
    for (const Bytes& img : {good, pattern(0x3000, 45)}) {
        const std::string path = write_file("whole.img", img);
        Rig rig(boot_of(0x10000));
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_FALSE(contains(r.err, "looks like a sparse image")) << r.err;
    }
}

TEST(PartitionCommand, OffsetsMediaVerifyFilesAndOptionSpellings) {
    Bytes img = pattern(5000, 24);
    std::string path = write_file("boot.img", img);
    {
        // "-o 4K" announces 0x1000; the image is still streamed from its first byte.
        Rig rig(boot_of(0x4000));
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path, "-o", "4K"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("oem mwrite 0x1388 normal store boot 0x1000", rig.board.commands.at(0));
        EXPECT_EQ(img, slice(rig.media->contents("store", "boot"), 0x1000, img.size()));
    }
    {
        // Upper-case letters, long options with "=" and as two words, unambiguous prefixes, the
        // last value of a repeated option, and --filesize accepted and ignored.
        Rig rig(boot_of(0x4000));
        std::string vpath = write_file("v.bin", std::string(40, 'x'));
        RunResult r = run_vorn(rig.board, {"Partition", "-P", "nothing", "--partn=dram", "-F", path, "--med", "mem",
                                           "--filesize", "1", "-T", "normal", "-V", vpath, "-O", "0x10"});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::vector<std::string>({"oem mwrite 0x1388 normal mem dram 0x10", "mwrite:verify=addsum",
                                            "mwrite:verify=addsum", "oem verify " + std::string(40, 'x')}),
                  rig.board.commands);
        EXPECT_EQ(std::vector<std::string>({std::string(40, 'x')}), rig.media->verify_texts);
    }
    {
        // The longest verify file, 64 bytes, is taken whole.
        Rig rig(boot_of(0x4000));
        const std::string text(64, 'y');
        std::string vpath = write_file("v64.bin", text);
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path, "-v", vpath});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::vector<std::string>({text}), rig.media->verify_texts);
        EXPECT_EQ("oem verify " + text, rig.board.commands.back());
    }
    {
        // A verify file's bytes are the text as they are, up to a NUL.
        Rig rig(boot_of(0x4000));
        std::string vpath = write_file("v2.bin", std::string("abc\n\0def", 8));
        RunResult r = run_vorn(rig.board, {"partition", "--partname", "boot", "--filepath", path, "--verify", vpath});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::vector<std::string>({"abc\n"}), rig.media->verify_texts);
    }
    {
        // A verify text the board does not accept fails the run after the image was written.
        MediaConfig c = boot_of(0x4000);
        c.verify_text = "sha:1";
        Rig rig(c);
        std::string vpath = write_file("v3.bin", std::string("sha:2"));
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path, "-v", vpath});
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_TRUE(contains(r.err, "FAILED (remote: verify mismatch)")) << r.err;
    }
}

TEST(PartitionCommand, EveryRefusalOfTheHandler) {
    Bytes img = pattern(700, 26);
    std::string path = write_file("boot.img", img);
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string line;
    };
    std::string v65 = write_file("v65", std::string(65, 'a'));
    std::string dir = temp_dir();
    const std::vector<Case> cases = {
        {{"partition", "-p", "boot", "-f", path, "-o", "x"}, -857, "ERR[VXN]illegle offset x\n"},
        {{"partition", "-p", "boot", "-f", path, "-z", "1"}, -857, "ERR[VXN]invalid option ?\n"},
        {{"partition", "-p", "boot", "-f", path, "--bogus", "1"}, -857, "ERR[VXN]invalid option ?\n"},
        {{"partition", "-p", "boot", "-f", path, "--f", "1"}, -857, "ERR[VXN]invalid option ?\n"},
        {{"partition", "-p", "boot", "-m", "store"}, -857, "ERR[VXN]filePath is emtpy\n"},
        {{"partition", "-f", path, "-m", "store"}, -857, "ERR[VXN]partname is empty\n"},
        {{"partition", "-p", "boot", "-f", dir + "/none"}, -857, "ERR[VXN]Fail in open file " + dir + "/none\n"},
        {{"partition", "-p", "boot", "-f", path, "-v", dir + "/nov"}, -857, "ERR[VXN]Fail in open file " + dir + "/nov\n"},
        {{"partition", "-p", "boot", "-f", path, "-v", v65}, -857, "ERR[VXN]verify file sz 65 too large\n"},
        {{"upload", "-p", "boot", "-f", dir + "/o", "-m", "store"}, -863, "ERR[VXN]need specify filesize\n"},
        {{"upload", "-p", "boot", "-f", dir + "/o", "-v", "x"}, -863, "ERR[VXN]invalid option ?\n"},
        {{"upload", "-p", "boot", "-f", dir + "/o", "-z", "1q"}, -863, "ERR[VXN]illegle filesize 1q\n"},
        {{"upload", "-p", "boot", "-f", dir + "/o", "-z", "1", "-o", "-1"}, -863, "ERR[VXN]illegle offset -1\n"},
        {{"upload", "-p", "boot", "-z", "1", "-m", "store"}, -863, "ERR[VXN]filePath is emtpy\n"},
        {{"upload", "-f", dir + "/o", "-z", "1", "-m", "store"}, -863, "ERR[VXN]partname is empty\n"},
        {{"upload", "-p", "boot", "-f", dir + "/no/o", "-z", "1"}, -863, "ERR[VXN]Fail in open file " + dir + "/no/o, errno(2)\n"},
        {{"mwrite", path, "0x100", "0x200"}, -884, "ERR[VXN]err offset (0x200) + dataSz(0x100) > fsz 0x2bc\n"},
        {{"mwrite", path, "0", "0x2bd"}, -884, "ERR[VXN]err offset (0x2bd) + dataSz(0x0) > fsz 0x2bc\n"},
        {{"mwrite", path, "0x7fffffffffffffff", "0x7fffffffffffffff"}, -884, "err offset (0x7fffffffffffffff)"},
        {{"mwrite", path, "-1"}, -884, "ERR[VXN]Err offset or datasz\n"},
        {{"mwrite", dir + "/none"}, -884, "ERR[VXN]Fail in open file " + dir + "/none\n"},
    };
    for (const Case& c : cases) {
        Rig rig;
        RunResult r = run_vorn(rig.board, c.words);
        SCOPED_TRACE(c.words.back() + " " + c.line);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_TRUE(contains(r.err, c.line)) << r.err;
        // A failing handler's queue never runs: nothing reaches the board.
        EXPECT_TRUE(rig.board.commands.empty());
    }
}

TEST(PartitionCommand, TooFewWordsEndWithTheUsageBeforeAnyBoard) {
    Rig rig;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"partition", "-p", "boot", "-f"}, "ERR[VXN]L545:require at least 5 args but only 4\n"},
        {{"upload", "-p", "boot", "-f", "out.bin"}, "\nERR[VXN]L672:require at least 7 args but only 5\n"},
        {{"mwrite"}, "ERR[VXN]L446:require at least 2 args but only 1\n"},
        {{"mread"}, "ERR[VXN]L647:require at least 2 args but only 1\n"},
    };
    for (const auto& c : cases) {
        auto r = testsupport::run_vorn(rig.board, c.first);
        EXPECT_EQ(1, r.status) << c.first[0];
        EXPECT_TRUE(contains(r.err, "usage: vorn")) << r.err;
        EXPECT_EQ(c.second, r.err.substr(r.err.size() - std::min(r.err.size(), c.second.size()))) << r.err;
        EXPECT_EQ(nullptr, r.transport);
    }
    EXPECT_TRUE(rig.board.commands.empty());
}

TEST(PartitionCommand, UploadsAPartition) {
    Bytes content = pattern(0x180000, 27);
    Rig rig(boot_of(0x200000, content));
    std::string out = temp_dir() + "/out.bin";
    RunResult r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", out, "-z", "1M", "-o", "0x80000"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("oem mread 0x100000 normal store boot 0x80000", rig.board.commands.at(0));
    EXPECT_EQ(str(slice(content, 0x80000, 0x100000)), read_file(out));
    EXPECT_TRUE(contains(r.err, "media reading [mread:status=request]...\nUploading...\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "MSG[VXN]mread finish\n")) << r.err;
    // Created for its owner only (0700), as far as the system keeps such permissions.
    std::string ref = temp_dir() + "/mode-0700";
    int ref_fd = open_host_file(ref.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0700);
    ASSERT_GE(ref_fd, 0);
    close(ref_fd);
    struct stat st, ref_st;
    ASSERT_EQ(0, stat(out.c_str(), &st));
    ASSERT_EQ(0, stat(ref.c_str(), &ref_st));
    EXPECT_EQ(ref_st.st_mode & 0777u, st.st_mode & 0777u);

    // Upper case, the long names, "--verify" accepted and ignored, and a repeated run in one process.
    RunResult again = run_vorn(rig.board, {"Upload", "--partname=boot", "--filep", out, "--filesize", "0x10",
                                           "--verify", "x", "--imagetype", "normal", "--media=store"});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_EQ(str(slice(content, 0, 0x10)), read_file(out));
    EXPECT_EQ(2u, rig.media->completed.size());

    // A path written with any of the system's separators (on Windows "\\" as well as "/"): the
    // temporary file goes into the same folder, and nothing else stays there.
    const std::string sub = fresh_dir("separators");
    for (const char* sep = path_separators(); *sep; sep++) {
        std::string target = sub;
        for (char& ch : target)
            if (ch == '/') ch = *sep;
        target += std::string(1, *sep) + "out.bin";
        SCOPED_TRACE(target);
        RunResult with = run_vorn(rig.board, {"upload", "-p", "boot", "-f", target, "-z", "0x20"});
        EXPECT_EQ(0, with.status) << with.err;
        EXPECT_EQ(str(slice(content, 0, 0x20)), read_file(sub + "/out.bin"));
        EXPECT_EQ(std::vector<std::string>({"out.bin"}), names_in(sub));
    }
}

// Host files are opened in binary mode everywhere: a text-mode open (the default on Windows)
// would turn "\n" into "\r\n" on the way out and stop reading at 0x1A.
TEST(PartitionCommand, EveryByteValueSurvivesDownloadPartitionAndUpload) {
    Bytes content;
    for (int round = 0; round < 16; round++)
        for (int v = 0; v < 256; v++) content.push_back(static_cast<uint8_t>(v ^ round));
    // A text file's line ends and end-of-file mark where a text-mode read would trip first.
    const Bytes text = {'\r', '\n', '\n', 0x1A, '\r', 0x1A, 0x00};
    content.insert(content.begin(), text.begin(), text.end());
    std::string path = write_file("every-byte.bin", content);
    Rig rig(boot_of(0x2000));
    RunResult r = run_vorn(rig.board, {"download", path});
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ(1u, rig.board.downloads.size());
    EXPECT_EQ(content, rig.board.downloads[0].data);
    r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(content, slice(rig.media->contents("store", "boot"), 0, content.size()));
    std::string out = temp_dir() + "/every-byte.out";
    char size[32];
    snprintf(size, sizeof(size), "0x%zx", content.size());
    r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", out, "-z", size});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(str(content), read_file(out));
}

TEST(PartitionCommand, UploadProgressLines) {
    Bytes content = pattern(8 << 20, 28);
    Rig rig(boot_of(8 << 20, content));
    std::string out = temp_dir() + "/out.bin";
    RunResult r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", out, "-z", "8M"});
    EXPECT_EQ(0, r.status) << r.err;
    std::regex lines("Uploading\\.\\.\\.\n\\[ 50%/    8MBytes\\] \\d+ms\r\\[100%/    8MBytes\\] \\d+ms\r\n"
                     "MSG\\[VXN\\]mread finish\n");
    EXPECT_TRUE(std::regex_search(r.err, lines)) << r.err;
}

TEST(PartitionCommand, MwriteAndMreadSlices) {
    Bytes file = pattern(700, 29);
    std::string path = write_file("f.bin", file);
    Rig rig(boot_of(0x1000));
    // Announced by a run of its own, as a user of the bare streams would.
    ASSERT_EQ(0, run_vorn(rig.board, {"oem", "mwrite", "0xbc", "normal", "store", "boot", "0x0"}).status);
    RunResult r = run_vorn(rig.board, {"mwrite", path, "0", "0x200"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(slice(file, 512, 188), slice(rig.media->contents("store", "boot"), 0, 188));
    ASSERT_EQ(0, run_vorn(rig.board, {"oem", "mwrite", "0x80", "normal", "store", "boot", "0x200"}).status);
    r = run_vorn(rig.board, {"mwrite", path, "0x80", "0x100"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(slice(file, 0x100, 0x80), slice(rig.media->contents("store", "boot"), 0x200, 0x80));

    // A "mread" the board refuses keeps the file that was there.
    std::string out = write_file("old.bin", std::string(100, 'o'));
    r = run_vorn(rig.board, {"mread", out});
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_EQ(std::string(100, 'o'), read_file(out));
    EXPECT_TRUE(contains(r.err, "FAILED (remote: no mread announced)")) << r.err;
    ASSERT_EQ(0, run_vorn(rig.board, {"oem", "mread", "0x100", "normal", "store", "boot", "0x200"}).status);
    r = run_vorn(rig.board, {"mread", out});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(str(slice(rig.media->contents("store", "boot"), 0x200, 0x100)), read_file(out));
    EXPECT_FALSE(contains(r.err, "Uploading")) << r.err;
}

TEST(PartitionCommand, SliceStartingBeyond2GiB) {
    // A file of holes with data at 2 GiB + 4 KiB.
    const long long at = 0x80001000ll;
    Bytes data = pattern(0x21000, 30);
    std::string path = mediatest::holey_file("big.img", at + 0x30000, at, data);
    Rig rig(boot_of(0x40000));
    ASSERT_EQ(0, run_vorn(rig.board, {"oem", "mwrite", "0x21000", "normal", "store", "boot", "0x0"}).status);
    RunResult r = run_vorn(rig.board, {"mwrite", path, "0x21000", "0x80001000"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(data, slice(rig.media->contents("store", "boot"), 0, data.size()));
}

TEST(PartitionCommand, AFailedReadKeepsTheOldFileAndLeavesNoPartialOne) {
    Bytes content = pattern(0x100000, 31);
    std::string dir = fresh_dir("reads");
    std::string out = dir + "/dump.bin";
    {
        // The whole partition arrives, then the board fails the final status.
        Rig rig(boot_of(0x100000, content));
        rig.board.config.faults.fail_prefix = "mread:status=finish";
        rig.board.config.faults.fail_text = "medium read error";
        RunResult r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", out, "-z", "1M"});
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_TRUE(contains(r.err, "FAILED (remote: medium read error)")) << r.err;
        EXPECT_TRUE(names_in(dir).empty());
        write_file("reads/dump.bin", "old dump");
        r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", out, "-z", "1M"});
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_EQ("old dump", read_file(out));
        EXPECT_EQ(std::vector<std::string>({"dump.bin"}), names_in(dir));
        // An announce the board refuses: the read never starts, and its temporary file goes too.
        rig.board.config.faults.fail_prefix = "oem mread";
        r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", dir + "/other.bin", "-z", "1M"});
        EXPECT_EQ(1, r.status) << r.err;
        EXPECT_EQ(std::vector<std::string>({"dump.bin"}), names_in(dir));
    }
    // A whole read replaces the old file, which keeps its permissions.
    ASSERT_EQ(0, chmod(out.c_str(), 0640));
    Rig rig(boot_of(0x100000, content));
    RunResult r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", out, "-z", "1M"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(str(content), read_file(out));
    EXPECT_EQ(std::vector<std::string>({"dump.bin"}), names_in(dir));
    struct stat st;
    ASSERT_EQ(0, stat(out.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777u);
}

TEST(PartitionCommand, AnUploadMustReceiveExactlyTheSizeAskedFor) {
    Rig rig(boot_of(0x200000, pattern(0x200000, 32)), false);
    rig.board.add_feature(std::make_unique<ShortReads>(rig.media, "oem mread 0x100000 ", "oem mread 0x80000 "));
    std::string dir = fresh_dir("short");
    RunResult r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", dir + "/out.bin", "-z", "1M"});
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_TRUE(contains(r.err, "ERR[VXN]board ended the read after 0x80000 of 0x100000 bytes\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "FAILED (read ended early: 524288 of 1048576 bytes)")) << r.err;
    EXPECT_FALSE(contains(r.err, "mread finish")) << r.err;
    EXPECT_TRUE(names_in(dir).empty());

    // A board that offers more than was asked for is stopped before the surplus is taken.
    Rig longer(boot_of(0x200000, pattern(0x200000, 36)), false);
    longer.media->config.read_portion = 0x180000;
    longer.board.add_feature(std::make_unique<ShortReads>(longer.media, "oem mread 0x100000 ", "oem mread 0x200000 "));
    r = run_vorn(longer.board, {"upload", "-p", "boot", "-f", dir + "/out.bin", "-z", "1M"});
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_TRUE(contains(r.err, "ERR[VXN]board sends 0x180000 bytes at 0x0 of 0x100000 asked for\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "FAILED (board sends more than the 0x100000 bytes asked for)")) << r.err;
    EXPECT_TRUE(names_in(dir).empty());
}

TEST(PartitionCommand, AnOutputThatCannotBeCreatedEndsWithStatus1) {
    Rig rig(boot_of(0x1000));
    std::string dir = temp_dir();
    RunResult r = run_vorn(rig.board, {"mread", dir + "/no/o"});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "ERR[VXN]Fail in open file " + dir + "/no/o, errno(2)\nERR[VXN]" + dir +
                                    "/no/o: No such file or directory\n"))
        << r.err;
    // A FIFO that nobody reads would block the open for good: refused at once instead.
    std::string fifo = fresh_dir("outfifo") + "/fifo";
    ASSERT_TRUE(make_fifo(fifo));
    r = run_vorn(rig.board, {"mread", fifo});
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(contains(r.err, "ERR[VXN]" + fifo + ": No such device or address\n")) << r.err;
    EXPECT_TRUE(rig.board.commands.empty());
    // A device as output is written directly, not replaced by a file.
    ASSERT_EQ(0, run_vorn(rig.board, {"oem", "mread", "0x100", "normal", "store", "boot", "0x0"}).status);
    r = run_vorn(rig.board, {"mread", "/dev/null"});
    EXPECT_EQ(0, r.status) << r.err;
    struct stat st;
    ASSERT_EQ(0, stat("/dev/null", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(PartitionCommand, InputsWithoutASizeAreRefusedBeforeAnythingIsSent) {
    std::string dir = fresh_dir("inputs");
    std::string fifo = dir + "/fifo";
    ASSERT_TRUE(make_fifo(fifo));
    const std::string no_size = ": not a regular file or block device, so it has no size to send\n";
    struct Case {
        std::string path, reason;
    };
    // Files of /proc say they hold 0 bytes and have some.
    const std::string zero_but_bytes =
        ": its size reads as 0 but it has bytes (as files of /proc and /sys do), so it has no size to send\n";
    for (const Case& c : std::vector<Case>{{dir, ": Is a directory\n"},
                                           {fifo, no_size},
                                           {"/dev/zero", no_size},
                                           {"/proc/self/status", zero_but_bytes}}) {
        SCOPED_TRACE(c.path);
        Rig rig;
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", c.path});
        EXPECT_EQ(-857, r.status);
        EXPECT_TRUE(contains(r.err, "ERR[VXN]Fail in get sz of file(" + c.path + ")\nERR[VXN]" + c.path + c.reason))
            << r.err;
        r = run_vorn(rig.board, {"mwrite", c.path});
        EXPECT_EQ(-884, r.status);
        EXPECT_TRUE(contains(r.err, "ERR[VXN]Fail in get sz of file(" + c.path + ")\nERR[VXN]" + c.path + c.reason))
            << r.err;
        EXPECT_TRUE(rig.board.commands.empty());
    }
}

// A loop device over a scratch image, for the case of a block device as the source; detached
// with the object. Empty when this machine cannot make one (no privilege, no losetup).
struct LoopDevice {
    explicit LoopDevice(const std::string& image) {
        std::string cmd = "losetup -f --show --read-only '" + image + "' 2>/dev/null";
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char line[256] = "";
            if (fgets(line, sizeof(line), p)) path = line;
            pclose(p);
        }
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
    }
    ~LoopDevice() {
        if (!path.empty() && system(("losetup -d '" + path + "'").c_str()) != 0) ADD_FAILURE() << "detach " << path;
    }
    std::string path;
};

TEST(PartitionCommand, BlockDevicesAreSizedBySeekingToTheirEnd) {
    Bytes img = pattern(0x3000, 35);
    LoopDevice dev(write_file("card.img", img));
    if (dev.path.empty()) GTEST_SKIP() << "no loop device can be made here";
    Rig rig(boot_of(0x4000));
    // The whole device: its status says 0 bytes, its end is at 0x3000.
    RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", dev.path});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("oem mwrite 0x3000 normal store boot 0x0", rig.board.commands.at(0));
    EXPECT_EQ(img, slice(rig.media->contents("store", "boot"), 0, img.size()));
    // As a sparse stream made on the fly, which sizes its input the same way.
    Rig sparse(boot_of(0x4000));
    r = run_vorn(sparse.board, {"partition", "-p", "boot", "-t", "sparse", "-f", dev.path});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(contains(sparse.board.commands.at(0), " sparse store boot 0x0")) << sparse.board.commands.at(0);
    EXPECT_EQ(img, slice(sparse.media->contents("store", "boot"), 0, img.size()));
    Board b;
    r = run_vorn(b, {"download", dev.path, "0x100", "0x2000"});
    EXPECT_EQ(0, r.status) << r.err;
    ASSERT_EQ(1u, b.downloads.size());
    EXPECT_EQ(slice(img, 0x2000, 0x100), b.downloads[0].data);
}

TEST(PartitionCommand, WordsWithBlanksOrControlCharactersAreRefused) {
    std::string path = write_file("small.img", pattern(700, 33));
    std::string out = temp_dir() + "/never.bin";
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"partition", "-p", "boot 0x100000", "-f", path}, -857, "ERR[VXN]illegle partname [boot 0x100000]"},
        {{"partition", "-p", "boot", "-f", path, "-m", "store\t"}, -857, "ERR[VXN]illegle media [store\t]"},
        {{"partition", "-p", "boot", "-f", path, "-t", "nor\nmal"}, -857, "ERR[VXN]illegle imagetype [nor\nmal]"},
        {{"partition", "-p", "", "-f", path}, -857, "ERR[VXN]illegle partname []"},
        {{"upload", "-p", "bo\x1bot", "-f", out, "-z", "1"}, -863, "ERR[VXN]illegle partname [bo\x1bot]"},
        {{"upload", "-p", "boot", "-f", out, "-z", "1", "-m", "st ore"}, -863, "ERR[VXN]illegle media [st ore]"},
    };
    for (const Case& c : cases) {
        Rig rig;
        RunResult r = run_vorn(rig.board, c.words);
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_TRUE(contains(r.err, c.line + ": blanks and control characters cannot be sent\n")) << r.err;
        EXPECT_TRUE(rig.board.commands.empty());
    }
    struct stat st;
    EXPECT_NE(0, stat(out.c_str(), &st));
}

TEST(PartitionCommand, VerifyFilesAreReadToTheirEndWhateverTheyAre) {
    std::string path = write_file("v.img", pattern(0x1000, 34));
    const std::string text(40, 'v');
    {
        Rig rig(boot_of(0x1000));
        FedPipe p(text);
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path, "-v", p.path});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::vector<std::string>({text}), rig.media->verify_texts);
    }
    {
        Rig rig(boot_of(0x1000));
        FedPipe p(std::string(200, 'v'));
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path, "-v", p.path});
        EXPECT_EQ(-857, r.status);
        EXPECT_TRUE(contains(r.err, "ERR[VXN]verify file sz 65 too large\n")) << r.err;
        EXPECT_TRUE(rig.board.commands.empty());
    }
    std::string empty = write_file("v0", std::string());
    std::string bad = write_file("vplain", "x") + "/v";
    for (const std::string& v : {empty, bad}) {
        Rig rig(boot_of(0x1000));
        RunResult r = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path, "-v", v});
        EXPECT_EQ(-857, r.status);
        EXPECT_TRUE(rig.board.commands.empty());
        if (v == empty)
            EXPECT_TRUE(contains(r.err, "ERR[VXN]verify file " + v + " is empty, nothing to verify\n")) << r.err;
        else
            EXPECT_TRUE(contains(r.err, "ERR[VXN]Fail in open file " + v + "\nERR[VXN]" + v + ": Not a directory\n"))
                << r.err;
    }
}

TEST(PartitionCommand, ADataRequestOf2GiBNamesItsCause) {
    // An image just over 2 GiB, all holes, so that the request is within its size.
    std::string path = mediatest::holey_file("2g.img", 0x80000001ll, 0, {});
    Rig rig(MediaConfig(), false);
    testsupport::script(rig.board, "mwrite:verify=addsum", {"DATA0x80000000:0x0"});
    RunResult r = run_vorn(rig.board, {"mwrite", path});
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_FALSE(contains(r.err, "FAILED ()")) << r.err;
    EXPECT_TRUE(contains(r.err, "FAILED (data request of 0x80000000 bytes, above the 0x7fffffff a transfer may move)"))
        << r.err;
}

TEST(PartitionCommand, EveryNumberFormTheWireAllowsInDataRequests) {
    // The board writes sizes and offsets of its requests in each allowed form; a size read in the
    // wrong base would ask for the wrong bytes, which the board's checksums and contents catch.
    const uint32_t seed = testsupport::test_seed();
    const board::NumberForm forms[] = {board::NumberForm::Hex,      board::NumberForm::HexUpper,
                                       board::NumberForm::HexMixed, board::NumberForm::Decimal,
                                       board::NumberForm::Octal,    board::NumberForm::Scaled};
    for (board::NumberForm form : forms) {
        const std::string name = board::write_number(0x1F400, form);
        MediaConfig config = boot_of(0x200000);
        config.portion = 0x1F400;
        config.read_portion = 0x1F400;
        Rig rig(config);
        rig.board.config.number_form = form;
        Bytes img = pattern(0x100003, seed);
        std::string path = write_file("forms.img", img);
        RunResult w = run_vorn(rig.board, {"partition", "-p", "boot", "-f", path});
        EXPECT_EQ(0, w.status) << name << ", seed " << seed << "\n" << w.err;
        EXPECT_EQ(0, rig.media->checksums_wrong) << name;
        EXPECT_EQ(str(img), str(slice(rig.media->contents("store", "boot"), 0, img.size())))
            << name << ", seed " << seed;
        std::string back = temp_dir() + "/forms.back";
        RunResult r = run_vorn(rig.board, {"upload", "-p", "boot", "-f", back, "-z", std::to_string(img.size())});
        EXPECT_EQ(0, r.status) << name << "\n" << r.err;
        EXPECT_EQ(str(img), read_file(back)) << name << ", seed " << seed;
    }
    EXPECT_EQ("0X1F400", board::write_number(0x1F400, board::NumberForm::HexUpper));
    EXPECT_EQ("0372000", board::write_number(0x1F400, board::NumberForm::Octal));
    EXPECT_EQ("125k", board::write_number(0x1F400, board::NumberForm::Scaled));
    EXPECT_EQ("128128", board::write_number(128128, board::NumberForm::Scaled));
}
