// The station's parts that need no bus: the burn lines it reads, the board tracking rules, the
// table, the plain lines and the log names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/board_log.h"
#include "station/board_track.h"
#include "station/child_line.h"
#include "station/display.h"
#include "station/station_options.h"
#include "station/table.h"
#include "tests/test_support.h"
#include "util/subprocess.h"

namespace {

using K = ChildLineKind;

struct LineCase {
    const char* line;
    K kind;
    int step, steps;
    const char* words;
    const char* detail;  // port|serial|stage, reason, or stage
    double seconds;
};

}  // namespace

TEST(StationChildLine, EveryBurnLineAndWhatIsNotOne) {
    const LineCase cases[] = {
        {"board at 1-2.3: serial VXN0001, stage BL2E", K::Board, 0, 0, "", "1-2.3|VXN0001|BL2E", 0},
        {"board at 1-1: serial , stage BL1", K::Board, 0, 0, "", "1-1||BL1", 0},
        {"board at 1-1: serial A, stage B, stage BL2", K::Board, 0, 0, "", "1-1|A, stage B|BL2", 0},
        {"step 2/5 (partition -p system -f sys.img)", K::StepStarted, 2, 5, "partition -p system -f sys.img", "", 0},
        {"step 1/1 (oem \"a (b)\")", K::StepStarted, 1, 1, "oem \"a (b)\"", "", 0},
        {"step 2/5 (getvar identify) passed [1.250s]", K::StepPassed, 2, 5, "getvar identify", "", 1.25},
        {"step 1/5 (bl1_boot -f bl.bin) skipped (board in BL2)", K::StepSkipped, 1, 5, "bl1_boot -f bl.bin", "BL2", 0},
        {"step 3/5 (partition -p a -f b) failed: FAILED (remote: bad) passed [1s]", K::StepFailed, 3, 5,
         "partition -p a -f b", "FAILED (remote: bad) passed [1s]", 0},
        {"burn: passed [12.345s]", K::Passed, 0, 0, "", "", 12.345},
        {"burn: failed at step 3/5 [2.000s]", K::Failed, 3, 5, "", "", 2},
        {"burn: aborted at step 4/5 [9.500s]", K::Aborted, 4, 5, "", "", 9.5},
        {"[ 42%/  100MBytes] 2500ms", K::Progress, 0, 0, "", "", 0},
        // Not burn lines: the steps' own output, and near misses.
        {"OKAY [  0.001s]", K::Other, 0, 0, "", "", 0},
        {"step 3/2 (reboot)", K::Other, 0, 0, "", "", 0},
        {"step x/2 (reboot)", K::Other, 0, 0, "", "", 0},
        {"step 1/2 (reboot", K::Other, 0, 0, "", "", 0},
        {"burn: passed", K::Other, 0, 0, "", "", 0},
        {"burn: failed at step 3/5", K::Other, 0, 0, "", "", 0},
        {"[ 42%/  100MBytes] 2500ms extra", K::Other, 0, 0, "", "", 0},
        {"board at 1-1 serial X", K::Other, 0, 0, "", "", 0},
        {"", K::Other, 0, 0, "", "", 0},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.line);
        ChildLine l = parse_child_line(c.line);
        ASSERT_EQ(c.kind, l.kind);
        EXPECT_EQ(c.step, l.step);
        EXPECT_EQ(c.steps, l.steps);
        EXPECT_EQ(c.words, l.words);
        EXPECT_DOUBLE_EQ(c.seconds, l.seconds);
        std::string detail = c.kind == K::Board         ? l.port + "|" + l.serial + "|" + l.stage
                             : c.kind == K::StepFailed  ? l.reason
                             : c.kind == K::StepSkipped ? l.stage
                                                        : std::string();
        EXPECT_EQ(c.detail, detail);
    }
    ChildLine p = parse_child_line("[100%/ 2048MBytes] 51200ms");
    EXPECT_EQ(100, p.percent);
    EXPECT_EQ(2048, p.mbytes);
    EXPECT_EQ(51200, p.ms);
    EXPECT_EQ("partition", command_word("partition -p system"));
    EXPECT_EQ("reboot", command_word("reboot"));
}

