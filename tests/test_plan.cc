// Burn plans as read and checked before any board is touched: the reader's good and bad lines,
// the commands' own checks of every step, and the words a step runs with.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "plan/plan.h"
#include "plan/plan_report.h"
#include "tests/test_support.h"
#include "util/file_hash.h"

using testsupport::temp_dir;
using testsupport::write_file;

namespace {

// A plan in a folder of its own, so that relative paths are taken from there.
std::string plan_at(const std::string& name, const std::string& text) {
    return write_file(name, text);
}

std::string load(const std::string& path, Plan* plan) {
    std::string faults;
    plan_load_checked(path, plan, &faults);
    return faults;
}

}  // namespace

TEST(BurnPlan, LinesAsTheReaderTakesThemAndItsMessages) {
    write_file("img.bin", std::string(4096, 'x'));
    write_file("key.bin", std::string(16, 'k'));
    // A sparse header that promises one chunk of one 4 KiB block, and then ends.
    write_file("cut.img", std::string("\x3a\xff\x26\xed\x01\x00\x00\x00\x1c\x00\x0c\x00\x00\x10\x00\x00"
                                      "\x01\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00", 28));
    struct Case {
        std::string line;
        std::string fault;  // "" for a good line
        std::vector<std::string> words;
        std::vector<int> stages;
    };
    const std::vector<Case> cases = {
        {"getvar identify", "", {"getvar", "identify"}, {}},
        {"  partition -p system -f img.bin -t sparse  ", "", {"partition", "-p", "system", "-f", "img.bin", "-t", "sparse"}, {}},
        {"oem \"a  b\" c", "", {"oem", "a  b", "c"}, {}},
        {"oem x\"y z\"w", "", {"oem", "xy zw"}, {}},
        {"[BL1] bl1_boot -f img.bin", "", {"bl1_boot", "-f", "img.bin"}, {kStageBl1}},
        {"[BL2, BL2E] getvar identify", "", {"getvar", "identify"}, {kStageBl2, kStageBl2e}},
        {"[TPL]reboot", "", {"reboot"}, {kStageTpl}},
        {"expect product \"board one\"", "", {"expect", "product", "board one"}, {}},
        {"setkey keys/${serial}.bin", "", {"setkey", "keys/${serial}.bin"}, {}},
        {"oem port=${port}", "", {"oem", "port=${port}"}, {}},
        {"oem \"unclosed", "missing closing quote", {}, {}},
        {"[BL3] reboot", "unknown stage \"BL3\" in the guard (BL1, BL2, BL2E or TPL)", {}, {}},
        {"[BL1 reboot", "stage guard without its closing \"]\"", {}, {}},
        {"[BL1]", "a stage guard without a step", {}, {}},
        {"expect product", "expect without a value: expect NAME VALUE", {}, {}},
        {"expect a b c", "expect takes one NAME and one VALUE (quote a value with blanks)", {}, {}},
        {"setkey ${home}/k.bin", "unknown name ${home} (only ${serial} and ${port})", {}, {}},
        {"setkey ${serial", "\"${\" without its closing \"}\" in \"${serial\"", {}, {}},
        {"devices", "\"devices\" is not a step", {}, {}},
        {"burn -f x", "\"burn\" is not a step", {}, {}},
        {"station x", "\"station\" is not a step", {}, {}},
        {"-s X getvar a", "-s is not a step: the plan runs on the board burn was given", {}, {}},
        {"flash boot", "unknown command word \"flash\"", {}, {}},
        {"getvar --help", "\"getvar --help\" is not a step", {}, {}},
        // The commands' own checks, with their own texts.
        {"partition -f nope.img -p boot", "Fail in open file " + temp_dir() + "/nope.img; " + temp_dir() +
                                              "/nope.img: No such file or directory; fail in queue partition", {}, {}},
        {"getvar", "L828:require at least 2 args but only 1", {}, {}},
        {"upload -p boot -f out.bin -m store", "need specify filesize; fail in upload", {}, {}},
        {"upload -p boot -f out.bin -z 8X", "Fail in pase_num, not endprt; illegle filesize 8X; fail in upload", {}, {}},
        {"setvar a 4G", "illegal varval[4G] in setvar", {}, {}},
        {"bl1_boot -f missing.bin", "Fail in open file " + temp_dir() + "/missing.bin; " + temp_dir() +
                                        "/missing.bin: No such file or directory", {}, {}},
        {"oem " + std::string(130, 'o'), "command text of 134 characters, at most 127", {}, {}},
        // A damaged sparse image would go out as its container bytes: refused unless asked for.
        {"partition -p boot -f cut.img", temp_dir() + "/cut.img looks like a sparse image but chunk 0 of 1 is cut short in its header; give -t normal to burn it as a normal image", {}, {}},
        {"partition -p boot -f cut.img -t normal", "", {"partition", "-p", "boot", "-f", "cut.img", "-t", "normal"}, {}},
    };
    for (const Case& c : cases) {
        std::string path = plan_at("case.plan", "# a comment\n\n" + c.line + "\n");
        Plan plan;
        std::string faults = load(path, &plan);
        if (c.fault.empty()) {
            EXPECT_EQ("", faults) << c.line;
            ASSERT_EQ(1u, plan.steps.size()) << c.line;
            EXPECT_EQ(3, plan.steps[0].line);
            EXPECT_EQ(c.words, plan.steps[0].words) << c.line;
            EXPECT_EQ(c.stages, plan.steps[0].stages) << c.line;
        } else {
            EXPECT_EQ(path + ":3: " + c.fault + "\n", faults) << c.line;
        }
    }
}

