#include "tests/test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/device.h"
#include "cli/vorn_main.h"
#include "engine/action.h"
#include "protocol/exchange.h"
#include "protocol/sparse_download.h"
#include "usb/usb_enum.h"
#include "util/pause.h"
#include "util/progress.h"
#include "util/platform.h"

namespace testsupport {

namespace {

const char kTempPrefix[] = "vorn-test-";

bool process_exists(long pid) {
#ifdef _WIN32
    (void)pid;
    return true;
#else
    return pid > 0 && (kill((pid_t)pid, 0) == 0 || errno != ESRCH);
#endif
}

}  // namespace

int remove_orphaned_temp_dirs(const std::string& base) {
    namespace fs = std::filesystem;
    std::error_code ec;
    int removed = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(base, ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind(kTempPrefix, 0) != 0) continue;
        char* end = nullptr;
        long pid = strtol(name.c_str() + sizeof(kTempPrefix) - 1, &end, 10);
        if (end == name.c_str() + sizeof(kTempPrefix) - 1 || *end != '-' || process_exists(pid)) continue;
        std::error_code ignored;
        if (fs::remove_all(e.path(), ignored) > 0) removed++;
    }
    return removed;
}

namespace {

// The process's temporary folder, once made.
std::string made_temp_dir;

// What earlier tests left there: a test that writes a fixed name finds none, in any order and
// when the tests are repeated.
void empty_temp_dir() {
    if (made_temp_dir.empty()) return;
    std::error_code ec;
    for (const std::filesystem::directory_entry& e : std::filesystem::directory_iterator(made_temp_dir, ec)) {
        std::error_code ignored;
        std::filesystem::remove_all(e.path(), ignored);
    }
}

}  // namespace

std::string temp_dir() {
    std::string& dir = made_temp_dir;
    if (dir.empty()) {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path base = fs::temp_directory_path(ec);
        if (ec) abort();
        // A crash or a kill skips the removal at exit: what such a run left is removed here.
        remove_orphaned_temp_dirs(base.string());
        static pid_t owner = getpid();
        for (int i = 0; dir.empty() && i < 1000; i++) {
            fs::path d = base / (kTempPrefix + std::to_string(owner) + "-" + std::to_string(i));
            if (fs::create_directory(d, ec)) dir = d.generic_string();
        }
        if (dir.empty()) abort();
        // Death tests fork: only the process that made the folder removes it.
        atexit([] {
            std::error_code ignored;
            if (getpid() == owner) std::filesystem::remove_all(made_temp_dir, ignored);
        });
    }
    return dir;
}

std::string write_file(const std::string& name, const std::string& content) {
    std::string path = temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string write_file(const std::string& name, const board::Bytes& content) {
    return write_file(name, std::string(content.begin(), content.end()));
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

board::Bytes pattern(size_t size, uint32_t seed) {
    board::Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = (uint8_t)x;
    }
    return out;
}

FedPipe::FedPipe(const std::string& content) {
    EXPECT_EQ(0, make_pipe(fds));
    EXPECT_EQ((ssize_t)content.size(), write(fds[1], content.data(), content.size()));
    close(fds[1]);
    path = "/dev/fd/" + std::to_string(fds[0]);
}

FedPipe::~FedPipe() { close(fds[0]); }

bool make_fifo(const std::string& path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    unlink(path.c_str());
    return mkfifo(path.c_str(), 0600) == 0;
#endif
}

namespace {

// The one place where the tool's process-wide state is put back before every test, so that the
// tests pass in any order and all in one process: the action queue, the error text, the progress
// report, the sparse download's staging buffer, the pause observer, the device search's notices
// and the run's choice of board, getopt, and the files in the temporary folder.
class FreshState : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        fb_queue_reset();
        fb_set_error("%s", "");
        qrx_progress_info_reset();
        fb_download_data_sparse_reset();
        set_sleep_observer(nullptr);
        usb_search_reset();
        device_selection_reset();
        optind = 0;
        opterr = 1;
        empty_temp_dir();
    }
};

const bool kFreshStateInstalled = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new FreshState);
    return true;
}();

}  // namespace

uint32_t test_seed() {
    const char* text = getenv("VORN_TEST_SEED");
    return text && *text ? (uint32_t)strtoul(text, nullptr, 0) : 20261208u;
}

namespace {

class ScriptFeature : public board::Feature {
  public:
    ScriptFeature(std::string command, std::vector<std::string> replies)
        : command_(std::move(command)), replies_(std::move(replies)) {}
    bool on_command(board::Board& b, const std::string& command) override {
        if (command != command_) return false;
        for (const std::string& r : replies_) b.reply(r);
        return true;
    }

  private:
    std::string command_;
    std::vector<std::string> replies_;
};

}  // namespace

void script(board::Board& board, const std::string& command, const std::vector<std::string>& replies) {
    board.add_feature(std::make_unique<ScriptFeature>(command, replies));
}

RunResult run_vorn(board::Board& board, const std::vector<std::string>& words, bool capture) {
    static std::vector<std::unique_ptr<board::BoardTransport>> transports;
    std::vector<std::string> storage = {"vorn"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (auto& w : storage) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    board::BoardTransport* used = nullptr;
    if (capture) testing::internal::CaptureStderr();
    int status = vorn_main((int)storage.size(), argv.data(), [&](const char*) -> Transport* {
        transports.push_back(std::make_unique<board::BoardTransport>(board));
        used = transports.back().get();
        return used;
    });
    std::string err = capture ? testing::internal::GetCapturedStderr() : std::string();
    fb_queue_reset();
    return {status, err, used};
}

}  // namespace testsupport
