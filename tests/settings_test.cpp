// The settings file layout written by the capture pass, the line reading of
// the restore pass, and the translator from saved lines to set commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "procedure/reprogramming.h"
#include "settings/capture.h"
#include "settings/restore.h"
#include "settings/settings_store.h"

using namespace k210;

namespace {

using Lines = std::vector<std::string>;

Lines translate_all(const Lines& lines) {
    Translator translator;
    Lines sent;
    for (const std::string& line : lines)
        if (const std::optional<std::string> command = translator.next_set_command(line.c_str()))
            sent.push_back(*command);
    return sent;
}

struct TranslatorCase {
    const char* what;
    Lines file_lines;
    Lines expected;
};

TEST(Translator, TurnsSavedLinesIntoSetCommands) {
    const std::vector<TranslatorCase> cases = {
        {"LOGO and VERS are never restored", {"\rLOGO?\r", "LOGO:K210\r", "VERS?\r", "V:1\r"}, {}},
        {"plain value after the first colon", {"MODE?\r", "AB:12\r"}, {"MODE 12\r"}},
        {"value keeps later colons", {"TIME?\r", "TIME:14:05:33\r"}, {"TIME 14:05:33\r"}},
        {"access word before the value", {"SRAL?\r", "SN:123\r"}, {"SRAL BRISKET123\r"}},
        {"OPTI too", {"OPTI?\r", "O:7\r"}, {"OPTI BRISKET7\r"}},
        {"numbered lines", {"FACT?\r", "A:p\r", "B:q\r", "C:r\r"}, {"FACT0 p\r", "FACT1 q\r", "FACT2 r\r"}},
        {"numbering starts again under each numbered header",
         {"FACT?\r", "a:1\r", "b:2\r", "OFFS?\r", "c:3\r", "d:4\r"},
         {"FACT0 1\r", "FACT1 2\r", "OFFS0 3\r", "OFFS1 4\r"}},
        {"a numbered line without colon uses up its digit", {"OFFS?\r", "junk\r", "B:q\r"}, {"OFFS1 q\r"}},
        {"the eleventh numbered line gets ':'",
         {"FACT?\r", "a:0\r", "a:1\r", "a:2\r", "a:3\r", "a:4\r", "a:5\r", "a:6\r", "a:7\r", "a:8\r", "a:9\r",
          "a:10\r"},
         {"FACT0 0\r", "FACT1 1\r", "FACT2 2\r", "FACT3 3\r", "FACT4 4\r", "FACT5 5\r", "FACT6 6\r", "FACT7 7\r",
          "FACT8 8\r", "FACT9 9\r", "FACT: 10\r"}},
        {"PUMP sends what follows the second colon", {"PUMP?\r", "PUMP:RATE:75\r"}, {"PUMP 75\r"}},
        {"PUMP with one colon sends nothing", {"PUMP?\r", "PUMP:75\r"}, {}},
        {"CUST sends the whole line", {"CUST?\r", "ACME: 5 Main St\r"}, {"CUST ACME: 5 Main St\r"}},
        {"a data line before any header sends nothing", {"MODE:2\r", "MODE?\r", "M:3\r"}, {"MODE 3\r"}},
        {"headers match in any case", {"mode?\r", "m:4\r", "Fact?\r", "f:1\r"}, {"MODE 4\r", "FACT0 1\r"}},
        {"a header without its CR is data of the previous header", {"MODE?\r", "MODE?", "M:5\r"}, {"MODE 5\r"}},
        {"further lines under one header grow the command", {"MODE?\r", "a:1\r", "b:2\r"}, {"MODE 1\r", "MODE 1\r2\r"}},
        {"further SRAL lines repeat the access word",
         {"SRAL?\r", "a:1\r", "b:2\r"},
         {"SRAL BRISKET1\r", "SRAL BRISKET1\rBRISKET2\r"}},
        {"a line without a colon still leaves the access word",
         {"SRAL?\r", "none\r", "b:2\r"},
         {"SRAL BRISKETBRISKET2\r"}},
        {"empty lines", {"CUST?\r", "x\r", "", "MODE?\r", ""}, {"CUST x\r", "CUST x\r"}},
        {"a value without CR is sent as it stands", {"DATE?\r", "D:11/28/26"}, {"DATE 11/28/26"}},
    };
    for (const TranslatorCase& c : cases) EXPECT_EQ(translate_all(c.file_lines), c.expected) << c.what;
}

TEST(Translator, BuildsCommandsOfAnyLengthWhole) {
    const std::string value(1000, 'v');
    EXPECT_EQ(translate_all({"CUST?\r", value + "\r"}), Lines{"CUST " + value + "\r"});
    Lines many = {"MODE?\r"};
    std::string expected = "MODE ";
    for (int i = 0; i < 20; ++i) {
        many.push_back("m:" + std::to_string(i) + "\r");
        expected += std::to_string(i) + "\r";
    }
    EXPECT_EQ(translate_all(many).back(), expected);
}

Lines lines_of(const std::string& bytes) {
    Lines lines;
    EXPECT_EQ(split_settings_lines(bytes, lines), LineSplit::ok);
    return lines;
}

TEST(SettingsLineReading, TakesWholeLinesWithoutTheirLineFeed) {
    const std::string long_line(SETTINGS_LINE_LIMIT, 'x');
    EXPECT_EQ(lines_of("MODE?\r\nM:2\r\n"), (Lines{"MODE?\r", "M:2\r"}));
    EXPECT_EQ(lines_of(long_line + "\n"), Lines{long_line});
    EXPECT_EQ(lines_of("MODE?\r\nM:2\r"), (Lines{"MODE?\r", "M:2\r"}));
    EXPECT_EQ(lines_of("\n\nA"), (Lines{"", "", "A"}));
    EXPECT_EQ(lines_of(""), Lines{});
    // A line holding a NUL is the text before it, for the translator and the echo.
    const Lines with_nul = lines_of(std::string("M:2\0zz\r\nB\n", 10));
    ASSERT_EQ(with_nul.size(), 2u);
    EXPECT_STREQ(with_nul[0].c_str(), "M:2");
    // A line over the limit is refused where it stands, never read without end.
    Lines lines;
    EXPECT_EQ(split_settings_lines("MODE?\r\nM:2\r\n" + long_line + "y\n", lines), LineSplit::line_too_long);
    EXPECT_EQ(lines.size(), 2u);
}

struct LayoutCase {
    const char* what;
    std::string reply;
    std::string expected;
};

TEST(CaptureLayout, WritesEveryCarriageReturnEndedPart) {
    const std::vector<LayoutCase> cases = {
        {"two lines", "A:1\rB:2\r", "VERS?\r\nA:1\r\nB:2\r\n"},
        {"text after the last CR is dropped", "A:1\rB:2", "VERS?\r\nA:1\r\n"},
        {"no CR at all: header only", "A:1", "VERS?\r\n"},
        {"empty parts are kept", "\r\r", "VERS?\r\n\r\n\r\n"},
        {"the reply ends at a NUL", std::string("A:1\rB\0:2\r", 9), "VERS?\r\nA:1\r\n"},
    };
    for (const LayoutCase& c : cases) EXPECT_EQ(reply_file_lines("VERS?\r", c.reply.c_str()), c.expected) << c.what;
    const std::string full(256, 'z');
    EXPECT_EQ(reply_file_lines("\rLOGO?\r", (full.substr(0, 255) + "\r").c_str()),
              "\rLOGO?\r\n" + full.substr(0, 255) + "\r\n");
}

// The firmware version an analyzer reports, and which of them old analyzers have.
TEST(CaptureLayout, FindsTheFirmwareVersionOfOldAnalyzers) {
    struct Case {
        const char* reply;
        const char* version;  // "" for none
        bool old_unit;
    };
    const Case cases[] = {
        {"VERS:3.7\r", "3.7", true},    {"VERS:1.0\r", "1.0", true},
        {"VERS:4.0\r", "4.0", true},    {"VERS:4.00 rev B\r", "4.00", true},
        {"VERS:4.01\r", "4.01", false}, {"VERS:4.2\r", "4.2", false},
        {"VERS:0.9\r", "0.9", false},   {"VERS:12.1\r", "12.1", false},
        {"VERS:5.0\r", "5.0", false},   {"VERS:10.0\r", "10.0", false},
        {"VERS:04.0\r", "04.0", true},  {"VERS K210 v2.10\r", "2.10", true},
        {"VERS:4.\r", "", false},       {"VERS:none\r", "", false},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> version = firmware_version_in(c.reply);
        EXPECT_EQ(version.value_or(""), c.version) << c.reply;
        EXPECT_EQ(version && is_old_unit_firmware(*version), c.old_unit) << c.reply;
    }
}

}  // namespace
