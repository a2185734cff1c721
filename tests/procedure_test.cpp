// Answer reading from standard input, and the programmer's command line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "console/console.h"
#include "procedure/reprogramming.h"

using namespace k210;

namespace {

// A file in the temporary folder, named for this process, that stands in
// for what the user types.
const std::string TYPED_INPUT =
    (std::filesystem::temp_directory_path() /
     ("k210-typed-input-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt"))
        .string();

// Puts `text` on standard input, as if typed, followed by the end of input.
void type_input(const std::string& text) {
    std::FILE* file = std::fopen(TYPED_INPUT.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    ASSERT_NE(std::freopen(TYPED_INPUT.c_str(), "r", stdin), nullptr);
}

// Standard input on the null device again, and the file gone (Windows
// refuses to remove it while it is open).
void stop_typing() {
#ifdef _WIN32
    EXPECT_NE(std::freopen("NUL", "r", stdin), nullptr);
#else
    EXPECT_NE(std::freopen("/dev/null", "r", stdin), nullptr);
#endif
    EXPECT_EQ(std::remove(TYPED_INPUT.c_str()), 0);
}

TEST(AnswerReading, TakesOneNonBlankCharacterPerPrompt) {
    type_input("12\n");
    EXPECT_EQ(read_answer(), '1');
    EXPECT_EQ(read_answer(), '2');  // the queued digit answers the next prompt
    EXPECT_EQ(read_answer(), std::nullopt);

    type_input("\n\n  \t\r\n y\n");  // Enter alone is no answer
    EXPECT_EQ(read_answer(), 'y');
    EXPECT_EQ(answer_upper('y'), 'Y');
    EXPECT_EQ(answer_upper('Y'), 'Y');
    EXPECT_EQ(answer_upper('3'), '3');
    EXPECT_EQ(answer_upper('\xE9'), '\xE9');  // nothing beyond a to z changes

    type_input("");
    EXPECT_EQ(read_answer(), std::nullopt);
    stop_typing();
}

TEST(ProgrammerCommandLine, NamesTheImageFromTheThreeAnswers) {
    struct Case {
        bool old_unit, co_only, old_sensor;
        const char* image;
    };
    const Case cases[] = {
        {false, false, false, "K210t.TXT"}, {false, false, true, "K210.TXT"},   {false, true, false, "K210xt.TXT"},
        {false, true, true, "K210x.TXT"},   {true, false, false, "K210ft.TXT"}, {true, false, true, "K210f.TXT"},
        {true, true, false, "K210fxt.TXT"}, {true, true, true, "K210fx.TXT"},
    };
    for (const Case& c : cases) {
        HardwareAnswers a;
        a.old_unit = c.old_unit;
        a.carbon_monoxide_only = c.co_only;
        a.old_style_sensor = c.old_sensor;
        EXPECT_EQ(firmware_image_name(a), c.image);
    }
    EXPECT_EQ(programmer_command_line(*PortName::from_digit('3'), HardwareAnswers{}), "BSL.EXE +mpvr -cCOM3 K210t.TXT");
    HardwareAnswers longest;
    longest.old_unit = longest.carbon_monoxide_only = true;
    EXPECT_EQ(programmer_command_line(*PortName::from_digit('9'), longest), "BSL.EXE +mpvr -cCOM9 K210fxt.TXT");
}

TEST(ProgrammerRun, ReportsTheExitStatusAndFailureToStart) {
    EXPECT_EQ(run_programmer("exit 0"), ProgrammerEnd::succeeded);
    EXPECT_EQ(run_programmer("exit 3"), ProgrammerEnd::failed);
    EXPECT_EQ(run_programmer("k210-no-such-programmer +mpvr"), ProgrammerEnd::failed);
#ifndef _WIN32
    EXPECT_EQ(run_programmer("kill -9 $$"), ProgrammerEnd::failed);  // ended by a signal
#endif
}

}  // namespace