namespace {

// One thing that happens to the tracker, and what must follow.
struct Step {
    enum What { Bus, Start, Line, End } what;
    double t;
    std::vector<BusBoard> bus;  // Bus: everything the bus shows
    std::string port;           // Start, Line, End
    std::string line;           // Line
    int status = 0;             // End
    bool stopped = false;       // End
    // Afterwards: "PORT=state" of every row in port order, and the plain lines of the step.
    std::string rows;
    std::vector<std::string> lines;
};

BusBoard usable(const char* port, const char* serial) { return BusBoard{port, serial, BusState::Usable}; }

std::string rows_of(const BoardTracker& tr) {
    std::string out;
    for (const BoardRow* r : tr.rows()) out += (out.empty() ? "" : " ") + r->port + "=" + board_state_name(r->state);
    return out;
}

void play(BoardTracker& tr, const std::vector<Step>& steps) {
    for (size_t i = 0; i < steps.size(); i++) {
        const Step& s = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        std::vector<BoardEvent> events;
        if (s.what == Step::Bus) tr.bus(s.bus, s.t, &events);
        if (s.what == Step::Start) tr.started(s.port, s.t, &events);
        if (s.what == Step::Line) tr.child_line(s.port, parse_child_line(s.line), &events);
        if (s.what == Step::End) tr.child_ended(s.port, s.status, s.stopped, s.t, &events);
        std::vector<std::string> lines;
        for (const BoardEvent& e : events) lines.push_back(plain_line(e));
        EXPECT_EQ(s.lines, lines);
        if (!s.rows.empty()) {
            EXPECT_EQ(s.rows, rows_of(tr));
        }
    }
}

Step bus(double t, std::vector<BusBoard> b, std::string rows, std::vector<std::string> lines = {}) {
    return Step{Step::Bus, t, std::move(b), "", "", 0, false, std::move(rows), std::move(lines)};
}
Step start(double t, std::string port, std::vector<std::string> lines) {
    return Step{Step::Start, t, {}, std::move(port), "", 0, false, "", std::move(lines)};
}
Step line(std::string port, std::string text, std::vector<std::string> lines = {}) {
    return Step{Step::Line, 0, {}, std::move(port), std::move(text), 0, false, "", std::move(lines)};
}
Step end(double t, std::string port, int status, std::vector<std::string> lines, bool stopped = false) {
    return Step{Step::End, t, {}, std::move(port), "", status, stopped, "", std::move(lines)};
}

}  // namespace

TEST(StationTracking, ABoardIsFollowedThroughItsStagesAndBurnedOncePerPlugging) {
    BoardTracker tr;
    play(tr, {
        bus(0, {usable("1-2", "ROM1"), usable("1-10", "B"), BusBoard{"1-3", "C", BusState::InUse}},
            "1-2=waiting 1-3=busy 1-10=waiting",
            {"1-2 ROM1: appeared", "1-10 B: appeared", "1-3 C: busy: in use by another program"}),
        start(0.1, "1-2", {"1-2 ROM1: burning"}),
        line("1-2", "board at 1-2: serial ROM1, stage BL1", {"1-2 ROM1: in stage BL1"}),
        line("1-2", "step 1/3 (bl1_boot -f bl.bin) passed [0.500s]",
             {"1-2 ROM1: step 1/3 (bl1_boot -f bl.bin) passed [0.500s]"}),
        // It restarts within its plan: gone and back with another serial, still its burn's.
        bus(1, {usable("1-10", "B"), BusBoard{"1-3", "C", BusState::InUse}}, "1-2=burning 1-3=busy 1-10=waiting"),
        bus(1.2, {usable("1-2", "BL2X"), usable("1-10", "B"), BusBoard{"1-3", "C", BusState::Usable}},
            "1-2=burning 1-3=waiting 1-10=waiting", {"1-3 C: appeared"}),
        line("1-2", "board at 1-2: serial BL2X, stage BL2E", {"1-2 BL2X: in stage BL2E"}),
        line("1-2", "step 3/3 (reboot)"),
        line("1-2", "burn: passed [2.000s]"),
        end(3, "1-2", 0, {"1-2 BL2X: passed [2.000s]"}),
        // Its burn held it (the listing says in use); once let go it is the same board still.
        bus(3.1, {BusBoard{"1-2", "BL2X", BusState::InUse}, usable("1-10", "B"), usable("1-3", "C")},
            "1-2=passed 1-3=waiting 1-10=waiting"),
        bus(3.15, {usable("1-2", "BL2X"), usable("1-10", "B"), usable("1-3", "C")},
            "1-2=passed 1-3=waiting 1-10=waiting"),
        // The reboot: briefly gone, back in download mode with its first serial.
        bus(3.2, {usable("1-10", "B"), usable("1-3", "C")}, "1-2=passed 1-3=waiting 1-10=waiting",
            {"1-2 BL2X: gone"}),
        bus(3.5, {usable("1-2", "ROM1"), usable("1-10", "B"), usable("1-3", "C")},
            "1-2=back 1-3=waiting 1-10=waiting", {"1-2 ROM1: back, not burned again"}),
        // Unplugged, and after longer than a restart takes the same serial is a new board.
        bus(4, {usable("1-10", "B"), usable("1-3", "C")}, "1-2=gone 1-3=waiting 1-10=waiting", {"1-2 ROM1: gone"}),
        bus(9, {usable("1-2", "ROM1"), usable("1-10", "B"), usable("1-3", "C")},
            "1-2=waiting 1-3=waiting 1-10=waiting", {"1-2 ROM1: appeared"}),
    });
    // The waiting order is the order of appearance, not the port order.
    EXPECT_EQ("1-10", tr.next_waiting());
    EXPECT_EQ(1, tr.passed());
}