TEST(BurnPlan, EveryFaultOfThePlanAtOnceAndWholePlanRefusals) {
    std::string path = plan_at("many.plan", "getvar a\nflash x\n\"open\n\ngetvar\n");
    Plan plan;
    EXPECT_EQ(path + ":2: unknown command word \"flash\"\n" + path + ":3: missing closing quote\n" + path +
                  ":5: L828:require at least 2 args but only 1\n",
              load(path, &plan));

    // Empty, comments only, not text, a line over 4 KiB, a plan that names itself, no plan.
    std::string empty = plan_at("empty.plan", "");
    EXPECT_EQ(empty + ": the plan has no steps\n", load(empty, &plan));
    std::string comments = plan_at("comments.plan", "# nothing\n   \n");
    EXPECT_EQ(comments + ": the plan has no steps\n", load(comments, &plan));
    std::string binary = plan_at("binary.plan", std::string("getvar a\nx\0y\n", 13));
    EXPECT_EQ(binary + ": not a text file (a control byte on line 2)\n", load(binary, &plan));
    std::string longer = plan_at("long.plan", "oem " + std::string(4093, 'x') + "\ngetvar a\n");
    EXPECT_EQ(longer + ":1: line of 4097 bytes, longer than 4096\n", load(longer, &plan));
    std::string self = plan_at("self.plan", "download self.plan\n");
    EXPECT_EQ(self + ":1: the step names the plan itself (" + self + ")\n", load(self, &plan));
    std::string none = temp_dir() + "/none.plan";
    EXPECT_EQ(none + ": cannot read the plan: No such file or directory\n", load(none, &plan));
}

TEST(BurnPlan, StepWordsTakeFilesFromThePlansFolderAndTheBoardsNames) {
    std::string dir = temp_dir();
    write_file("k-SN7.bin", std::string(16, 'k'));
    std::string path = plan_at("words.plan",
                               "partition -p boot -fimg.bin --verify=v.txt\nsetkey k-${serial}.bin\n"
                               "upload -p a -f out.bin -z 1\nbl1_boot -f /abs/bl.bin\noem ${port}\n");
    Plan plan;
    std::vector<PlanFault> faults;
    ASSERT_TRUE(plan_read(path, &plan, &faults));
    EXPECT_EQ(dir, plan.folder);
    PlanBoard board = {"SN7", "1-2.3"};
    using W = std::vector<std::string>;
    EXPECT_EQ((W{"partition", "-p", "boot", "-f" + dir + "/img.bin", "--verify=" + dir + "/v.txt"}),
              plan_step_words(plan, plan.steps[0], &board));
    EXPECT_EQ((W{"setkey", dir + "/k-SN7.bin"}), plan_step_words(plan, plan.steps[1], &board));
    EXPECT_EQ((W{"setkey", dir + "/k-${serial}.bin"}), plan_step_words(plan, plan.steps[1], nullptr));
    EXPECT_EQ((W{"bl1_boot", "-f", "/abs/bl.bin"}), plan_step_words(plan, plan.steps[3], &board));
    EXPECT_EQ((W{"oem", "1-2.3"}), plan_step_words(plan, plan.steps[4], &board));
    auto files = plan_step_files(plan_step_words(plan, plan.steps[2], &board));
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(dir + "/out.bin", files[0].path);
    EXPECT_FALSE(files[0].sent);
    // The per-board step is checked for its board only: a board without its key is refused.
    EXPECT_TRUE(plan.steps[1].per_board());
    faults.clear();
    EXPECT_TRUE(plan_check(plan, &board, &faults));
    PlanBoard other = {"SN8", "1-4"};
    EXPECT_FALSE(plan_check(plan, &other, &faults));
    ASSERT_EQ(1u, faults.size());
    EXPECT_EQ(2, faults[0].line);
    EXPECT_NE(std::string::npos, faults[0].reason.find("k-SN8.bin")) << faults[0].reason;
}

TEST(BurnPlan, RecordIsOneJsonLineWithTheFilesDigests) {
    // The digest of "abc" is the standard's own example.
    std::string abc = write_file("abc.bin", "abc");
    std::string hex;
    long long size = 0;
    ASSERT_TRUE(file_sha256(abc.c_str(), &hex, &size));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", hex);
    EXPECT_EQ(3, size);
    EXPECT_FALSE(file_sha256((temp_dir() + "/none").c_str(), &hex, &size));

    BurnRecord r;
    r.plan = "p \"q\".plan";
    r.port = "1-2";
    r.serial = "SN\x01";
    r.result = "failed";
    r.failed_step = 2;
    r.reason = "x";
    ReportStep s;
    s.number = 1;
    s.line = 3;
    s.words = {"download", abc};
    s.result = "passed";
    s.files.push_back({abc, 3, hex});
    r.steps.push_back(s);
    std::string line = report_line(r);
    EXPECT_EQ(std::string::npos, line.find('\n'));
    EXPECT_NE(std::string::npos, line.find("\"plan\":\"p \\\"q\\\".plan\"")) << line;
    EXPECT_NE(std::string::npos, line.find("\"serial\":\"SN\\u0001\"")) << line;
    EXPECT_NE(std::string::npos, line.find("\"failed_step\":2")) << line;
    EXPECT_NE(std::string::npos, line.find("{\"path\":\"" + abc + "\",\"sha256\":\"" + hex + "\",\"size\":3}")) << line;
    // Appended after a record cut short, on a line of its own; the earlier bytes stay.
    std::string report = write_file("report.jsonl", "{\"cut\":");
    int fd = report_open(report.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(report_append(fd, r));
    ASSERT_TRUE(report_append(fd, r));
    close(fd);
    EXPECT_EQ("{\"cut\":\n" + line + "\n" + line + "\n", testsupport::read_file(report));
}
