// Log lines, formatting, checksum, reply numbers and the progress line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>
#include <filesystem>
#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#endif

#include "util/add_sum.h"
#include "util/debug_output.h"
#include "util/log.h"
#include "util/numbers.h"
#include "util/owned.h"
#include "util/pause.h"
#include "util/platform.h"
#include "util/progress.h"
#include "util/staged_output.h"
#include "util/string_printf.h"
#include "tests/test_support.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::string debug_copy;
void capture_debug(const char* text) { debug_copy += text; }

}  // namespace

TEST(Log, PrefixIsFollowedByTheMessageAndLongLinesAreCut) {
    debug_copy.clear();
    set_debug_output_sink(capture_debug);
    CaptureStderr();
    EXPECT_EQ(0, qrx_log_out("MSG[VXN]", "mwrite finish\n"));
    EXPECT_EQ("MSG[VXN]mwrite finish\n", GetCapturedStderr());
    EXPECT_EQ("MSG[VXN]mwrite finish\n", debug_copy);

    std::string longer(300, 'x');
    CaptureStderr();
    qrx_log_out("ERR[VXN]", "%s\n", longer.c_str());
    std::string line = GetCapturedStderr();
    EXPECT_EQ("ERR[VXN]" + std::string(263, 'x'), line);  // no line end: it was cut off
    set_debug_output_sink(nullptr);
}

TEST(Log, DieAndMessages) {
    EXPECT_EXIT(die("bogus action"), testing::ExitedWithCode(1), "^error: bogus action\n$");
    char* m = mkmsg("downloading '%s'", "a.img");
    EXPECT_STREQ("downloading 'a.img'", m);
    free(m);
    // Longer than the working buffer: cut, never overrun.
    m = mkmsg("%s", std::string(400, 'y').c_str());
    EXPECT_EQ(255u, strlen(m));
    free(m);
}

TEST(Log, ClocksAdvanceAndTheTickWrapsModulo32Bits) {
    double t0 = now();
    uint32_t tick = _timeGetTime(0);
    usleep(20000);
    EXPECT_GE(now() - t0, 0.019);
    EXPECT_LT(now() - t0, 1.0);
    uint32_t elapsed = _timeGetTime(tick);
    EXPECT_GE(elapsed, 19u);
    EXPECT_LT(elapsed, 1000u);
    // A start tick "in the future" by 3 ms reads as 2^32 - 3 + elapsed: the subtraction wraps.
    EXPECT_GE(_timeGetTime(tick + 0xFFFFFFFFu - 1), elapsed + 2);
}

// Tests see the pauses asked for through the observer instead of waiting them out.
TEST(Pause, AnObserverSeesEachPauseUntilTheRealWaitIsPutBack) {
    static std::vector<unsigned> seen;
    seen.clear();
    sleep_observer before = set_sleep_observer([](unsigned ms) { seen.push_back(ms); });
    EXPECT_EQ(nullptr, before);  // by default the tool really waits
    sleep_ms(1500);
    sleep_ms(0);
    sleep_ms(500);
    EXPECT_EQ(std::vector<unsigned>({1500, 0, 500}), seen);
    EXPECT_NE(nullptr, set_sleep_observer(before));
    sleep_ms(1);
    EXPECT_EQ(3u, seen.size());
}

TEST(StringPrintf, TwoPassesAndAppending) {
    std::string s1023(1023, 'a'), s1024(1024, 'b');
    EXPECT_EQ(s1023, veltrop::base::StringPrintf("%s", s1023.c_str()));
    EXPECT_EQ(s1024, veltrop::base::StringPrintf("%s", s1024.c_str()));
    std::string big = veltrop::base::StringPrintf("%s-%d", std::string(5000, 'c').c_str(), 7);
    EXPECT_EQ(5002u, big.size());
    EXPECT_EQ("-7", big.substr(5000));
    std::string acc = "x";
    veltrop::base::StringAppendF(&acc, "%d", 1);
    veltrop::base::StringAppendF(&acc, "%s", "two");
    EXPECT_EQ("x1two", acc);
}

