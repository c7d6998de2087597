// The command line: usage, dispatch, word counts, exit statuses and the simple commands, run
// through the whole flow with an emulated board behind the transport.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "cli/vorn_main.h"
#include "tests/media_rig.h"
#include "tests/test_support.h"
#include "util/platform.h"
#include "util/version.h"

using board::Board;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;
using testsupport::run_vorn;
using testsupport::FedPipe;
using testsupport::write_file;

namespace {

const char kStartup[] = "MSG[VXN]Quenrix USB VXN tool: V[2.6.3] at Aug 20 2021\n";

std::string usage_text() {
    CaptureStderr();
    usage();
    return GetCapturedStderr();
}

// A file of `size` bytes that takes no disk space.
std::string sparse_file_of(const std::string& name, long long size) {
    std::string path = testsupport::temp_dir() + "/" + name;
    int fd = open_host_file(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(0, ftruncate(fd, size));
    close(fd);
    return path;
}

}  // namespace

TEST(CommandLine, UsageTextIsExact) {
    std::string u = usage_text();
    // All 28 lines, byte for byte.
    const std::string want =
        "Quenrix VXN protocol tool V[2.6.3] at Aug 20 2021\n"
        "usage: vorn [ -s <specific para> ] <command> <command para>\n"
        "commands:\n"
        "  devices                                  List all connected vxn devices\n"
        "  getvar <variable>                        Display a BL1/BL2/BL33 variable.\n"
        "                                           if not supported, this does nothing.\n"
        "  setvar <variable> <value>                Set a BL1 <variable> with <value>.\n"
        "  setkey <keyPath>                         Set a BL1 <variable> with <value>.\n"
        "  oem/cmd <cmd>                                Send a BL33 string<cmd>.\n"
        "  download <FilePath> [<size> <offset>]                     \n"
        "          Download file to RAM[, with <size>bytes from <offset>]\n"
        "  run   boot code in RAM, after cmd 'download'.\n"
        "  bl1_boot -f <bootloaderPath>             BL1 download and boot bl2.\n"
        "  bl2_boot -f <bootloaderPath>             BL2 download and boot TPL.\n"
        "  partition <-p partName>  <-f imgPath>  [<-m media>] [<-t imgType>] [-v vryFile]\n"
        "            @media:    mem/store/key, default store\n"
        "            @imgType:  sparse/normal, default normal\n"
        "  upload <-p partName>  <-f dumpFilePath>  <-z dumpSz [K|M|G]> [<-m media>] [<-o offset>]\n"
        "            @media:    mem/store/key, default store\n"
        "            @offset:   start offset in part @partname, default 0\n"
        "  reboot [mode]                            Reboot device [into supported mode].\n"
        "  burn -f <planPath> [-r <reportPath>] [-T <seconds>]\n"
        "            run the steps of a plan file on one device, see 'man vorn'\n"
        "\n"
        "other options:\n"
        "  -s <specific para>                     specify a USB device, command 'devices' to get specific para\n"
        "  -h, --help                             show this message.\n"
        "Quenrix VXN protocol tool V[2.6.3] at Aug 20 2021\n";
    EXPECT_EQ(want, u);
    EXPECT_EQ(28, std::count(u.begin(), u.end(), '\n'));

    Board b;
    for (auto words : std::vector<std::vector<std::string>>{{}, {"-h"}, {"--help"}}) {
        auto r = run_vorn(b, words);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(u, r.err);  // nothing else, not even the start-up line
        EXPECT_EQ(nullptr, r.transport);
    }
    // After a command word, too: the usage after the start-up line, and no board is waited for.
    for (auto words : std::vector<std::vector<std::string>>{{"getvar", "-h"}, {"-s", "X", "upload", "--help"}}) {
        auto r = run_vorn(b, words);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(kStartup + u, r.err);
        EXPECT_EQ(nullptr, r.transport);
    }
    EXPECT_TRUE(b.commands.empty());
}

TEST(CommandLine, VersionGoesToStandardOutputWithTheSourceRevision) {
    Board b;
    CaptureStdout();
    auto r = run_vorn(b, {"--version"});
    std::string out = GetCapturedStdout();
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(nullptr, r.transport);  // no board is waited for
    EXPECT_EQ(std::string("vorn V[2.6.3] at Aug 20 2021\nsource revision: ") + vorn_source_revision + "\n", out);
    EXPECT_STRNE("", vorn_source_revision);
    EXPECT_STREQ("2.6.3", vorn_project_version);
}

TEST(CommandLine, UnknownCommandsAreRejectedBeforeAnyDeviceIsOpened) {
    Board b;
    for (auto words : std::vector<std::vector<std::string>>{
             {"GETVAR", "x"}, {"Setvar", "a", "1"}, {"-s", "X", "devices"}, {"-s", "X"}}) {
        auto r = run_vorn(b, words);
        EXPECT_EQ(-818, r.status);
        EXPECT_EQ(nullptr, r.transport);
        std::string word = words[0] == "-s" && words.size() == 3 ? "devices" : words[0];
        EXPECT_EQ(std::string(kStartup) + "ERR[VXN]cmd \"" + word + "\" not in supported list\n", r.err);
    }
    EXPECT_TRUE(b.commands.empty());
}

TEST(CommandLine, SelectorIsPassedToTheOpenerAndNoDeviceMeansStatus1) {
    std::string seen = "unset";
    const char* argv[] = {"vorn", "-s", "SN9", "run", nullptr};
    CaptureStderr();
    int status = vorn_main(4, const_cast<char**>(argv), [&](const char* sel) -> Transport* {
        seen = sel ? sel : "none";
        return nullptr;
    });
    GetCapturedStderr();
    EXPECT_EQ(1, status);
    EXPECT_EQ("SN9", seen);
}

TEST(CommandLine, MistakesAreAnsweredBeforeWaitingForABoard) {
    // Each mistake without a board ends at once (the board is never waited for) and says what it
    // says with a board: the same lines, the same status, and nothing is sent.
    std::string dir = testsupport::temp_dir(), nope = dir + "/nope.img", x = dir + "/x.bin";
    std::string u = usage_text();
    struct Case {
        std::vector<std::string> words;
        int status;
        std::string ends;  // how standard error ends
    };
    const std::vector<Case> cases = {
        {{"partition", "-p", "boot", "-f", nope}, -857,
         "ERR[VXN]Fail in open file " + nope + "\nERR[VXN]" + nope + ": No such file or directory\n"
         "ERR[VXN]fail in queue partition\n"},
        {{"partition", "-p", "boot", "-f", dir}, -857, "ERR[VXN]fail in queue partition\n"},
        {{"partition", "-f", nope}, 1, u + "ERR[VXN]L545:require at least 5 args but only 3\n"},
        {{"upload", "-p", "boot", "-f", x, "-m", "store"}, -863, "ERR[VXN]need specify filesize\nERR[VXN]fail in upload\n"},
        {{"upload", "-p", "boot", "-f", x, "-z", "8X"}, -863,
         "ERR[VXN]Fail in pase_num, not endprt\nERR[VXN]illegle filesize 8X\nERR[VXN]fail in upload\n"},
        {{"upload", "-p", "boot", "-f", x}, 1, u + "ERR[VXN]L672:require at least 7 args but only 5\n"},
        {{"getvar"}, 1, u + "ERR[VXN]L828:require at least 2 args but only 1\n"},
        {{"setvar"}, 1, u + "ERR[VXN]L871:require at least 2 args but only 1\n"},
        {{"-s", "X", "setkey"}, 1, u + "ERR[VXN]L391:require at least 2 args but only 1\n"},
        {{"partition", "--help"}, 1, u},
        {{"upload", "-h"}, 1, u},
        {{"getvar", "--help"}, 1, u},
        {{"download", nope}, 1, "No such file or directory)\n"},
        {{"bl1_boot", "-f", nope}, 1, nope + ": No such file or directory\n"},
        {{"-s"}, -818, "ERR[VXN]-s needs a selector: vorn -s <specific para> <command> <command para>\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> all = {"vorn"};
        all.insert(all.end(), c.words.begin(), c.words.end());
        std::vector<char*> argv;
        for (std::string& w : all) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        bool waited = false;
        CaptureStderr();
        int status = vorn_main((int)all.size(), argv.data(), [&](const char*) -> Transport* {
            waited = true;
            return nullptr;
        });
        std::string err = GetCapturedStderr();
        std::string what = c.words[0] + (c.words.size() > 1 ? " " + c.words[1] : "");
        EXPECT_FALSE(waited) << what;
        EXPECT_EQ(c.status, status) << what;
        ASSERT_GE(err.size(), c.ends.size()) << what << "\n" << err;
        EXPECT_EQ(c.ends, err.substr(err.size() - c.ends.size())) << what << "\n" << err;
        EXPECT_EQ(0u, err.find(kStartup)) << what;

        Board b;
        auto r = run_vorn(b, c.words);
        EXPECT_EQ(c.status, r.status) << what;
        EXPECT_EQ(err, r.err) << what;
        EXPECT_TRUE(b.commands.empty()) << what;
    }
    // A refused upload leaves no output behind.
    EXPECT_NE(0, access(x.c_str(), F_OK));
}

TEST(CommandLine, GetvarAndRun) {
    Board b;
    b.config.vars["serialno"] = "ABC";
    auto r = run_vorn(b, {"getvar", "serialno"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::string(kStartup) + "serialno: ABC\nfinished. total time: ", r.err.substr(0, r.err.rfind(':') + 2));
    r = run_vorn(b, {"run"});
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(b.booted);
    EXPECT_NE(std::string::npos, r.err.find("booting...\ncmd[boot]\nresponse:\nOKAY ["));
    b.config.faults.fail_prefix = "getvar:";
    EXPECT_EQ(1, run_vorn(b, {"getvar", "serialno"}).status);
}

TEST(CommandLine, SetvarValues) {
    Board b;
    struct Case {
        const char* word;
        long long value;
        const char* log;
    };
    for (Case c : {Case{"4K", 4096, ""}, Case{"0x10", 16, ""}, Case{"010", 8, ""}, Case{"1G", 1 << 30, ""},
                   Case{"4G", -1, ""}, Case{"-1", -1, "ERR[VXN]fail in pase_num, out of range\n"},
                   Case{"1KB", -1, "ERR[VXN]Fail in pase_num, not endprt\n"}}) {
        auto r = run_vorn(b, {"setvar", "v", c.word});
        if (c.value < 0) {
            EXPECT_EQ(1, r.status) << c.word;
            EXPECT_EQ(std::string(kStartup) + c.log + "ERR[VXN]illegal varval[" + c.word + "] in setvar\n", r.err);
        } else {
            EXPECT_EQ(0, r.status) << c.word;
            board::Bytes le = {(uint8_t)c.value, (uint8_t)(c.value >> 8), (uint8_t)(c.value >> 16),
                               (uint8_t)(c.value >> 24)};
            EXPECT_EQ(le, b.setvars["v"]) << c.word;
        }
    }
    // The value word missing: said plainly, nothing sent.
    size_t sent = b.commands.size();
    auto r = run_vorn(b, {"setvar", "v"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("missing value for setvar v"));
    EXPECT_EQ(sent, b.commands.size());
}

TEST(CommandLine, OneArgumentParseNum) {
    CaptureStderr();
    EXPECT_EQ(-1, parse_num(""));
    EXPECT_EQ(0, parse_num("0"));
    EXPECT_EQ(8LL << 30, parse_num("8g"));
    EXPECT_EQ(0x7FFFFFFFFFFFFC00LL, parse_num("0x1FFFFFFFFFFFFFk"));
    EXPECT_EQ("", GetCapturedStderr());
    // Past a unit's limit: refused without a word; at the limit the product passes 2^63.
    CaptureStderr();
    EXPECT_EQ(-1, parse_num("0x3FFFFFFFFFFFFFk"));
    EXPECT_EQ(-1, parse_num("0xFFFFFFFFFFFM"));
    EXPECT_EQ(-1, parse_num("0x3FFFFFFFFG"));
    EXPECT_EQ("", GetCapturedStderr());
    CaptureStderr();
    EXPECT_EQ(-1, parse_num("0x3FFFFFFFEg"));
    EXPECT_EQ("ERR[VXN]fail in pase_num, out of range\n", GetCapturedStderr());
    CaptureStderr();
    EXPECT_EQ(-1, parse_num("1T"));
    EXPECT_EQ(-1, parse_num("5 "));
    EXPECT_EQ("ERR[VXN]Fail in pase_num, not endprt\nERR[VXN]Fail in pase_num, not endprt\n", GetCapturedStderr());
}

TEST(CommandLine, OemTextsAreJoinedAndCopiedLiterally) {
    Board b;
    auto r = run_vorn(b, {"oem"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(kStartup, r.err);  // an empty queue prints nothing more
    r = run_vorn(b, {"cmd", "a", "b"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("oem a b", b.commands.back());
    EXPECT_NE(std::string::npos, r.err.find("...\ncmd[oem a b]\nresponse:\nOKAY ["));
    run_vorn(b, {"oem", "set", "%s%n%x"});
    EXPECT_EQ("oem set %s%n%x", b.commands.back());
    EXPECT_EXIT(run_vorn(b, {"oem", std::string(124, 'x')}, false), testing::ExitedWithCode(1),
                "error: Command length \\(128\\) exceeds maximum size \\(128\\)");
}

TEST(CommandLine, RebootQueuesTheCommandAndAWait) {
    Board b;
    auto r = run_vorn(b, {"reboot"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(std::vector<std::string>({"reboot"}), b.reboots);
    EXPECT_TRUE(b.gone());
    Board b2;
    run_vorn(b2, {"reboot", "bootloader"});
    EXPECT_EQ(std::vector<std::string>({"reboot-bootloader"}), b2.reboots);
}

TEST(CommandLine, DownloadSlices) {
    board::Bytes content = testsupport::pattern(700);
    std::string f = write_file("f.bin", content);
    auto slice = [&](size_t from, size_t n) { return board::Bytes(content.begin() + from, content.begin() + from + n); };
    Board b;
    EXPECT_EQ(0, run_vorn(b, {"download", f}).status);
    EXPECT_EQ(0, run_vorn(b, {"Download", f, "0x100"}).status);
    EXPECT_EQ(0, run_vorn(b, {"download", f, "0x100", "0x100"}).status);
    EXPECT_EQ(0, run_vorn(b, {"download", f, "0", "0x200"}).status);
    ASSERT_EQ(4u, b.downloads.size());
    EXPECT_EQ(content, b.downloads[0].data);
    EXPECT_EQ("download:000002bc", b.downloads[0].command);
    EXPECT_EQ(slice(0, 256), b.downloads[1].data);
    EXPECT_EQ(slice(256, 256), b.downloads[2].data);
    EXPECT_EQ(slice(512, 188), b.downloads[3].data);

    // Refusals leave nothing queued and end the run with 1 after the message.
    struct Case {
        std::vector<std::string> words;
        const char* message;
    };
    for (const Case& c : std::vector<Case>{
             {{"download", f, "0x100", "0x200"}, "ERR[VXN]illegal file offset or downsize\n"},
             {{"download", f, "0x1000"}, "ERR[VXN]Fail in read file\n"},
             {{"download", f, "zz"}, "ERR[VXN]illegal size [zz] for download\n"},
             {{"download", f, "0x10", "-1"}, "ERR[VXN]illegal offset [-1] for download\n"},
             // A size past 4 GiB is not cut to its low 32 bits.
             // The line names what is too large: here the size asked for, not the 700-byte file.
             {{"download", f, "0x100000080"}, "ERR[VXN]download size 0x100000080 too large, at most 0x20000000\n"},
             {{"download", "/nonexistent/x"}, "ERR[VXN]Fail in open file(/nonexistent/x), err(No such file or directory)\n"},
         }) {
        auto r = run_vorn(b, c.words);
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("finished")) << r.err;
    }
    EXPECT_EQ(4u, b.downloads.size());
}

TEST(CommandLine, LargeFilesOnlyInSlicesOfAtMost512MiB) {
    std::string big = sparse_file_of("big.bin", 600LL << 20);
    Board b;
    auto r = run_vorn(b, {"download", big});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("ERR[VXN]filesz=0x25800000 too large\n"));
    EXPECT_TRUE(b.downloads.empty());
    r = run_vorn(b, {"download", big, "100M", "0x100000000"});  // offset past the file
    EXPECT_NE(std::string::npos, r.err.find("illegal file offset or downsize"));
    r = run_vorn(b, {"download", big, "16M", "500M"});
    EXPECT_EQ(0, r.status);
    ASSERT_EQ(1u, b.downloads.size());
    EXPECT_EQ(16u << 20, b.downloads[0].data.size());
}

TEST(CommandLine, SetkeyFillsAndTrims) {
    Board b;
    auto r = run_vorn(b, {"setkey", write_file("k10", testsupport::pattern(10))});
    EXPECT_NE(std::string::npos, r.err.find("FILL size from 10 to 16\n"));
    r = run_vorn(b, {"setkey", write_file("k32", testsupport::pattern(32, 3))});
    EXPECT_NE(std::string::npos, r.err.find("TRIM size from 32 to 16\n"));
    // An empty key file is refused: a failed key-generation step must not burn zeros for good.
    std::string k0 = write_file("k0", std::string());
    size_t sent = b.commands.size();
    r = run_vorn(b, {"setkey", k0});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("ERR[VXN]key file " + k0 + " is empty, no key sent\n")) << r.err;
    EXPECT_EQ(sent, b.commands.size());
    ASSERT_EQ(2u, b.keys.size());
    board::Bytes k10 = testsupport::pattern(10);
    k10.resize(16, 0);
    EXPECT_EQ(k10, b.keys[0]);
    board::Bytes k32 = testsupport::pattern(32, 3);
    EXPECT_EQ(board::Bytes(k32.begin(), k32.begin() + 16), b.keys[1]);
    // An empty file is no download, though.
    r = run_vorn(b, {"download", testsupport::temp_dir() + "/k0"});
    EXPECT_NE(std::string::npos, r.err.find("Fail in read file"));
}

TEST(CommandLine, BootLoadsTheImageAndStartsIt) {
    Board b;
    board::Bytes img = testsupport::pattern(3000, 9);
    auto r = run_vorn(b, {"boot", write_file("boot.img", img)});
    EXPECT_EQ(0, r.status);
    ASSERT_EQ(1u, b.downloads.size());
    EXPECT_EQ(img, b.downloads[0].data);
    EXPECT_TRUE(b.booted);
    EXPECT_NE(std::string::npos, r.err.find("downloading 'boot.img'...\nOKAY"));
    r = run_vorn(b, {"boot"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::string(kStartup) + "no image specified\n", r.err);
    r = run_vorn(b, {"boot", "/nonexistent/boot.img"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("cannot load '/nonexistent/boot.img': No such file or directory\n"));
}

TEST(CommandLine, BootLoaderCommandsCheckTheirFileFirst) {
    Board b;
    auto r = run_vorn(b, {"bl2_boot", "-f", "/nonexistent/missing.bin"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("ERR[VXN]Fail in open file /nonexistent/missing.bin\n"));
    r = run_vorn(b, {"bl1_boot"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("missing -f <bootloaderPath> for bl1_boot"));
    EXPECT_TRUE(b.commands.empty());
    EXPECT_EXIT(run_vorn(b, {"bl1_boot", "-f", write_file(std::string(130, 'p'), "x")}, false),
                testing::ExitedWithCode(1), "Command length");
}

namespace {

std::string fifo_at(const std::string& name) {
    std::string path = testsupport::temp_dir() + "/" + name;
    EXPECT_TRUE(testsupport::make_fifo(path));
    return path;
}

}  // namespace

TEST(CommandLine, KeysAreReadToTheEndOfWhateverFileHoldsThem) {
    Board b;
    board::Bytes key = testsupport::pattern(16, 41);
    {
        FedPipe p(std::string(key.begin(), key.end()));
        auto r = run_vorn(b, {"setkey", p.path});
        EXPECT_EQ(0, r.status) << r.err;
    }
    {
        // Longer than a key: read no further than one byte past it, and trimmed.
        FedPipe p(std::string(100, 'k'));
        auto r = run_vorn(b, {"setkey", p.path});
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("TRIM size from 17 to 16\n")) << r.err;
    }
    ASSERT_EQ(2u, b.keys.size());
    EXPECT_EQ(key, b.keys[0]);
    EXPECT_EQ(board::Bytes(16, 'k'), b.keys[1]);
    // A pipe that brings nothing, or a device with nothing to read, is an empty key.
    for (std::string path : {std::string("/dev/null"), std::string()}) {
        FedPipe empty("");
        if (path.empty()) path = empty.path;
        auto r = run_vorn(b, {"setkey", path});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find("key file " + path + " is empty, no key sent\n")) << r.err;
    }
    EXPECT_EQ(2u, b.commands.size());
}

TEST(CommandLine, FilesWithoutASizeAreRefusedBeforeAnythingIsSent) {
    const std::string dir = testsupport::temp_dir();
    const std::string fifo = fifo_at("fifo");
    const std::string no_size = ": not a regular file or block device, so it has no size to send\n";
    struct Case {
        std::string path, reason;
    };
    const std::vector<Case> inputs = {{dir, ": Is a directory\n"}, {fifo, no_size}, {"/dev/zero", no_size}};
    for (const Case& c : inputs) {
        SCOPED_TRACE(c.path);
        Board b;
        auto r = run_vorn(b, {"download", c.path});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find("ERR[VXN]Fail in open file(" + c.path + "), err(")) << r.err;
        r = run_vorn(b, {"boot", c.path});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find("cannot load '" + c.path + "': ")) << r.err;
        for (const char* cmd : {"bl1_boot", "bl2_boot"}) {
            r = run_vorn(b, {cmd, "-f", c.path});
            EXPECT_EQ(1, r.status);
            EXPECT_NE(std::string::npos,
                      r.err.find("ERR[VXN]Fail in get sz of file(" + c.path + ")\nERR[VXN]" + c.path + c.reason))
                << r.err;
        }
        EXPECT_TRUE(b.commands.empty());
    }
}

TEST(CommandLine, BootOfAnEmptyFileIsRefusedWithItsReason) {
    Board b;
    std::string empty = write_file("empty.img", std::string());
    auto r = run_vorn(b, {"boot", empty});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(std::string(kStartup) + "cannot load '" + empty + "': the file is empty\n", r.err);
    EXPECT_TRUE(b.commands.empty());
    EXPECT_FALSE(b.booted);
}

TEST(CommandLine, AFileThatCannotBeOpenedIsFollowedByTheSystemsReason) {
    Board b;
    // A path through a plain file: no privilege opens it, so the case holds for root as well.
    std::string bad = write_file("plain", "x") + "/boot.bin";
    for (const char* cmd : {"bl1_boot", "bl2_boot"}) {
        auto r = run_vorn(b, {cmd, "-f", bad});
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos,
                  r.err.find("ERR[VXN]Fail in open file " + bad + "\nERR[VXN]" + bad + ": Not a directory\n"))
            << r.err;
    }
    EXPECT_TRUE(b.commands.empty());
}

TEST(CommandLine, EveryCommandWordEndsWithItsExitStatus) {
    // Each command word as it succeeds, as its handler refuses its words or files, and as the
    // board fails what was queued; in-process the statuses are whole, a shell sees their low
    // eight bits (206, 167, 161, 140).
    std::string path = write_file("status.img", testsupport::pattern(0x2bc, 52));
    std::string dir = testsupport::temp_dir(), missing = dir + "/missing", out = dir + "/status.out";
    struct Case {
        std::vector<std::string> words;
        std::string fail;  // commands the board fails ("" none)
        int status;
        std::string line;  // a line the run prints
    };
    const std::vector<Case> cases = {
        {{"getvar", "product"}, "", 0, "product: "},
        {{"getvar", "product"}, "getvar:", 1, "FAILED (remote: refused)"},
        {{"download", path}, "", 0, "OKAY ["},
        {{"download", missing}, "", 1, "Fail in open"},
        {{"Download", path}, "download:", 1, "FAILED (remote: refused)"},
        {{"setkey", path}, "setkey:", 1, "FAILED (remote: refused)"},
        {{"setkey", missing}, "", 1, "Fail in open"},
        {{"boot", path}, "", 0, "booting..."},
        {{"boot", missing}, "", 1, "cannot load '" + missing + "'"},
        {{"boot", path}, "boot", 1, "FAILED (remote: refused)"},
        {{"run"}, "", 0, "booting..."},
        {{"run"}, "boot", 1, "FAILED (remote: refused)"},
        {{"bl1_boot", "-f", missing}, "", 1, "Fail in open"},
        {{"bl2_boot", "-f", missing}, "", 1, "Fail in open"},
        {{"bl1_boot", "-f", path}, "getvar", 1, "FAILED ("},
        {{"bl1_boot"}, "", 1, "MSG[VXN]"},
        {{"bl2_boot"}, "", 1, "MSG[VXN]"},
        {{"oem", "x"}, "", 0, "OKAY ["},
        {{"cmd", "x"}, "oem x", 1, "FAILED (remote: refused)"},
        {{"partition", "-p", "boot", "-f", path}, "", 0, "mwrite finish"},
        {{"Partition", "-p", "boot", "-f", missing}, "", -857, "ERR[VXN]fail in queue partition\n"},
        {{"partition", "-p", "boot", "-f", path}, "oem mwrite", 1, "FAILED (remote: refused)"},
        {{"upload", "-p", "boot", "-f", out, "-z", "0x100"}, "", 0, "mread finish"},
        {{"Upload", "-p", "boot", "-f", out, "-z", "1q"}, "", -863, "ERR[VXN]fail in upload\n"},
        {{"upload", "-p", "boot", "-f", out, "-z", "x"}, "", -863, "ERR[VXN]fail in upload\n"},
        {{"upload", "-p", "boot", "-f", out, "-z", "0x100"}, "oem mread", 1, "FAILED (remote: refused)"},
        {{"reboot"}, "", 0, "rebooting"},
        // A reboot's reply may never come, as the board goes down: no answer counts.
        {{"reboot", "bootloader"}, "reboot", 0, "cmd[reboot-bootloader]\nresponse:\n\n"},
        {{"setvar", "a", "1"}, "", 0, "OKAY ["},
        {{"setvar", "a", "0x100000000"}, "", 1, "illegal varval[0x100000000] in setvar"},
        {{"setvar", "a", "4G"}, "", 1, "illegal varval[4G] in setvar"},
        {{"setvar", "a", "1"}, "setvar", 1, "FAILED (remote: refused)"},
        {{"mwrite", missing}, "", -884, "ERR[VXN]fail in queue mwrite\n"},
        {{"mwrite", path}, "", 1, "FAILED (remote: no mwrite announced)"},
        {{"mread", dir + "/no/out"}, "", 1, "Fail in open file"},
        {{"mread", out}, "", 1, "FAILED (remote: no mread announced)"},
        {{"reflash"}, "", -818, "not in supported list"},
    };
    board::MediaConfig media;
    media.media = {{"store", {{"boot", 0x1000, {}}}}};
    for (const Case& c : cases) {
        mediatest::Rig rig(media);
        rig.board.config.faults.fail_prefix = c.fail;
        rig.board.config.faults.fail_text = "refused";
        auto r = run_vorn(rig.board, c.words);
        std::string what = c.words[0] + (c.fail.empty() ? "" : " failed at " + c.fail);
        EXPECT_EQ(c.status, r.status) << what << "\n" << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.line)) << what << "\n" << r.err;
        // A refusal comes before any board is waited for, and sends nothing.
        if (c.status != 0 && c.fail.empty() && c.words[0] != "mwrite" && c.words[0] != "mread") {
            EXPECT_TRUE(rig.board.commands.empty()) << what;
            EXPECT_EQ(nullptr, r.transport) << what;
        }
    }
}