TEST(StationTracking, FailuresAbortsSwapsAndAgain) {
    BoardTracker tr;
    tr.rules().again = true;
    play(tr, {
        bus(0, {usable("1-1", "A"), usable("1-2", "B"), BusBoard{"1-4", "", BusState::NoPermission}},
            "1-1=waiting 1-2=waiting 1-4=no perm",
            {"1-1 A: appeared", "1-2 B: appeared", "1-4 ????????????: skipped: no permission to open it"}),
        start(1, "1-1", {"1-1 A: burning"}),
        start(1, "1-2", {"1-2 B: burning"}),
        line("1-1", "step 2/3 (partition -p system -f s.img)"),
        line("1-1", "[ 50%/  100MBytes] 1000ms"),
        line("1-1", "step 2/3 (partition -p system -f s.img) failed: FAILED (remote: medium error)",
             {"1-1 A: step 2/3 (partition -p system -f s.img) failed: FAILED (remote: medium error)"}),
        line("1-1", "burn: failed at step 2/3 [1.500s]"),
        end(2.5, "1-1", 1, {"1-1 A: failed at step 2/3 [1.500s]: FAILED (remote: medium error)"}),
        // A burn that ends without its end line (crashed), and one stopped by the station.
        line("1-2", "step 1/3 (getvar identify)"),
        end(3, "1-2", 139, {"1-2 B: failed at step 1/3 [2.000s]: its burn ended with status 139 and no result"}),
        bus(3.1, {usable("1-1", "A"), usable("1-2", "B2")}, "1-1=failed 1-2=waiting 1-4=gone", {"1-2 B2: appeared", "1-4 ????????????: gone"}),
        start(3.2, "1-2", {"1-2 B2: burning"}),
        line("1-2", "burn: aborted at step 1/3 [0.100s]"),
        end(3.4, "1-2", 1, {"1-2 B2: aborted at step 1/3 [0.100s]"}, true),
        // -a: back with a serial it had, yet burned again.
        bus(3.5, {usable("1-2", "B2")}, "1-1=failed 1-2=aborted 1-4=gone", {"1-1 A: gone"}),
        bus(3.6, {usable("1-1", "A"), usable("1-2", "B2")}, "1-1=waiting 1-2=aborted 1-4=gone", {"1-1 A: appeared"}),
    });
    EXPECT_EQ(0, tr.passed());
    EXPECT_EQ(2, tr.failed());
    EXPECT_EQ(1, tr.aborted());
    BoardTracker once;
    once.stop_taking();
    play(once, {bus(0, {usable("1-1", "A")}, "", {})});
    EXPECT_TRUE(once.rows().empty());
}

TEST(StationTable, ThirtyTwoBoardsFitEightyColumnsInPortOrder) {
    BoardTracker tr;
    std::vector<BusBoard> seen;
    for (int i = 32; i >= 1; i--)
        seen.push_back(usable(("1-" + std::to_string(i / 8 + 1) + "." + std::to_string(i)).c_str(),
                              ("SERIAL-NUMBER-LONGER-THAN-ITS-COLUMN" + std::to_string(i)).c_str()));
    std::vector<BoardEvent> ev;
    tr.bus(seen, 0, &ev);
    tr.started("1-1.1", 0, &ev);
    tr.child_line("1-1.1", parse_child_line("board at 1-1.1: serial X, stage BL2E"), &ev);
    tr.child_line("1-1.1", parse_child_line("step 3/7 (partition -p system -f s.img)"), &ev);
    tr.child_line("1-1.1", parse_child_line("[ 40%/  100MBytes] 1000ms"), &ev);
    std::vector<std::string> lines = table_lines(tr, 12.5);
    ASSERT_EQ(34u, lines.size());
    for (const std::string& l : lines) EXPECT_LE(l.size(), 79u) << l;
    EXPECT_EQ("burning 1  waiting 31  passed 0  failed 0  40.0 MB/s", lines[0]);
    EXPECT_EQ(0u, lines[2].find("1-1.1     X              BL2E  3/7 partition     40% 40.0MB/s   12.5s burning"))
        << lines[2];
    EXPECT_EQ(0u, lines[3].find("1-1.2     SERIAL-NUMBER- "));
    EXPECT_EQ(0u, lines.back().find("1-5.32 "));
    EXPECT_TRUE(port_before("1-2", "1-10"));
    EXPECT_TRUE(port_before("1-2", "1-2.1"));
    EXPECT_FALSE(port_before("1-10", "1-9"));
    EXPECT_TRUE(port_before("2-1", "10-1"));
}