TEST(AddSum, LittleEndianWordsAndTails) {
    EXPECT_EQ(0x00636261u, add_sum("abc", 3));
    EXPECT_EQ(0x64636261u, add_sum("abcd", 4));
    EXPECT_EQ(0x646362C6u, add_sum("abcde", 5));
    const unsigned char wrap[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(0u, add_sum(wrap, 8));
    EXPECT_EQ(0u, add_sum("", 0));
    const unsigned char six[] = {1, 0, 0, 0, 2, 0};
    EXPECT_EQ(3u, add_sum(six, 6));
    // 7 bytes: one word and a 3-byte tail.
    const unsigned char seven[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(0x04030201u + 0x070605u, add_sum(seven, 7));
}

TEST(AddSum, VectorLoopMatchesAPlainWordLoopAtEveryLengthAndAlignment) {
    std::vector<unsigned char> buf(4096 + 64);
    uint32_t x = 12345;
    for (auto& b : buf) b = (unsigned char)((x = x * 1103515245 + 12345) >> 16);
    for (unsigned off = 0; off < 8; off++) {
        for (unsigned len : {0u, 1u, 63u, 64u, 65u, 127u, 255u, 1000u, 4096u}) {
            const unsigned char* p = buf.data() + off;
            uint32_t want = 0;
            unsigned i = 0;
            for (; i + 4 <= len; i += 4) want += p[i] | p[i + 1] << 8 | p[i + 2] << 16 | (uint32_t)p[i + 3] << 24;
            for (unsigned k = 0; i + k < len; k++) want += (uint32_t)p[i + k] << (8 * k);
            EXPECT_EQ(want, add_sum(p, len)) << "offset " << off << " length " << len;
        }
    }
    // Pieces whose lengths are multiples of 4 add up to the sum of the whole.
    uint32_t pieces = add_sum(buf.data(), 1024) + add_sum(buf.data() + 1024, 2048) + add_sum(buf.data() + 3072, 1023);
    EXPECT_EQ(add_sum(buf.data(), 4095), pieces);
}

TEST(ParseNum, SuffixesBasesAndLimits) {
    char* end = nullptr;
    EXPECT_EQ(16384, parse_num("0x10k", nullptr));
    EXPECT_EQ(1048576, parse_num("1M", nullptr));
    EXPECT_EQ(4294967296LL, parse_num("4g", nullptr));
    EXPECT_EQ(10, parse_num("012", nullptr));
    const char* text = "5x";
    EXPECT_EQ(5, parse_num(text, &end));
    EXPECT_EQ(text + 1, end);
    const char* colon = "0x200:0x1000";
    EXPECT_EQ(0x200, parse_num(colon, &end));
    EXPECT_EQ(':', *end);

    CaptureStderr();
    EXPECT_EQ(-1, parse_num("abc", &end));
    EXPECT_EQ("", GetCapturedStderr());
    CaptureStderr();
    EXPECT_EQ(-1, parse_num("9223372036854775808", nullptr));
    EXPECT_EQ("ERR[VXN]fail in pase_num, out of range\n", GetCapturedStderr());
    CaptureStderr();
    EXPECT_EQ(-1, parse_num("18014398509481983k", nullptr));  // 2^54 - 1: over the k limit, silently
    EXPECT_EQ("", GetCapturedStderr());
    CaptureStderr();
    EXPECT_EQ(-1, parse_num("9007199254740992k", nullptr));  // 2^53 k reaches 2^63
    EXPECT_EQ("ERR[VXN]fail in pase_num, out of range\n", GetCapturedStderr());
    end = nullptr;
    EXPECT_EQ(-1, parse_num("-1", &end));
    EXPECT_EQ(nullptr, end);  // written only on success
}

// Both number parsers scale through this one helper.
TEST(ParseNum, UnitsScaleUpToTheirLastNumberThatFits) {
    struct Case {
        const char* text;
        bool fits;
        unsigned long long value;
    } cases[] = {
        {"18014398509481982k", true, 18014398509481982ull << 10},  // 2^54 - 2
        {"18014398509481983K", false, 0},
        {"17592186044414m", true, 17592186044414ull << 20},  // 2^44 - 2
        {"17592186044415M", false, 0},
        {"17179869182g", true, 17179869182ull << 30},  // 2^34 - 2
        {"17179869183G", false, 0},
        {"7B", true, 7},
    };
    for (const Case& c : cases) {
        char* end = nullptr;
        unsigned long long v = strtoull(c.text, &end, 10);
        char* const number_end = end;
        const unsigned long long before = v;
        EXPECT_EQ(c.fits, apply_size_unit(&v, &end)) << c.text;
        if (!c.fits) {
            EXPECT_EQ(before, v) << c.text;
            EXPECT_EQ(number_end, end) << c.text;
            continue;
        }
        EXPECT_EQ(c.value, v) << c.text;
        // Past a unit letter, at anything else still.
        EXPECT_EQ(number_end + (c.value != before ? 1 : 0), end) << c.text;
    }
}

TEST(OwnedFd, ClosesWithItsOwnerKeepingErrnoAndHandsOverOnRelease) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(0, make_pipe(fds));
    {
        OwnedFd writer(fds[1]);
        OwnedFd moved(std::move(writer));
        EXPECT_EQ(-1, writer.get());
        EXPECT_EQ(fds[1], moved.get());
        errno = ENOSPC;
    }
    // The failure that made an owner give up keeps its reason.
    EXPECT_EQ(ENOSPC, errno);
    char byte = 0;
    // The writing end is closed: the pipe reads as ended.
    EXPECT_EQ(0, read(fds[0], &byte, 1));

    int again[2] = {-1, -1};
    ASSERT_EQ(0, make_pipe(again));
    int kept = -1;
    {
        OwnedFd writer(again[1]);
        kept = writer.release();
        EXPECT_EQ(-1, writer.get());
    }
    EXPECT_EQ(again[1], kept);
    EXPECT_EQ(1, write(kept, "x", 1));
    EXPECT_EQ(1, read(again[0], &byte, 1));
    EXPECT_EQ('x', byte);
    close(kept);
    close(again[0]);
    close(fds[0]);
}

namespace {

std::string run_progress(long long total, long long chunk, bool with_offsets) {
    CaptureStderr();
    qrx_progress_info_init(total, "Downloading", 0, 100);
    for (long long off = 0; off < total; off += chunk) {
        long long n = total - off < chunk ? total - off : chunk;
        qrx_progress_info_update((int)n, with_offsets ? off : -1);
    }
    return GetCapturedStderr();
}

// The percentages of the lines printed, in order.
std::vector<int> percents(const std::string& out) {
    std::vector<int> p;
    for (size_t at = out.find('['); at != std::string::npos; at = out.find('[', at + 1))
        p.push_back(atoi(out.c_str() + at + 1));
    return p;
}

}  // namespace

TEST(Progress, A100MiBWriteShowsAStepEvery4MiBAndEndsAt100) {
    std::string out = run_progress(100LL << 20, 128 << 10, true);
    EXPECT_EQ(0u, out.find("Downloading...\n["));
    std::vector<int> p = percents(out);
    ASSERT_EQ(25u, p.size());  // every 32 updates of 128 KiB, 4 percent at a time
    for (size_t i = 0; i < p.size(); i++) EXPECT_EQ(4 * (int)(i + 1), p[i]);
    EXPECT_NE(std::string::npos, out.find("[100%/  100MBytes] "));
    EXPECT_EQ("\n", out.substr(out.size() - 1));
    EXPECT_EQ(2, std::count(out.begin(), out.end(), '\n'));  // the title line and the final one
}

TEST(Progress, A1000MiBUploadStepsOnePercentPer10MiB) {
    std::string out = run_progress(1000LL << 20, 128 << 10, false);
    std::vector<int> p = percents(out);
    ASSERT_EQ(100u, p.size());
    for (size_t i = 0; i < p.size(); i++) EXPECT_EQ((int)i + 1, p[i]);
    EXPECT_NE(std::string::npos, out.find("[100%/ 1000MBytes] "));
}

TEST(Progress, SmallTransfersNeverShowMoreThan100) {
    std::string out = run_progress(1099, 1099, true);
    EXPECT_EQ(std::vector<int>{100}, percents(out));
    out = run_progress(50, 10, true);  // bytes per step is 0; every printed line would add 100
    for (int p : percents(out)) EXPECT_EQ(100, p);
}

TEST(Progress, AFinishedStreamShowsItsLastFigure) {
    // An upload of 10 MiB: offsets unknown, so the throttle holds back the last 2 MiB.
    std::string out = run_progress(10LL << 20, 128 << 10, false);
    EXPECT_EQ(std::vector<int>({40, 80}), percents(out));
    CaptureStderr();
    qrx_progress_info_finish();
    out = GetCapturedStderr();
    EXPECT_EQ(std::vector<int>{100}, percents(out));
    EXPECT_EQ("\r\n", out.substr(out.size() - 2));
    // A report that already showed its end is not shown again.
    CaptureStderr();
    qrx_progress_info_finish();
    EXPECT_EQ("", GetCapturedStderr());
}

TEST(Progress, NothingIsShownForAReportThatNeverStarted) {
    qrx_progress_info_init(1 << 20, "Uploading", 0, 100);
    CaptureStderr();
    qrx_progress_info_finish();
    EXPECT_EQ("", GetCapturedStderr());
    // Nor for one that was forgotten while it was under way, and no line stays open after it.
    run_progress(10LL << 20, 8LL << 20, false);
    qrx_progress_info_reset();
    CaptureStderr();
    qrx_progress_info_finish();
    qrx_log_out("MSG[VXN]", "next\n");
    EXPECT_EQ("MSG[VXN]next\n", GetCapturedStderr());
}

TEST(Progress, TheLineAfterAnOpenProgressLineStartsOnItsOwn) {
    std::string out = run_progress(10LL << 20, 8LL << 20, false);  // stops at 80 %, line open
    EXPECT_EQ('\r', out.back());
    CaptureStderr();
    qrx_log_out("ERR[VXN]", "Fail in send data\n");
    EXPECT_EQ("\nERR[VXN]Fail in send data\n", GetCapturedStderr());
    // Once ended, the following lines are not pushed further down.
    CaptureStderr();
    qrx_log_out("ERR[VXN]", "again\n");
    EXPECT_EQ("ERR[VXN]again\n", GetCapturedStderr());
    // A completed report leaves no line open either.
    run_progress(10LL << 20, 10LL << 20, true);
    CaptureStderr();
    qrx_log_out("MSG[VXN]", "mwrite finish\n");
    EXPECT_EQ("MSG[VXN]mwrite finish\n", GetCapturedStderr());
}

TEST(Progress, HugeTransfersKeepTheirFigures) {
    // 500 GiB: five GiB per percent does not fit a 32-bit counter.
    const long long total = 500LL << 30;
    CaptureStderr();
    qrx_progress_info_init(total, "Downloading", 0, 100);
    qrx_progress_info_update(0x40000000, 0);
    EXPECT_EQ("Downloading...\n", GetCapturedStderr());  // 1 GiB is a fifth of a percent
    CaptureStderr();
    for (int i = 1; i < 10; i++) qrx_progress_info_update(0x40000000, (long long)i << 30);
    EXPECT_EQ(std::vector<int>({1, 2}), percents(GetCapturedStderr()));
}

// The folder part of a path, as the staged output finds it, by every separator of the system.
TEST(StagedOutput, TheFolderEndsAtTheLastSeparatorOfTheSystem) {
    EXPECT_EQ(0u, staged_output_folder_length("out.bin"));
    EXPECT_EQ(5u, staged_output_folder_length("/tmp/out.bin"));
    EXPECT_EQ(9u, staged_output_folder_length("/tmp/sub/out.bin"));
    const bool backslash = strchr(path_separators(), '\\') != nullptr;
    EXPECT_EQ(backslash ? 13u : 0u, staged_output_folder_length("C:\\dumps\\sub\\out.bin"));
    EXPECT_EQ(backslash ? 11u : 3u, staged_output_folder_length("C:/tmp\\sub\\out.bin"));
}

#ifndef _WIN32
// A process ended by a signal that asks it to end leaves no temporary file; one that ends by
// exit neither. (A process killed outright cannot clean up.)
TEST(StagedOutput, TemporaryFilesGoWhenTheProcessIsEndedBySignalOrExit) {
    const std::string dir = testsupport::temp_dir() + "/staged-signals";
    std::filesystem::create_directories(dir);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM, 0}) {
        SCOPED_TRACE(sig);
        pid_t child = fork();
        if (child == 0) {
            StagedOutput out;
            if (staged_output_open(&out, (dir + "/dump.bin").c_str(), 0600) != 0) _exit(3);
            if (write(out.fd, "partial", 7) != 7) _exit(4);
            if (sig) raise(sig);
            exit(5);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        if (sig) {
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(sig, WTERMSIG(status));
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(5, WEXITSTATUS(status));
        }
        EXPECT_TRUE(std::filesystem::is_empty(dir));
    }
}

TEST(TestSupport, TheFoldersOfTestProcessesThatDiedAreRemoved) {
    std::string base = testsupport::temp_dir() + "/sweep";
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    std::string dead = base + "/vorn-test-" + std::to_string(child) + "-0";
    std::string alive = base + "/vorn-test-" + std::to_string(getpid()) + "-3";
    std::string other = base + "/vorn-test-x";
    for (const std::string& d : {dead + "/inner", alive, other}) std::filesystem::create_directories(d);
    EXPECT_EQ(1, testsupport::remove_orphaned_temp_dirs(base));
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_TRUE(std::filesystem::exists(alive));
    EXPECT_TRUE(std::filesystem::exists(other));
}
#endif
