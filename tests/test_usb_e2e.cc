// The real vorn binary against emulated boards on an emulated USB bus (vorn-emu): libusb,
// enumeration, selection and the commands end to end. Every run has two watchdogs: the
// emulator's own (-t) and this harness's, which ends the whole process group.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/test_support.h"
#include "util/log.h"

namespace {

struct Outcome {
    int status = -1;  // exit status, 128 + signal, or -1 when the harness had to kill it
    std::string out, err;
    double seconds = 0;
};

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) n++;
    return n;
}

// Runs vorn-emu with `emu_args`, then "--", then vorn with `vorn_args`. When `stop_on` is given,
// the emulator is sent SIGTERM `stop_after` seconds after that text appeared on standard error.
Outcome run(const std::vector<std::string>& emu_args, const std::vector<std::string>& vorn_args,
            double limit_s = 30, const std::string& stop_on = std::string(), double stop_after = 0.5) {
    std::vector<std::string> words = {VORN_EMU_EXE};
    words.insert(words.end(), emu_args.begin(), emu_args.end());
    words.push_back("--");
    if (!vorn_args.empty() && vorn_args[0] != "sh") words.push_back(VORN_EXE);
    words.insert(words.end(), vorn_args.begin(), vorn_args.end());

    int out_pipe[2], err_pipe[2];
    Outcome o;
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return o;
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(&w[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    bool open_out = true, open_err = true, killed = false;
    double stop_at = -1;
    while (open_out || open_err) {
        double t = now() - start;
        if (t > limit_s && !killed) {
            kill(-pid, SIGKILL);
            killed = true;
        }
        // Something that outlived the emulator may hold the pipes; the run is over anyway.
        if (t > limit_s + 3) break;
        if (stop_at < 0 && !stop_on.empty() && o.err.find(stop_on) != std::string::npos) stop_at = t + stop_after;
        if (stop_at >= 0 && t >= stop_at) {
            kill(pid, SIGTERM);
            stop_at = 1e9;
        }
        if (poll(fds, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; i++) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n <= 0) {
                fds[i].fd = -1;
                (i == 0 ? open_out : open_err) = false;
            } else {
                (i == 0 ? o.out : o.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    o.seconds = now() - start;
    if (killed)
        o.status = -1;
    else if (WIFEXITED(status))
        o.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        o.status = 128 + WTERMSIG(status);
    return o;
}

std::string where(const Outcome& o) {
    return "status " + std::to_string(o.status) + "\n--- stdout\n" + o.out + "--- stderr\n" + o.err;
}

}  // namespace

TEST(UsbEndToEnd, DevicesWithNoneOneAndTwoBoardsAndAnEmptySerial) {
    // No board: the emulator's bus has only a root hub.
    Outcome none = run({"-t", "20", "--boards", "0"}, {"devices"});
    EXPECT_EQ(0, none.status) << where(none);
    EXPECT_EQ("", none.out) << where(none);

    Outcome one = run({"-t", "20"}, {"devices"});
    EXPECT_EQ(0, one.status) << where(one);
    EXPECT_EQ("VXN0001\tQrx_VXN\n", one.out) << where(one);

    // Listed by port, whatever order they were plugged in; one reports no serial number.
    Outcome two = run({"-t", "20", "-n", "3", "--board", "1", "--port", "1-3", "--board", "2", "--serial", "",
                       "--port", "1-2.4", "--board", "3", "--port", "1-1"},
                      {"devices"});
    EXPECT_EQ(0, two.status) << where(two);
    EXPECT_EQ("VXN0003\tQrx_VXN\n????????????\tQrx_VXN\nVXN0001\tQrx_VXN\n", two.out) << where(two);
    EXPECT_EQ(std::string::npos, two.err.find("ERROR")) << where(two);
}

TEST(UsbEndToEnd, TheLongListingShowsPortPathsAndStates) {
    Outcome o = run({"-t", "20", "-n", "2", "--board", "1", "--port", "1-3", "--board", "2", "--serial", "",
                     "--port", "1-2.4"},
                    {"sh", "-c", std::string(VORN_EXE) + " devices -l && " + VORN_EXE + " devices"});
    EXPECT_EQ(0, o.status) << where(o);
    EXPECT_EQ("????????????\tQrx_VXN\t1-2.4\tusable\nVXN0001\tQrx_VXN\t1-3\tusable\n"
              "????????????\tQrx_VXN\nVXN0001\tQrx_VXN\n",
              o.out)
        << where(o);
}

TEST(UsbEndToEnd, ABoardHeldByAnotherProgramIsListedInUseWithoutDisturbingIt) {
    // One vorn holds the board while it waits for an answer that never comes; listings poll
    // until they see it held. The holder is still waiting afterwards (ended by the test's
    // signal, not by a failure of its own). Whether the emulated bus sees the claim go once its
    // holder has ended depends on the test bed noticing the end of that process; left out here.
    std::string v = VORN_EXE;
    std::string script = v + " getvar product 2>/dev/null & pid=$!; i=0; while [ $i -lt 400 ]; do l=$(" + v +
                         " devices -l); case \"$l\" in *\"in use\"*) break;; esac; i=$((i+1)); sleep 0.05; "
                         "done; echo \"$l\"; kill $pid; wait $pid; echo \"held: $?\"";
    Outcome o = run({"-t", "40", "--hang", "getvar:"}, {"sh", "-c", script}, 60);
    EXPECT_EQ(0, o.status) << where(o);
    EXPECT_EQ("VXN0001\tQrx_VXN\t1-1\tin use\nheld: " + std::to_string(128 + SIGTERM) + "\n", o.out)
        << where(o);
}

TEST(UsbEndToEnd, ABoardThatHasLeftIsNoLongerListed) {
    // A board that leaves at its first command: afterwards the bus is empty. The listing reads
    // the bus as the system shows it, which the emulator updates just after the board has gone
    // (as the kernel does after an unplug), so it is asked until then.
    std::string v = VORN_EXE;
    Outcome o = run({"-t", "20", "--vanish-on", "getvar"},
                    {"sh", "-c",
                     v + " getvar product; echo status $?; i=0; while [ $i -lt 200 ] && [ -n \"$(" + v +
                         " devices)\" ]; do i=$((i+1)); sleep 0.05; done; " + v + " devices"});
    EXPECT_EQ(0, o.status) << where(o);
    EXPECT_EQ("status 1\n", o.out) << where(o);
}

TEST(UsbEndToEnd, SelectingBySerialAndByPortPath) {
    // Two boards with the same serial, as on a factory station: the port path tells them apart.
    Outcome by_serial = run({"-t", "20", "-n", "2", "--board", "2", "--var", "product=second"},
                            {"-s", "VXN0002", "getvar", "product"});
    EXPECT_EQ(0, by_serial.status) << where(by_serial);
    EXPECT_NE(std::string::npos, by_serial.err.find("product: second\n")) << where(by_serial);

    Outcome by_port = run({"-t", "20", "-n", "2", "--serial", "SAME", "--board", "1", "--port", "1-2.1",
                           "--board", "2", "--port", "1-2.2", "--var", "product=lower"},
                          {"-s", "1-2.2", "getvar", "product"});
    EXPECT_EQ(0, by_port.status) << where(by_port);
    EXPECT_NE(std::string::npos, by_port.err.find("product: lower\n")) << where(by_port);

    // Without a selector the first board (by port) is taken.
    Outcome first = run({"-t", "20", "-n", "2", "--board", "1", "--port", "1-5", "--var", "product=five",
                         "--board", "2", "--port", "1-4", "--var", "product=four"},
                        {"getvar", "product"});
    EXPECT_EQ(0, first.status) << where(first);
    EXPECT_NE(std::string::npos, first.err.find("product: four\n")) << where(first);
}

TEST(UsbEndToEnd, ASelectorThatMatchesNothingWaitsWithOneLine) {
    // The case differs from the board's serial: no match. The test ends the wait after 1.5 s.
    Outcome o = run({"-t", "30"}, {"-s", "vxn0001", "getvar", "product"}, 30, "< waiting for Quenrix vxn0001 >",
                    1.5);
    EXPECT_EQ(1u, count(o.err, "< waiting for Quenrix vxn0001 >\n")) << where(o);
    EXPECT_EQ(1u, count(o.err, "waiting")) << where(o);
    // Ended by the signal the emulator passed on, not by its watchdog.
    EXPECT_EQ(128 + SIGTERM, o.status) << where(o);
    EXPECT_LT(o.seconds, 10);
}

TEST(UsbEndToEnd, CommandsAgainstTheBoard) {
    std::string dir = testsupport::temp_dir();
    board::Bytes image = testsupport::pattern(3000000, 7);
    std::string file = testsupport::write_file("image.bin", image);
    std::string state = dir + "/state";
    std::string v = VORN_EXE;
    Outcome o = run({"-t", "30", "-o", state, "--identify", "0601000800000000", "--var", "version=9.9"},
                    {"sh", "-c",
                     v + " getvar identify && " + v + " getvar version && " + v + " setvar foo 0x1234 && " + v +
                         " oem hello there && " + v + " download " + file + " && " + v + " reboot"});
    EXPECT_EQ(0, o.status) << where(o);
    EXPECT_NE(std::string::npos, o.err.find("06-01-00-08-00-00-00-00")) << where(o);
    EXPECT_NE(std::string::npos, o.err.find("version: 9.9\n")) << where(o);
    EXPECT_EQ("getvar:identify\ngetvar:version\nsetvar:foo\noem hello there\ndownload:002dc6c0\nreboot\n",
              testsupport::read_file(state + "/board1/commands.txt"))
        << where(o);
    std::string sent = testsupport::read_file(state + "/board1/downloads/1.bin");
    EXPECT_TRUE(sent == std::string(image.begin(), image.end())) << sent.size();
    EXPECT_EQ(std::string("\x34\x12\x00\x00", 4), testsupport::read_file(state + "/board1/setvars/foo.bin"));
    std::string st = testsupport::read_file(state + "/board1/state.txt");
    EXPECT_NE(std::string::npos, st.find("reboot=reboot\n")) << st;
    // The board rebooted out of its download mode: it has left the bus.
    EXPECT_NE(std::string::npos, st.find("gone=1\n")) << st;
}

TEST(UsbEndToEnd, BoardFaultsAreReported) {
    Outcome fail = run({"-t", "20", "--fail", "oem bad=not today"}, {"oem", "bad"});
    EXPECT_EQ(1, fail.status) << where(fail);
    EXPECT_NE(std::string::npos, fail.err.find("not today")) << where(fail);

    // What a shell sees of the refusals that end with a status of their own: its low eight bits.
    std::string v = VORN_EXE, none = testsupport::temp_dir() + "/none";
    Outcome refused = run({"-t", "20"}, {"sh", "-c",
                                         v + " reflash; echo $?; " + v + " partition -p boot -f " + none + "; echo $?; " +
                                             v + " upload -p boot -f " + none + " -z 1q; echo $?; " + v + " mwrite " +
                                             none + "; echo $?"});
    EXPECT_EQ("206\n167\n161\n140\n", refused.out) << where(refused);

    Outcome malformed = run({"-t", "20", "--malformed", "getvar:"}, {"getvar", "product"});
    EXPECT_NE(0, malformed.status) << where(malformed);

    // A reply that never comes: the emulator's watchdog ends the run.
    Outcome hang = run({"-t", "2", "--hang", "getvar:"}, {"getvar", "product"});
    EXPECT_EQ(124, hang.status) << where(hang);
    EXPECT_NE(std::string::npos, hang.err.find("vorn-emu: watchdog")) << where(hang);
    EXPECT_LT(hang.seconds, 10);
}

TEST(UsbEndToEnd, ABoardThatVanishesMidTransfer) {
    std::string file = testsupport::write_file("big.bin", testsupport::pattern(4000000, 3));
    Outcome o = run({"-t", "20", "--vanish-after", "1500000"}, {"download", file});
    EXPECT_EQ(1, o.status) << where(o);
    EXPECT_NE(std::string::npos, o.err.find("(No such device)")) << where(o);
    EXPECT_EQ(std::string::npos, o.err.find("Sanitizer")) << where(o);
    EXPECT_LT(o.seconds, 10) << where(o);
}

TEST(UsbEndToEnd, ABoardTheUserMayNotOpen) {
    std::string v = VORN_EXE;
    Outcome o = run({"-t", "20", "-n", "2", "--board", "1", "--no-access"},
                    {"sh", "-c", v + " devices; " + v + " devices -l; " + v + " -s VXN0001 getvar product"}, 30,
                    "< waiting for Quenrix VXN0001 >", 3.0);
    if (o.out.find("VXN0001\tQrx_VXN\n") != std::string::npos)
        GTEST_SKIP() << "file modes do not bind this user here";
    EXPECT_NE(std::string::npos, o.out.find("no permissions in")) << where(o);
    EXPECT_NE(std::string::npos, o.out.find("\tQrx_VXN\nVXN0002\tQrx_VXN\n")) << where(o);
    // The long listing still names the board, and says why it cannot be used.
    EXPECT_NE(std::string::npos,
              o.out.find("VXN0001\tQrx_VXN\t1-1\tno permission\nVXN0002\tQrx_VXN\t1-2\tusable\n"))
        << where(o);
    EXPECT_EQ(1u, count(o.err, "insufficient permissions for device")) << where(o);
    EXPECT_EQ(1u, count(o.err, "< waiting for Quenrix VXN0001 >")) << where(o);
}

TEST(UsbEndToEnd, ABoardThatRestartsIsFoundAgainOnTheBus) {
    // BL2 restarts into BL2E with re-enumeration: the board leaves the bus and comes back with a
    // new device number, and vorn reopens it by its serial number within the same run.
    std::string file = testsupport::write_file("bl.bin", testsupport::pattern(0x31000, 5));
    std::string state = testsupport::temp_dir() + "/restart";
    Outcome o = run({"-t", "30", "-o", state, "--serial", "BOARD7", "--identify", "0601000800000000",
                     "--feature", "boot:file=" + file + ",stage=bl2"},
                    {"bl2_boot", "-f", file});
    EXPECT_EQ(0, o.status) << where(o);
    std::string commands = testsupport::read_file(state + "/board1/commands.txt");
    // The stage was asked for again after the restart, on the board's new appearance.
    EXPECT_GE(count(commands, "getvar:identify\n"), 2u) << commands;
    std::string st = testsupport::read_file(state + "/board1/state.txt");
    EXPECT_NE(std::string::npos, st.find("appearances=2\n")) << st;
    EXPECT_NE(std::string::npos, st.find("gone=0\n")) << st;
    EXPECT_EQ(std::string::npos, o.err.find("Sanitizer")) << where(o);
}

TEST(UsbEndToEnd, TheLibusbLayerOnAnEmulatedBoard) {
    // This test binary itself, run inside the emulator, exercises the libusb layer directly.
    std::string self = VORN_LIBUSB_INSIDE_EXE;
    Outcome o = run({"-t", "30", "-n", "3", "--board", "2", "--port", "1-3.2", "--vanish-on", "oem leave", "--board",
                     "1", "--hang", "oem hold", "--board", "3", "--port", "1-4", "--claimed"},
                    {"sh", "-c", "VORN_TEST_INSIDE_EMU=1 " + self});
    EXPECT_EQ(0, o.status) << where(o);
    EXPECT_NE(std::string::npos, o.out.find("[  PASSED  ] 3 tests.")) << where(o);
    EXPECT_EQ(std::string::npos, o.out.find("SKIPPED")) << where(o);
}

TEST(UsbEndToEnd, TheEmulatorRefusesBoardsItCannotBuild) {
    Outcome bad_port = run({"--port", "1-x"}, {"devices"});
    EXPECT_EQ(2, bad_port.status) << where(bad_port);
    EXPECT_NE(std::string::npos, bad_port.err.find("not a USB port path: 1-x")) << where(bad_port);

    Outcome no_board = run({"--board", "3", "--serial", "X"}, {"devices"});
    EXPECT_EQ(2, no_board.status) << where(no_board);
    EXPECT_NE(std::string::npos, no_board.err.find("--serial is for board 3, but there are only 1"))
        << where(no_board);

    Outcome same_port = run({"-n", "2", "--port", "1-4"}, {"devices"});
    EXPECT_EQ(2, same_port.status) << where(same_port);
    EXPECT_NE(std::string::npos, same_port.err.find("two boards at port 1-4")) << where(same_port);

    Outcome bad_feature = run({"--feature", "teleporter"}, {"devices"});
    EXPECT_EQ(2, bad_feature.status) << where(bad_feature);
    EXPECT_NE(std::string::npos, bad_feature.err.find("unknown feature: teleporter")) << where(bad_feature);
    // Nothing of vorn ran.
    EXPECT_EQ("", bad_port.out + no_board.out + same_port.out + bad_feature.out);
}

namespace {

// A shell line that starts `line` once per board I (1-based, "$i" in it), all at once, waits for
// each and prints "I STATUS" per board. The processes start with the same descriptors open, so
// that they also get the same descriptor numbers for their hot-plug news.
std::string in_parallel(int boards, const std::string& line) {
    std::string s = "pids=''; for i in $(seq 1 " + std::to_string(boards) + "); do ( " + line +
                    " ) & pids=\"$pids $!\"; done; i=0; for p in $pids; do i=$((i+1)); wait $p; echo \"$i $?\"; done";
    return s;
}

std::string all_zero(int boards) {
    std::string s;
    for (int i = 1; i <= boards; i++) s += std::to_string(i) + " 0\n";
    return s;
}

}  // namespace

TEST(UsbEndToEnd, EightBoardsBurnedAndReadBackInParallel) {
    // A factory station: one vorn process per board, selected by port path, all at once.
    const int kBoards = 8;
    const uint32_t seed = testsupport::test_seed();
    std::string dir = testsupport::temp_dir() + "/parallel";
    ASSERT_EQ(0, system(("mkdir -p " + dir).c_str()));
    std::vector<board::Bytes> images;
    for (int i = 1; i <= kBoards; i++) {
        // A few MiB each, no size a multiple of 4.
        size_t size = (size_t(1) << 20) * (1 + i % 3) + 4 * size_t(i) * 1237 + 1 + i % 3;
        images.push_back(testsupport::pattern(size, seed + i));
        testsupport::write_file("parallel/img" + std::to_string(i) + ".bin", images.back());
    }
    std::string v = VORN_EXE, state = dir + "/state";
    std::string burn = in_parallel(kBoards, v + " -s 1-$i partition -p system -f " + dir + "/img$i.bin >" + dir +
                                                "/burn$i.log 2>&1");
    std::string sizes;
    for (int i = 1; i <= kBoards; i++) sizes += " " + std::to_string(images[i - 1].size());
    std::string read_back = "set --" + sizes + "; " +
                            in_parallel(kBoards, "eval size=\\${$i}; " + v + " -s 1-$i upload -p system -f " + dir +
                                                     "/back$i.bin -z $size >" + dir + "/read$i.log 2>&1");
    // Each board writes the numbers of its requests in another of the forms the wire allows.
    std::vector<std::string> emu = {"-t", "120", "-n", std::to_string(kBoards), "-o", state, "--feature",
                                    "media:part=store/system/8M,portion=0x3e800,read-portion=0x3e800"};
    const char* forms[] = {"hex", "hex-upper", "hex-mixed", "decimal", "octal", "scaled"};
    for (int i = 1; i <= kBoards; i++)
        emu.insert(emu.end(), {"--board", std::to_string(i), "--numbers", forms[(i - 1) % 6]});
    Outcome o = run(emu,
                    {"sh", "-c", burn + "; echo reading; " + read_back}, 150);
    // What each process said, for a run that did not end well.
    std::string logs;
    for (int i = 1; i <= kBoards; i++)
        for (const char* kind : {"burn", "read"}) {
            std::string text = testsupport::read_file(dir + "/" + kind + std::to_string(i) + ".log");
            logs += "--- " + std::string(kind) + std::to_string(i) + ".log\n" +
                    text.substr(text.size() > 600 ? text.size() - 600 : 0) + "\n";
        }
    ASSERT_EQ(0, o.status) << where(o) << "seed " << seed << "\n" << logs;
    EXPECT_EQ(all_zero(kBoards) + "reading\n" + all_zero(kBoards), o.out) << where(o) << "seed " << seed;
    for (int i = 1; i <= kBoards; i++) {
        const board::Bytes& want = images[i - 1];
        std::string n = std::to_string(i);
        std::string part = testsupport::read_file(state + "/board" + n + "/media/store/system.bin");
        ASSERT_EQ(size_t(8) << 20, part.size()) << "board " << n;
        EXPECT_TRUE(part.compare(0, want.size(), std::string(want.begin(), want.end())) == 0)
            << "board " << n << ", seed " << seed;
        EXPECT_EQ(std::string(part.size() - want.size(), '\0'), part.substr(want.size())) << "board " << n;
        std::string back = testsupport::read_file(dir + "/back" + n + ".bin");
        EXPECT_TRUE(back == std::string(want.begin(), want.end()))
            << "board " << n << ": " << back.size() << " bytes read back, seed " << seed;
    }
    printf("8 boards: partition and upload of %zu to %zu bytes each in parallel, %.2f s in all\n",
           images[2].size(), images[1].size(), o.seconds);
}

TEST(UsbEndToEnd, EightBoardsThatKeepRestartingEachKeepTheirVorn) {
    // A station re-enumerates boards all the time while many processes run: one vorn per board,
    // all at once, each round loading BL2 and BL2E (the board restarts between them and is
    // opened again) and rebooting the board (it restarts and is opened by the next round).
    // Every process must get the hot-plug news of its own board, every round.
    const int kBoards = 8, kRounds = 50;
    std::string dir = testsupport::temp_dir() + "/rounds";
    ASSERT_EQ(0, system(("mkdir -p " + dir).c_str()));
    std::string file = testsupport::write_file("rounds/boot.bin", testsupport::pattern(0x2100, testsupport::test_seed()));
    std::string v = VORN_EXE, state = dir + "/state";
    std::string round = "r=0; while [ $r -lt " + std::to_string(kRounds) + " ]; do " + v + " -s 1-$i bl2_boot -f " +
                        file + " && " + v + " -s 1-$i reboot || exit 1; r=$((r+1)); done >" + dir +
                        "/board$i.log 2>&1";
    Outcome o = run({"-t", "240", "-n", std::to_string(kBoards), "-o", state, "--reenumerate-delay", "20",
                     "--identify", "0601000800000000", "--feature",
                     "boot:file=" + file + ",stage=bl2,reboot-to=bl2,portion=0x1000"},
                    {"sh", "-c", in_parallel(kBoards, round)}, 280);
    std::string logs;
    for (int i = 1; i <= kBoards; i++) {
        std::string text = testsupport::read_file(dir + "/board" + std::to_string(i) + ".log");
        logs += "--- board" + std::to_string(i) + ".log\n" + text.substr(text.size() > 600 ? text.size() - 600 : 0) + "\n";
    }
    ASSERT_EQ(0, o.status) << where(o) << logs;
    EXPECT_EQ(all_zero(kBoards), o.out) << where(o) << logs;
    for (int i = 1; i <= kBoards; i++) {
        std::string n = std::to_string(i);
        std::string boot = testsupport::read_file(state + "/board" + n + "/boot.txt");
        EXPECT_NE(std::string::npos, boot.find("stages_finished=" + std::to_string(2 * kRounds) + "\n"))
            << "board " << n << "\n" << boot;
        EXPECT_NE(std::string::npos, boot.find("restarts=" + std::to_string(2 * kRounds) + "\n"))
            << "board " << n << "\n" << boot;
        EXPECT_EQ(std::string::npos, boot.find("problem=")) << "board " << n << "\n" << boot;
    }
    printf("%d boards, %d rounds of BL2, BL2E and a reboot each, in parallel: %.2f s in all\n", kBoards, kRounds,
           o.seconds);
}

TEST(UsbEndToEnd, AClaimedBoardIsNotTakenOver) {
    // Another program holds the board's interface: the claim fails with EBUSY, as on a real bus,
    // and vorn keeps waiting for a board it can have (the watchdog ends the run).
    Outcome o = run({"-t", "2", "--claimed"}, {"getvar", "product"});
    EXPECT_EQ(124, o.status) << where(o);
    EXPECT_EQ(1u, count(o.err, "< waiting for Quenrix VXN device >\n")) << where(o);
    EXPECT_EQ(std::string::npos, o.err.find("product:")) << where(o);

    // Claimed only for a while after it appears: the run goes on once it is free.
    Outcome later = run({"-t", "20", "--claimed-for", "300"}, {"getvar", "product"});
    EXPECT_EQ(0, later.status) << where(later);
    EXPECT_NE(std::string::npos, later.err.find("product: qrx-evb\n")) << where(later);

    // A second vorn on a board in use by the first gets EBUSY and waits; the first is unharmed.
    std::string v = VORN_EXE, dir = testsupport::temp_dir();
    std::string file = testsupport::write_file("held.bin", testsupport::pattern(2000000, 11));
    Outcome two = run({"-t", "30", "-o", dir + "/held", "--feature", "media:part=store/boot/4M,portion=0x10000"},
                      {"sh", "-c",
                       v + " partition -p boot -f " + file + " & first=$!; " + v +
                           " getvar product & second=$!; wait $first; echo first $?; wait $second; echo second $?"});
    EXPECT_EQ(0, two.status) << where(two);
    EXPECT_NE(std::string::npos, two.out.find("first 0\n")) << where(two);
    EXPECT_NE(std::string::npos, two.out.find("second 0\n")) << where(two);
    std::string part = testsupport::read_file(dir + "/held/board1/media/store/boot.bin");
    board::Bytes want = testsupport::pattern(2000000, 11);
    EXPECT_TRUE(part.compare(0, want.size(), std::string(want.begin(), want.end())) == 0) << where(two);
}

TEST(UsbEndToEnd, ABoardInUseIsListedAndNamedOnceWhileWaiting) {
    // Listing never claims: the board that another program holds is listed, and the listing does
    // not disturb it. A command names it once, then keeps waiting (the watchdog ends the run).
    std::string v = VORN_EXE;
    Outcome o = run({"-t", "3", "--claimed"}, {"sh", "-c", v + " devices; " + v + " getvar product"});
    EXPECT_EQ(124, o.status) << where(o);
    EXPECT_EQ("VXN0001\tQrx_VXN\n", o.out) << where(o);
    EXPECT_EQ(1u, count(o.err, "board VXN0001 is in use by another program\n")) << where(o);
    EXPECT_EQ(1u, count(o.err, "< waiting for Quenrix VXN device >\n")) << where(o);
}

// What vorn does under each of the emulator's USB faults.
TEST(UsbEndToEnd, UsbFaultsAsTheKernelReportsThem) {
    struct Case {
        std::vector<std::string> emu, vorn;
        int status;
        std::string err;
    };
    const std::string long_text(200, 'x');
    board::Bytes data = testsupport::pattern(3000000, testsupport::test_seed());
    std::string file = testsupport::write_file("faults.bin", data);
    const Case cases[] = {
        // A reply longer than the host's 128-byte read is read in a whole packet and cut to the
        // 124 bytes of payload a reply holds.
        {{"--var", "longvar=" + long_text}, {"getvar", "longvar"}, 0, "longvar: " + long_text.substr(0, 124) + "\n"},
        {{"--zlp", "getvar:"}, {"getvar", "product"}, 0, "product: qrx-evb\n"},
        {{"--stall", "getvar:"}, {"getvar", "product"}, 1, "FAILED (status read failed (the board stalled: Broken pipe))"},
        // The data phase stops part way; vorn's 5 s write time-out ends it.
        {{"--write-timeout", "download:"}, {"download", file}, 1,
         "FAILED (data transfer failure (Connection timed out))"},
        // A failure aimed at a command that contains "=".
        {{"--fail", "mread:status\\=finish=medium gone", "--feature", "media"},
         {"upload", "-p", "boot", "-f", testsupport::temp_dir() + "/up.bin", "-z", "0x1000"}, 1,
         "FAILED (remote: medium gone)"},
        // Not found while the kernel configures the restarted board: vorn waits it out.
        {{"--settle-delay", "500", "--identify", "0601000800000000", "--feature", "boot:file=" + file + ",stage=bl2"},
         {"bl2_boot", "-f", file}, 0, "OKAY ["},
        // Access denied until udev's rule applies: vorn says so, waits and goes on.
        {{"--access-delay", "300"}, {"getvar", "product"}, 0, "product: qrx-evb\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> emu = {"-t", "30"};
        emu.insert(emu.end(), c.emu.begin(), c.emu.end());
        Outcome o = run(emu, c.vorn, 40);
        EXPECT_EQ(c.status, o.status) << c.emu[0] << "\n" << where(o);
        EXPECT_NE(std::string::npos, o.err.find(c.err)) << c.emu[0] << "\n" << where(o);
    }
}

TEST(UsbEndToEnd, AWriteThatTimesOutDeliveredWholePacketsFirst) {
    // The board took about half the transfer, in whole packets, before it stopped.
    board::Bytes data = testsupport::pattern(3000000, testsupport::test_seed() + 1);
    std::string file = testsupport::write_file("timeout.bin", data);
    std::string state = testsupport::temp_dir() + "/timeout";
    Outcome o = run({"-t", "30", "-o", state, "--write-timeout", "download:"}, {"download", file}, 40);
    EXPECT_EQ(1, o.status) << where(o);
    std::string got = testsupport::read_file(state + "/board1/downloads/1.bin");
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), data.size());
    EXPECT_EQ(0u, got.size() % 512) << got.size();
    EXPECT_EQ(std::string(data.begin(), data.begin() + static_cast<long>(got.size())), got);
}

// -- Faults that once ended badly: each case asserts the sound behaviour.

TEST(UsbFaultHandled, ALongReplyIsShownNotTakenForATransportError) {
    Outcome o = run({"-t", "20", "--fail", "getvar:=" + std::string(150, 'y')}, {"getvar", "product"});
    EXPECT_EQ(1, o.status) << where(o);
    EXPECT_NE(std::string::npos, o.err.find("FAILED (remote: yyyy")) << where(o);
}

TEST(UsbFaultHandled, AZeroLengthPacketBeforeTheReplyIsSkipped) {
    Outcome o = run({"-t", "20", "--zlp", "getvar:"}, {"getvar", "product"});
    EXPECT_EQ(0, o.status) << where(o);
    EXPECT_NE(std::string::npos, o.err.find("product: qrx-evb\n")) << where(o);
}

TEST(UsbFaultHandled, AStalledBoardIsLeftUsableForTheNextRun) {
    std::string v = VORN_EXE;
    Outcome o = run({"-t", "20", "--stall", "getvar:product"},
                    {"sh", "-c", v + " getvar product; " + v + " getvar serialno"});
    EXPECT_NE(std::string::npos, o.err.find("serialno: VXN0001\n")) << where(o);
}

TEST(UsbFaultHandled, AnUploadThatEndsEarlyIsAFailure) {
    std::string out = testsupport::temp_dir() + "/early.bin";
    Outcome o = run({"-t", "20", "--early-end", "oem mread", "--feature", "media:read-portion=0x10000"},
                    {"upload", "-p", "boot", "-f", out, "-z", "0x30000"});
    EXPECT_NE(0, o.status) << where(o);
}

TEST(UsbFaultHandled, ABoardInUseByAnotherProgramIsNamed) {
    Outcome o = run({"-t", "2", "--claimed"}, {"getvar", "product"});
    EXPECT_NE(std::string::npos, o.err.find("in use by another program")) << where(o);
}

TEST(UsbFaultHandled, AccessDeniedForAMomentIsNotReported) {
    Outcome o = run({"-t", "20", "--access-delay", "300"}, {"getvar", "product"});
    EXPECT_EQ(0, o.status) << where(o);
    EXPECT_EQ(std::string::npos, o.err.find("insufficient permissions")) << where(o);
}
