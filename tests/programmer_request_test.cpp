// BSL.EXE's command line: every option and letter, each refusal with its
// message, and the exit status the command line alone decides.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "bsl/request.h"

using namespace k210::bsl;

namespace {

TEST(BslCommandLine, TakesEveryOptionAndLetterAndRefusesTheRestByName) {
    using Asked = CommandLine::Asked;
    struct Case {
        std::vector<std::string> arguments;
        Asked asked;
        std::optional<int> status;  // nothing: the actions run
        const char* failure;        // "" when taken
        const char* letters;        // of mpvr, the actions asked for
        bool invert_dtr, invert_rts;
        unsigned max_baud;
    };
    const Case cases[] = {
        {{"+mpvr", "-cCOM3", "K210t.TXT"}, Asked::run, std::nullopt, "", "mpvr", false, false, 38400},
        {{"K210t.TXT", "-cCOM9", "+v"}, Asked::run, std::nullopt, "", "v", false, false, 38400},  // any order
        {{"+rm", "-cCOM1", "A.TXT"}, Asked::run, std::nullopt, "", "mr", false, false, 38400},
        {{"--invert-dtr", "+p", "-cCOM2", "A.TXT"}, Asked::run, std::nullopt, "", "p", true, false, 38400},
        {{"--invert-rts", "+p", "-cCOM2", "A.TXT"}, Asked::run, std::nullopt, "", "p", false, true, 38400},
        {{"--speed", "19200", "+pv", "-cCOM2", "A.TXT"}, Asked::run, std::nullopt, "", "pv", false, false, 19200},
        {{"+pv", "--speed", "9600", "-cCOM2", "A.TXT"}, Asked::run, std::nullopt, "", "pv", false, false, 9600},
        {{"--version", "--fast"}, Asked::version, 0, "", "", false, false, 38400},  // answers alone
        {{"--help"}, Asked::help, 0, "", "", false, false, 38400},
        {{"-h", "+mpvr"}, Asked::help, 0, "", "mpvr", false, false, 38400},
        {{"--help", "--fast"}, Asked::help, 1, "unknown option '--fast'", "", false, false, 38400},
        {{"+mpvx", "-cCOM3", "A.TXT"}, Asked::run, 1, "unknown action letters '+mpvx'", "", false, false, 38400},
        {{"+", "-cCOM3", "A.TXT"}, Asked::run, 1, "unknown action letters '+'", "", false, false, 38400},
        {{"+mpvr", "-cCOM0", "A.TXT"}, Asked::run, 1, "bad port 'COM0' (COM1 to COM9)", "mpvr", false, false, 38400},
        {{"+mpvr", "-cCOM10", "A.TXT"}, Asked::run, 1, "bad port 'COM10' (COM1 to COM9)", "mpvr", false, false, 38400},
        {{"+mpvr", "-c", "A.TXT"}, Asked::run, 1, "bad port '' (COM1 to COM9)", "mpvr", false, false, 38400},
        {{"--fast", "+mpvr"}, Asked::run, 1, "unknown option '--fast'", "", false, false, 38400},
        {{"--speed", "57600", "+p"},
         Asked::run,
         1,
         "bad speed '57600' (9600, 19200 or 38400)",
         "",
         false,
         false,
         38400},
        {{"+p", "--speed"}, Asked::run, 1, "bad speed '' (9600, 19200 or 38400)", "p", false, false, 38400},
        {{"+p", "-cCOM3", "A.TXT", "B.TXT"}, Asked::run, 1, "more than one image: 'B.TXT'", "p", false, false, 38400},
        {{"-cCOM3", "A.TXT"}, Asked::run, 1, "no action letters (+mpvr)", "", false, false, 38400},
        {{"+mpvr", "A.TXT"}, Asked::run, 1, "no port (-cCOMn)", "mpvr", false, false, 38400},
        {{"+mpvr", "-cCOM3"}, Asked::run, 1, "no image file", "mpvr", false, false, 38400},
        {{}, Asked::run, 1, "no action letters (+mpvr)", "", false, false, 38400},
    };
    for (const Case& c : cases) {
        const std::string what = c.arguments.empty() ? "(none)" : c.arguments[0] + " ...";
        CommandLine line;
        const Verdict verdict = line.parse(c.arguments);
        EXPECT_EQ(verdict, *c.failure ? Verdict::refused : Verdict::ok) << what;
        EXPECT_EQ(line.failure_reason(), c.failure) << what;
        EXPECT_EQ(line.asked(), c.asked) << what;
        EXPECT_EQ(line.exit_status(verdict), c.status) << what;
        if (c.asked == Asked::version || *c.failure) continue;
        const ProgrammerRequest& r = line.request();
        const std::string letters =
            std::string(r.erase ? "m" : "") + (r.program ? "p" : "") + (r.verify ? "v" : "") + (r.reset ? "r" : "");
        EXPECT_EQ(letters, c.letters) << what;
        EXPECT_EQ(r.invert_dtr, c.invert_dtr) << what;
        EXPECT_EQ(r.invert_rts, c.invert_rts) << what;
        EXPECT_EQ(r.max_baud, c.max_baud) << what;
    }
    CommandLine line;
    ASSERT_EQ(line.parse({"+mpvr", "-cCOM3", "K210t.TXT"}), Verdict::ok);
    EXPECT_EQ(line.request().port_name, "COM3");
    EXPECT_EQ(line.request().image_path, "K210t.TXT");
}

}  // namespace