TEST(StationTable, LogNamesSortByTimeAndNamePortAndSerial) {
    // 2026-12-09 04:22:49.250 UTC
    EXPECT_EQ("20261209T042249.250Z_1-2.3_VXN0001.log", board_log_name(1796790169.25, "1-2.3", "VXN0001"));
    EXPECT_EQ("20261209T042249.000Z_1-2_a_b_c.log", board_log_name(1796790169.0, "1-2", "a/b c"));
    EXPECT_EQ("20261209T042249.000Z_1-2_noserial.log", board_log_name(1796790169.0, "1-2", ""));
    EXPECT_LT(board_log_name(1796790169.0, "1-9", "Z"), board_log_name(1796790170.0, "1-1", "A"));
}

TEST(StationOptions, WordsAndRefusals) {
    auto parse = [](std::vector<std::string> w, StationOptions* o, std::string* error) {
        std::vector<char*> words;
        for (std::string& s : w) words.push_back(&s[0]);
        words.push_back(nullptr);
        return parse_station_options(static_cast<int>(w.size()), words.data(), o, error);
    };
    StationOptions o;
    std::string error;
    ASSERT_TRUE(parse({"station", "-f", "p.plan", "-j", "4", "-n", "10", "--once", "-a", "-r", "r.jsonl", "-l", "logs",
                       "-T", "30"},
                      &o, &error))
        << error;
    EXPECT_EQ("p.plan", o.plan);
    EXPECT_EQ(4, o.jobs);
    EXPECT_EQ(10, o.count);
    EXPECT_TRUE(o.once && o.again);
    EXPECT_EQ("r.jsonl", o.report);
    EXPECT_EQ("logs", o.log_dir);
    EXPECT_EQ("30", o.step_limit);
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"station"}, "a plan is needed: -f PLAN"},
        {{"station", "-f", "p", "-j", "0"}, "-j takes a number of boards, not: 0"},
        {{"station", "-f", "p", "-n", "x"}, "-n takes a number of boards, not: x"},
        {{"station", "-f", "p", "-T", "-1"}, "-T takes a number of seconds, not: -1"},
        {{"station", "-f", "p", "extra"}, "unexpected word: extra"},
        {{"station", "-f", "p", "-x"}, "unknown option, or one without its value: -x"},
    };
    for (const auto& b : bad) {
        StationOptions o2;
        EXPECT_FALSE(parse(b.first, &o2, &error));
        EXPECT_EQ(b.second, error);
    }
}

// The station stops a burn as the system asks a console program to end (SIGTERM; Ctrl-Break to
// its process group on Windows); the burn must take that as an abort and write its record, not
// just die. No board is on this machine's bus, so the burn waits for one until it is stopped.
TEST(StationBurnProcess, ABurnAskedToStopWritesItsRecordAsAborted) {
    std::string plan = testsupport::write_file("stop.plan", "partition -p system -f system.img\n");
    testsupport::write_file("system.img", std::string(4096, 'x'));
    std::string report = testsupport::temp_dir() + "/stop.jsonl";
#ifdef _WIN32
    std::string vorn = VORN_BINARY_DIR "/cli/vorn.exe";
#else
    std::string vorn = VORN_BINARY_DIR "/cli/vorn";
#endif
    std::string error;
    SubprocessPtr child = subprocess_start({vorn, "burn", "-f", plan, "-r", report, "-T", "0"}, &error);
    ASSERT_TRUE(child) << error;
    std::string out;
    char buf[512];
    long n = 0;
    // Bounded, as the test's own time limit is: a burn that never waits must not hang the run.
    for (int looks = 0; looks < 600 && out.find("waiting for") == std::string::npos && n >= 0; looks++) {
        subprocess_wait_output({child.get()}, 1000);
        n = subprocess_read(child.get(), buf, sizeof(buf));
        if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    ASSERT_NE(std::string::npos, out.find("waiting for")) << out;
    subprocess_terminate(child.get());
    int status = -1;
    ASSERT_TRUE(subprocess_wait(child.get(), 60000, &status));
    while ((n = subprocess_read(child.get(), buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(1, status) << out;
    EXPECT_NE(std::string::npos, out.find("burn: aborted at step 1/1")) << out;
    EXPECT_NE(std::string::npos, testsupport::read_file(report).find("\"result\":\"aborted\"")) << out;
}

