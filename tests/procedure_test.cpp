// Answer reading from standard input, and the programmer's command line.
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "dialogue/dialogue.h"
#include "procedure/reprogramming.h"

using namespace k210;

namespace {

// The answers to what is typed, one prompt after the other, until input ends.
std::vector<std::optional<char>> answers_to(const std::string& typed, std::size_t prompts) {
    std::istringstream in(typed);
    std::ostringstream out;
    Dialogue dialogue(in, out, out);
    std::vector<std::optional<char>> answers;
    for (std::size_t i = 0; i < prompts; ++i) answers.push_back(dialogue.read_answer());
    return answers;
}

using Answers = std::vector<std::optional<char>>;

TEST(AnswerReading, TakesOneNonBlankCharacterPerPrompt) {
    EXPECT_EQ(answers_to("12\n", 3), (Answers{'1', '2', std::nullopt}));  // the queued digit answers the next prompt
    EXPECT_EQ(answers_to("\n\n  \t\r\n y\n", 2), (Answers{'y', std::nullopt}));  // Enter alone is no answer
    EXPECT_EQ(answers_to("", 2), (Answers{std::nullopt, std::nullopt}));
    EXPECT_EQ(answer_upper('y'), 'Y');
    EXPECT_EQ(answer_upper('Y'), 'Y');
    EXPECT_EQ(answer_upper('3'), '3');
    EXPECT_EQ(answer_upper('\xE9'), '\xE9');  // nothing beyond a to z changes

    // A prompt is out before its answer is read; a note goes beside the dialogue.
    std::istringstream in("n");
    std::ostringstream out;
    std::ostringstream notes;
    Dialogue dialogue(in, out, notes);
    EXPECT_EQ(dialogue.ask_yes_no("Retry? (Y or N)>"), YesNo::no);
    EXPECT_EQ(dialogue.ask_yes_no("Retry? (Y or N)>"), YesNo::input_ended);
    dialogue.report("first\nsecond");
    EXPECT_EQ(out.str(), "Retry? (Y or N)>Retry? (Y or N)>");
    EXPECT_EQ(notes.str(), "k210prog: first\nk210prog: second\n");
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
