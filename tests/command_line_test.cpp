// The programs' own options: they answer at once and leave the working
// folder as it was; any other argument leaves k210prog's dialogue as it is.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "harness.h"

using namespace k210;
using namespace k210::harness;

namespace {

const std::string K210PROG = K210PROG_PATH;
const std::string BSL = std::string(BSL_DIR) + "/BSL.EXE";
const std::string VERSION = K210_VERSION;

std::set<std::string> made_in(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
}

RunResult run_with(const std::string& program, const std::string& dir, const std::string& input,
                   const std::vector<std::string>& arguments) {
    RunOptions options;
    options.arguments = arguments;
    options.limit_seconds = 10;
    return run_program(program, dir, input, options);
}

TEST(CommandLine, VersionAndHelpAnswerWithoutTouchingAnything) {
    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        std::string out_starts_with;
    };
    const Case cases[] = {
        {K210PROG, {"--version"}, "k210prog " + VERSION + "\n"},
        {K210PROG, {"--help"}, "k210prog " + VERSION + ": "},
        {K210PROG, {"COM3", "--version"}, "k210prog " + VERSION + "\n"},
        {BSL, {"--version"}, "BSL.EXE " + VERSION + "\n"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        // Answers a dialogue would take, to show that none is held.
        const RunResult r = run_with(c.program, dir.path, "3\nn\nn\nn\n", c.arguments);
        SCOPED_TRACE(c.program + " " + c.arguments.back());
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out.compare(0, c.out_starts_with.size(), c.out_starts_with), 0) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_LT(r.seconds, 2.0);
        EXPECT_TRUE(made_in(dir.path).empty());
    }
    const RunResult help = run_with(K210PROG, TempDir().path, "", {"--help"});
    EXPECT_NE(help.out.find("Any other argument is ignored."), std::string::npos);
}

TEST(CommandLine, OtherArgumentsLeaveTheDialogueAsItIs) {
    TempDir dir;
    const RunResult r = run_with(K210PROG, dir.path, "0\n", {"--verbose", "-h", "COM3"});
    EXPECT_EQ(r.out, "\nVORTAN FIRMWARE PROGRAM UTILITY\n       v1.3  for  K210\nEnter COM Port #> Invalid Response\n");
    EXPECT_EQ(r.exit_status, 2);
}

}  // namespace
