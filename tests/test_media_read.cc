// The media read stream against the emulated board's storage medium.
#include <gtest/gtest.h>

#include <regex>
#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "protocol/media_read.h"
#include "tests/media_rig.h"
#include "util/platform.h"
#include "util/progress.h"

using board::Bytes;
using board::MediaConfig;
using mediatest::contains;
using mediatest::Rig;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using testsupport::pattern;
using testsupport::read_file;
using testsupport::script;
using testsupport::temp_dir;

namespace {

struct Outcome {
    int result;
    std::string err;
    std::string file;
};

Outcome mread(Rig& rig, bool progress = false, const std::string& out = temp_dir() + "/out") {
    int fd = open_host_file(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    CaptureStderr();
    int r = fb_mread_data(&rig.transport, fd, progress);
    close(fd);
    std::string err = GetCapturedStderr();
    return {r, err, read_file(out)};
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

MediaConfig with_boot(const Bytes& content) {
    MediaConfig c;
    c.media = {{"store", {{"boot", content.size() + 0x1000, content}}}};
    return c;
}

}  // namespace

TEST(MediaRead, OkayAtOnceGivesAnEmptyFile) {
    Rig rig;
    ASSERT_EQ(0, rig.announce("oem mread 0x0 normal store boot 0x0"));
    Outcome o = mread(rig);
    EXPECT_EQ(0, o.result);
    EXPECT_TRUE(contains(o.err, "MSG[VXN]mread finish\n")) << o.err;
    EXPECT_EQ("", o.file);
    EXPECT_EQ(std::vector<std::string>({"mread store/boot 0x0 0x0"}), rig.media->completed);
}

TEST(MediaRead, PortionsAreReadInChunksAndAppended) {
    Bytes content = pattern(0x70003, 5);
    MediaConfig c = with_boot(content);
    c.read_portion = 0x30000;
    Rig rig(c);
    ASSERT_EQ(0, rig.announce("oem mread 0x60003 normal store boot 0x10000"));
    rig.transport.read_sizes.clear();
    Outcome o = mread(rig);
    EXPECT_EQ(0, o.result) << o.err;
    EXPECT_EQ(str(mediatest::slice(content, 0x10000, 0x60003)), o.file);
    // Reply, two chunks of the first portion, finish reply; the same again; then a 3-byte rest.
    std::vector<size_t> data;
    for (size_t n : rig.transport.read_sizes)
        if (n > 128) data.push_back(n);
    EXPECT_EQ(std::vector<size_t>({0x20000, 0x10000, 0x20000, 0x10000}), data);
    EXPECT_EQ(3u, rig.transport.read_sizes[rig.transport.read_sizes.size() - 3]);
    EXPECT_EQ(std::vector<std::string>({"mread store/boot 0x10000 0x60003"}), rig.media->completed);
    EXPECT_TRUE(rig.media->problems.empty());
    EXPECT_FALSE(contains(o.err, "Uploading")) << o.err;
}

TEST(MediaRead, OffsetsAndDirectionsAreRefusedBeforeTheUpload) {
    {
        Rig rig(MediaConfig(), false);
        script(rig.board, "mread:status=request", {"DATAIN0x100:0x200"});
        Outcome o = mread(rig);
        EXPECT_EQ(-376, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]illegle fileoffset 0x200 for mread\n")) << o.err;
        EXPECT_EQ(std::vector<std::string>({"mread:status=request"}), rig.board.commands);
    }
    {
        Rig rig(MediaConfig(), false);
        script(rig.board, "mread:status=request", {"DATAOUT0x100"});
        Outcome o = mread(rig);
        EXPECT_EQ(-380, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]protocol err, dir changed\n")) << o.err;
        EXPECT_EQ(std::vector<std::string>({"mread:status=request"}), rig.board.commands);
    }
    {
        Rig rig(MediaConfig(), false);
        script(rig.board, "mread:status=request", {"DATAIN0x40000001"});
        Outcome o = mread(rig);
        EXPECT_EQ(-1, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]fail in mread[mread:status=request]\n")) << o.err;
        EXPECT_STREQ("data size too large", fb_get_error());
        EXPECT_TRUE(rig.transport.closed());
    }
    {
        // A portion of nothing is not the end of the read.
        Rig rig(MediaConfig(), false);
        script(rig.board, "mread:status=request", {"DATAIN0x0"});
        Outcome o = mread(rig);
        EXPECT_EQ(-1, o.result);
        EXPECT_FALSE(contains(o.err, "mread finish")) << o.err;
        EXPECT_STREQ("data request of 0 bytes", fb_get_error());
    }
    {
        Rig rig;
        Outcome o = mread(rig);  // nothing announced
        EXPECT_EQ(-1, o.result);
        EXPECT_STREQ("remote: no mread announced", fb_get_error());
    }
}

TEST(MediaRead, FailuresDuringAPortion) {
    Bytes content = pattern(0x100000, 6);
    {
        // A DATA reply to the finish command.
        Rig rig(with_boot(content));
        rig.board.config.faults.data_prefix = "mread:status=finish";
        ASSERT_EQ(0, rig.announce("oem mread 0x1000 normal store boot 0x0"));
        Outcome o = mread(rig);
        EXPECT_EQ(-1, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]fail in cmd[mread:status=finish]\n")) << o.err;
        EXPECT_STREQ("unknown status code", fb_get_error());
        EXPECT_TRUE(rig.transport.closed());
        EXPECT_TRUE(rig.media->completed.empty());
    }
    {
        // A board that vanishes after 0x40000 bytes of a 1 MiB portion.
        MediaConfig c = with_boot(content);
        c.vanish_after_read_bytes = 0x40000;
        Rig rig(c);
        ASSERT_EQ(0, rig.announce("oem mread 0x100000 normal store boot 0x0"));
        Outcome o = mread(rig);
        EXPECT_EQ(-350, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in send data at len 0x20000\n")) << o.err;
        EXPECT_EQ(str(mediatest::slice(content, 0, 0x40000)), o.file);
        EXPECT_TRUE(rig.media->completed.empty());
    }
    {
        // A file that takes no bytes: open for reading only.
        Rig rig(with_boot(content));
        ASSERT_EQ(0, rig.announce("oem mread 0x1000 normal store boot 0x0"));
        int fd = open_host_file(testsupport::write_file("read-only.bin", std::string("x")).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        CaptureStderr();
        EXPECT_EQ(-350, fb_mread_data(&rig.transport, fd, false));
        std::string err = GetCapturedStderr();
        close(fd);
        EXPECT_TRUE(contains(err, "ERR[VXN]Fail in write file,want 4096 but -1\n")) << err;
    }
#ifndef _WIN32
    {
        // A disk that fills part-way through a portion (here the process's file size limit, with
        // its signal ignored): the write that stored part of the bytes is not taken for a whole
        // one, even as the portion's last.
        Rig rig(with_boot(content));
        ASSERT_EQ(0, rig.announce("oem mread 0x4000 normal store boot 0x0"));
        struct rlimit was;
        ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &was));
        struct rlimit limited = was;
        limited.rlim_cur = 0x1800;
        void (*old_handler)(int) = signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
        Outcome o = mread(rig);
        setrlimit(RLIMIT_FSIZE, &was);
        signal(SIGXFSZ, old_handler);
        EXPECT_EQ(-350, o.result);
        EXPECT_TRUE(contains(o.err, "ERR[VXN]Fail in write file,want 16384 but 6144\n")) << o.err;
        EXPECT_STREQ("output write failed (file full)", fb_get_error());
        EXPECT_EQ(str(mediatest::slice(content, 0, 0x1800)), o.file);
        EXPECT_TRUE(rig.media->completed.empty());
    }
#endif
    {
        // The upload command cannot be written: announce, request, then the upload write fails.
        Rig rig(with_boot(content));
        ASSERT_EQ(0, rig.announce("oem mread 0x1000 normal store boot 0x0"));
        rig.board.config.faults.fail_write_after = 2;
        Outcome o = mread(rig);
        EXPECT_EQ(-1, o.result);
        EXPECT_TRUE(contains(fb_get_error(), "command write failed")) << fb_get_error();
        EXPECT_TRUE(rig.transport.closed());
    }
}

TEST(MediaRead, ProgressLinesOfARead) {
    Bytes content = pattern(10 << 20, 8);
    MediaConfig c = with_boot(content);
    Rig rig(c);
    ASSERT_EQ(0, rig.announce("oem mread 0xa00000 normal store boot 0x0"));
    qrx_progress_info_init(10 << 20, "Uploading", 0, 100);
    Outcome o = mread(rig, true);
    EXPECT_EQ(0, o.result) << o.err;
    EXPECT_EQ(str(mediatest::slice(content, 0, 10 << 20)), o.file);
    // Offsets are unknown on a read: a line per 4 MiB; the end of the stream shows the last
    // figure, and the next line starts on a line of its own.
    std::regex lines("Uploading\\.\\.\\.\n\\[ 40%/   10MBytes\\] \\d+ms\r\\[ 80%/   10MBytes\\] \\d+ms\r"
                     "\\[100%/   10MBytes\\] \\d+ms\r\nMSG\\[VXN\\]mread finish\n");
    EXPECT_TRUE(std::regex_search(o.err, lines)) << o.err;
}
