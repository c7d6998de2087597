// Sparse download against the emulated board: the 1024-byte staging of the library's fragments,
// the data phase delivered, failures, and the queued action.
#include <gtest/gtest.h>


#include "engine/action.h"
#include "engine/queued_ops.h"
#include "protocol/exchange.h"
#include "protocol/sparse_download.h"
#include "tests/sparse_test_util.h"
#include "tests/test_support.h"

using namespace sparsetest;

namespace {

std::vector<size_t> data_writes(const board::BoardTransport& t) {
    // The first write is the command text.
    return std::vector<size_t>(t.write_sizes.begin() + 1, t.write_sizes.end());
}

TEST(SparseDownload, StagingOfFragments) {
    board::Board board;
    board::BoardTransport t(board);
    const std::string data(4096 + 1024 + 2500, 'd');
    ASSERT_GE(_command_start(&t, "download:00001dec", 0x1dec, nullptr, nullptr, nullptr), 0);

    // 28 and 12 are staged; 4096 fills the buffer with 984 bytes, 3072 go out directly and
    // 40 are staged again.
    EXPECT_EQ(fb_download_data_sparse_write(&t, data.data(), 28), 0);
    EXPECT_EQ(fb_download_data_sparse_write(&t, data.data(), 12), 0);
    EXPECT_TRUE(data_writes(t).empty());
    EXPECT_EQ(fb_download_data_sparse_write(&t, data.data(), 4096), 0);
    EXPECT_EQ(data_writes(t), (std::vector<size_t>{1024, 3072}));
    // 984 to fill the buffer, 40 staged again (exactly 1024 left would be staged, not sent).
    EXPECT_EQ(fb_download_data_sparse_write(&t, data.data(), 1024), 0);
    EXPECT_EQ(data_writes(t), (std::vector<size_t>{1024, 3072, 1024}));
    // 2500 with 40 held: 984 fill the buffer, 1024 go directly, 492 are staged.
    EXPECT_EQ(fb_download_data_sparse_write(&t, data.data(), 2500), 0);
    EXPECT_EQ(data_writes(t), (std::vector<size_t>{1024, 3072, 1024, 1024, 1024}));
    EXPECT_EQ(fb_download_data_sparse_flush(&t), 0);
    EXPECT_EQ(data_writes(t).back(), 492u);
    EXPECT_EQ(_command_end(&t), 0);
    EXPECT_EQ(board.downloads[0].data.size(), 0x1decu);
}

TEST(SparseDownload, SingleFragments) {
    board::Board board;
    board::BoardTransport t(board);
    const std::string data(2500, 'e');
    ASSERT_GE(_command_start(&t, "download:00000400", 0x400, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(fb_download_data_sparse_write(&t, data.data(), 1024), 0);
    EXPECT_TRUE(data_writes(t).empty());  // staged, not sent
    EXPECT_EQ(fb_download_data_sparse_flush(&t), 0);
    EXPECT_EQ(data_writes(t), (std::vector<size_t>{1024}));
    EXPECT_EQ(_command_end(&t), 0);

    board::Board board2;
    board::BoardTransport t2(board2);
    ASSERT_GE(_command_start(&t2, "download:000009c4", 2500, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(fb_download_data_sparse_write(&t2, data.data(), 2500), 0);
    EXPECT_EQ(data_writes(t2), (std::vector<size_t>{2048}));
    EXPECT_EQ(fb_download_data_sparse_flush(&t2), 0);
    EXPECT_EQ(data_writes(t2), (std::vector<size_t>{2048, 452}));
    EXPECT_EQ(fb_download_data_sparse_flush(&t2), 0);  // nothing held: nothing sent
    EXPECT_EQ(data_writes(t2).size(), 2u);
    EXPECT_EQ(_command_end(&t2), 0);
    EXPECT_EQ(board2.downloads[0].data, board::Bytes(data.begin(), data.end()));
}

TEST(SparseDownload, WholeImage) {
    board::Bytes content = testsupport::pattern(5 * 4096 + 300, 11);
    sparse_file* s = sparse_file_new(4096, 64 * 4096);
    sparse_file_add_data(s, content.data(), 2 * 4096, 0);
    sparse_file_add_fill(s, 0x77777777, 8 * 4096, 10);
    sparse_file_add_data(s, content.data() + 2 * 4096, 3 * 4096 + 300, 30);
    Recorder expected;
    ASSERT_EQ(sparse_file_callback(s, true, false, record, &expected), 0);

    board::Board board;
    board::BoardTransport t(board);
    EXPECT_EQ(fb_download_data_sparse(&t, s), 0);
    ASSERT_EQ(board.downloads.size(), 1u);
    char cmd[32];
    snprintf(cmd, sizeof(cmd), "download:%08x", unsigned(expected.total()));
    EXPECT_EQ(board.downloads[0].command, cmd);
    std::string got(board.downloads[0].data.begin(), board.downloads[0].data.end());
    EXPECT_EQ(got, expected.stream());
    std::vector<size_t> sizes = data_writes(t);
    for (size_t i = 0; i + 1 < sizes.size(); i++) EXPECT_EQ(sizes[i] % 1024, 0u) << i;
    // The staging is empty afterwards: a second download starts clean.
    board::Board board2;
    board::BoardTransport t2(board2);
    EXPECT_EQ(fb_download_data_sparse(&t2, s), 0);
    EXPECT_EQ(board2.downloads[0].data, board.downloads[0].data);
    sparse_file_destroy(s);
}

TEST(SparseDownload, Failures) {
    // An image that cannot be measured sends nothing.
    sparse_file* s = sparse_file_new(4096, 4096);
    sparse_file_add_fd(s, -1, 0, 4096, 0);
    board::Board board;
    board::BoardTransport t(board);
    EXPECT_EQ(fb_download_data_sparse(&t, s), -1);
    EXPECT_STREQ("sparse image size unknown", fb_get_error());
    EXPECT_TRUE(board.commands.empty());
    EXPECT_TRUE(t.write_sizes.empty());
    sparse_file_destroy(s);

    // The board refuses the command, or a transfer fails half-way.
    board::Bytes content = testsupport::pattern(16 * 4096, 2);
    s = sparse_file_new(4096, 16 * 4096);
    sparse_file_add_data(s, content.data(), 16 * 4096, 0);
    board::Config refusing;
    refusing.faults.fail_prefix = "download:";
    refusing.faults.fail_text = "no room";
    board::Board b1(refusing);
    board::BoardTransport t1(b1);
    EXPECT_EQ(fb_download_data_sparse(&t1, s), -1);
    EXPECT_STREQ("remote: no room", fb_get_error());
    board::Config flaky;
    flaky.faults.fail_write_after = 2;
    board::Board b2(flaky);
    board::BoardTransport t2(b2);
    EXPECT_EQ(fb_download_data_sparse(&t2, s), -1);
    EXPECT_NE(std::string(fb_get_error()).find("data transfer failure"), std::string::npos);
    sparse_file_destroy(s);
}

// Empties the file behind a run once its download has been announced.
struct EmptiesTheFileOnDownload : board::Feature {
    std::string name;
    bool on_command(board::Board&, const std::string& command) override {
        if (command.rfind("download:", 0) == 0) testsupport::write_file(name, std::string());
        return false;
    }
};

// A run whose file cannot be read any more fails the download with the reason, not with an
// older text or none.
TEST(SparseDownload, AnUnreadableRunNamesItsCause) {
    const std::string path = testsupport::write_file("run.bin", testsupport::pattern(4 * 4096, 3));
    sparse_file* s = sparse_file_new(4096, 4 * 4096);
    ASSERT_EQ(0, sparse_file_add_file(s, path.c_str(), 0, 4 * 4096, 0));
    board::Board b;
    auto feature = std::make_unique<EmptiesTheFileOnDownload>();
    feature->name = "run.bin";
    b.add_feature(std::move(feature));
    board::BoardTransport t(b);
    fb_set_error("older failure");
    EXPECT_EQ(-1, fb_download_data_sparse(&t, s));
    EXPECT_STREQ("sparse image read failed (Invalid argument)", fb_get_error());
    sparse_file_destroy(s);
}

// Answers the flash command that follows a sparse download.
struct FlashFeature : board::Feature {
    std::vector<std::string> flashed;
    bool on_command(board::Board& b, const std::string& command) override {
        if (command.rfind("flash:", 0) != 0) return false;
        flashed.push_back(command.substr(6));
        b.reply("OKAY");
        return true;
    }
};

TEST(SparseDownload, QueuedAction) {
    board::Bytes content = testsupport::pattern(3 * 4096, 4);
    sparse_file* s = sparse_file_new(4096, 8 * 4096);
    sparse_file_add_data(s, content.data(), 3 * 4096, 2);
    Recorder expected;
    sparse_file_callback(s, true, false, record, &expected);

    board::Board board;
    auto feature = std::make_unique<FlashFeature>();
    FlashFeature* flash = feature.get();
    board.add_feature(std::move(feature));
    Transport* t = new board::BoardTransport(board);
    fb_queue_flash_sparse("system", s, unsigned(expected.total()), 1, 1);
    testing::internal::CaptureStderr();
    int status = fb_execute_queue(t);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0) << err;
    ASSERT_EQ(board.downloads.size(), 1u);
    EXPECT_EQ(std::string(board.downloads[0].data.begin(), board.downloads[0].data.end()),
              expected.stream());
    EXPECT_EQ(flash->flashed, (std::vector<std::string>{"system"}));
    EXPECT_NE(err.find("sending sparse 'system' 1/1"), std::string::npos) << err;
    fb_queue_reset();
    delete t;
    sparse_file_destroy(s);
}

}  // namespace
