#include "procedure/reprogramming.h"

#include "dialogue/dialogue.h"
#include "settings/pending_record.h"
#include "settings/query_table.h"
#include "settings/restore.h"

namespace k210 {

namespace {

enum class PromptStep { ask_again, go_on, ended };

constexpr int HEARING_TRIES = 3;  // of 3.56 s each: about 11 s for a unit that is still starting

// What the end of the run needs to know.
struct ProgrammingRun {
    const PortName& port;
    bool old_unit;
    const std::optional<std::string>& before;  // the VERS reply before programming
};

constexpr const char* PROGRAMMER_RECORD = "BSL.LOG";  // where BSL.EXE keeps the record of its latest run

// The costly wrong answer: an old unit declared new is programmed without
// its settings written back. Only a version of an old unit proves anything;
// an old unit updated before reports the new version.
void warn_when_firmware_says_old(const std::optional<std::string>& firmware_version, Dialogue& dialogue) {
    if (!firmware_version || !is_old_unit_firmware(*firmware_version)) return;
    dialogue.report("warning: the analyzer reports firmware " + *firmware_version +
                    ", which old analyzers (no internal EEPROM) have; answering N means its settings will not be "
                    "written back after programming");
}

// The three questions in order; nothing when input ends.
std::optional<HardwareAnswers> ask_hardware_questions(const std::optional<std::string>& firmware_version,
                                                      Dialogue& dialogue) {
    HardwareAnswers answers;
    dialogue.say("\nCONFIGURATION OPTIONS\n");
    dialogue.say("Default answer to these questions is no.\n\n");
    dialogue.say(
        "Old VORTAN 210's, manufactured before July 2006, (Firmware Versions 1.0 - 4.0)  "
        "do not have an internal eeprom. ");
    const YesNo old_unit = dialogue.ask_yes_no("Is this an OLD VORTAN? (Y/N)>");
    if (old_unit == YesNo::input_ended) return std::nullopt;
    answers.old_unit = old_unit == YesNo::yes;
    if (!answers.old_unit) warn_when_firmware_says_old(firmware_version, dialogue);
    dialogue.say("Carbon Monoxide-ONLY analyzers do NOT have an Oxygen sensor.\n");
    const YesNo co_only = dialogue.ask_yes_no("Is your VORTAN a Carbon Monoxide-ONLY analyzer? (Y/N)>");
    if (co_only == YesNo::input_ended) return std::nullopt;
    answers.carbon_monoxide_only = co_only == YesNo::yes;
    const YesNo sensor = dialogue.ask_yes_no("Does your VORTAN have the old-style AMBIENT TEMPERATURE SENSOR? (Y/N)>");
    if (sensor == YesNo::input_ended) return std::nullopt;
    answers.old_style_sensor = sensor == YesNo::yes;
    return answers;
}

// One round of a switch prompt: C goes on, Q or the end of input ends the run.
PromptStep switch_prompt_answer(const std::optional<char>& answer, Dialogue& dialogue) {
    if (!answer) {
        dialogue.report_end_of_input();
        return PromptStep::ended;
    }
    const char upper = answer_upper(*answer);
    if (upper == 'Q') return PromptStep::ended;
    return upper == 'C' ? PromptStep::go_on : PromptStep::ask_again;
}

PromptStep wait_for_switches_on(Dialogue& dialogue) {
    for (;;) {
        dialogue.say("You must now turn on the programming switches.\n");
        dialogue.say("Press I for more info, or C to continue>");
        const std::optional<char> answer = dialogue.read_answer();
        if (answer && answer_upper(*answer) == 'I') {
            dialogue.say(
                "Open the battery compartment and locate 5 miniature switches on a red "
                "block to the right of the battery.\n");
            dialogue.say(
                "The programming switches will enable the VORTAN's firmware to be "
                "reprogrammed.\n");
            dialogue.say("Slide all 5 switches to the ON position.\n");
            continue;
        }
        const PromptStep next = switch_prompt_answer(answer, dialogue);
        if (next != PromptStep::ask_again) return next;
    }
}

PromptStep wait_for_switches_off(Dialogue& dialogue) {
    for (;;) {
        dialogue.say("Turn off the programming switches.\n");
        dialogue.say("When ready press C to continue>");
        const PromptStep next = switch_prompt_answer(dialogue.read_answer(), dialogue);
        if (next != PromptStep::ask_again) return next;
    }
}

// Runs the programmer until it succeeds or the user declines a retry.
// The programmer keeps a record of each run; after a failure the user is told where it is.
RunEnd program_with_retries(const std::string& command_line, FileSystem& files, Dialogue& dialogue) {
    for (;;) {
        dialogue.say("Launching Bootstrap Loader Program...\n");
        dialogue.say("\n");
        dialogue.flush();  // the programmer shares the console
        const std::string record_before = files.version_of(PROGRAMMER_RECORD);
        if (run_programmer(command_line.c_str()) == ProgrammerEnd::succeeded) return RunEnd::complete;
        const std::string record_after = files.version_of(PROGRAMMER_RECORD);
        if (!record_after.empty() && record_after != record_before)
            dialogue.report(std::string("BSL.EXE's record of this run: ") + PROGRAMMER_RECORD);
        dialogue.say("BSL Programming failed.\n");
        switch (dialogue.ask_yes_no("Retry? (Y or N)>")) {
            case YesNo::yes: break;
            case YesNo::no: return RunEnd::failed;
            case YesNo::input_ended: dialogue.report_end_of_input(); return RunEnd::stopped;
        }
    }
}

// Before the switches go on: what would make the programmer fail at once.
void check_before_the_switches(const HardwareAnswers& answers, FileSystem& files, Dialogue& dialogue) {
    if (!where_the_programmer_is("BSL.EXE"))
        dialogue.report(
            "warning: the programmer BSL.EXE is not on PATH (nor, on Windows, in this folder): "
            "programming will fail; put it there before you turn the switches on");
    const std::string image = firmware_image_name(answers);
    int fd = -1;
    FileKind kind = FileKind::missing;
    if (files.open_regular(image, fd, kind) == FileCall::done) {
        (void)files.close(fd);  // opened for reading only
    } else {
        dialogue.report("warning: the firmware image " + image + " cannot be read in this folder (" + files.reason() +
                        "): programming will fail; put it here before you turn the switches on");
    }
}

// From here until its settings are back, an old unit runs new firmware with
// factory settings: SETTINGS.TXT must survive any later capture.
void record_restore_pending(SettingsStore& store, Dialogue& dialogue) {
    PendingRecord record(store);
    if (record.mark() != StoreResult::ok)
        dialogue.report(record.failure_reason() + "; keep a copy of " + SETTINGS_FILE_NAME +
                        " until its settings are back");
}

RunEnd restore_old_unit(AnalyzerLink& link, SettingsStore& store, const PortName& port, Dialogue& dialogue) {
    switch (restore_settings(link, store, dialogue)) {
        case RestoreStatus::ok:
            if (PendingRecord record(store); record.clear() != StoreResult::ok)
                dialogue.report(record.failure_reason());
            return RunEnd::complete;
        case RestoreStatus::write_failed:
            dialogue.say(" Error Writing " + port.text() + " !\n");
            dialogue.report(link.failure_reason() + "; run k210prog again to restore the settings");
            return RunEnd::failed;
        case RestoreStatus::file_refused: break;
    }
    return RunEnd::failed;
}

// A reply's first line, printable, for a note.
std::string shown(const std::string& reply) {
    std::string text;
    for (char c : reply.substr(0, reply.find('\r'))) text += (c >= ' ' && c <= '~') ? c : '?';
    return text;
}

// What the analyzer says after programming: a unit that is still starting gets a few tries.
struct Hearing {
    enum class End { answered, silent, gone };
    End end = End::silent;
    std::string reply;
};

Hearing hear_the_analyzer(AnalyzerLink& link) {
    // The CR first ends whatever the unit took in while it started.
    const std::string query = std::string("\r") + QUERY_TEXTS[QUERY_VERS];
    char reply[REPLY_LIMIT + 1];
    for (int attempt = 0; attempt < HEARING_TRIES; ++attempt) {
        if (link.send_command(query.data(), query.size()) != PortResult::ok) return {Hearing::End::gone, ""};
        reply[0] = '\0';
        if (link.read_reply(reply, REPLY_LIMIT).end == ReadEnd::device_gone) return {Hearing::End::gone, ""};
        if (reply[0] != '\0') return {Hearing::End::answered, reply};
    }
    return {Hearing::End::silent, ""};
}

// A restore sent into a unit that cannot hear it would be reported as done: the
// analyzer must answer first. Its settings stay recorded as pending, for the rerun.
RunEnd after_hearing(const Hearing& heard, const ProgrammingRun& run, AnalyzerLink& link, Dialogue& dialogue) {
    switch (heard.end) {
        case Hearing::End::gone:
            dialogue.say(" Error Reading " + run.port.text() + " !\n");
            dialogue.report(link.failure_reason() + "; " + SETTINGS_FILE_NAME + " was left as it was");
            return RunEnd::failed;
        case Hearing::End::answered:
            dialogue.report("after programming the analyzer reports " + shown(heard.reply) +
                            " (before: " + (run.before ? shown(*run.before) : std::string("no reply")) + ")");
            return RunEnd::complete;
        case Hearing::End::silent: break;
    }
    if (!run.old_unit) {
        dialogue.report("warning: the analyzer did not answer after programming: are the programming switches off?");
        return RunEnd::complete;
    }
    dialogue.report(
        "the analyzer did not answer after programming, so its settings were not sent; they are kept in " +
        std::string(SETTINGS_FILE_NAME) +
        ".\nTurn the programming switches off (and the analyzer on), then run k210prog again: it restores them.");
    return RunEnd::failed;
}

// The port again, now that the programmer has let it go; closed when the run ends here.
RunEnd reconnect_and_restore(const ProgrammingRun& run, SettingsStore& store, Dialogue& dialogue) {
    AnalyzerLink link;
    if (link.open_port(run.port) != OpenStatus::ok) {
        report_open_failure(dialogue, link, run.port);
        return RunEnd::failed;
    }
    report_port_opened(dialogue, link, run.port);
    if (after_hearing(hear_the_analyzer(link), run, link, dialogue) != RunEnd::complete) return RunEnd::failed;
    const RunEnd restored = run.old_unit ? restore_old_unit(link, store, run.port, dialogue) : RunEnd::complete;
    if (restored == RunEnd::complete) dialogue.say("Programming Complete!\n");
    return restored;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void report_open_failure(Dialogue& dialogue, const AnalyzerLink& link, const PortName& port) {
    dialogue.say(" Error Opening " + port.text() + " !\n");
    dialogue.report(link.failure_reason());
    dialogue.report(where_adapters_are(port));
}

void report_port_opened(Dialogue& dialogue, const AnalyzerLink& link, const PortName& port) {
    dialogue.report(port.text() + " is " + link.device().how);
}

std::string firmware_image_name(const HardwareAnswers& answers) {
    std::string name = "K210";
    if (answers.old_unit) name += 'f';
    if (answers.carbon_monoxide_only) name += 'x';
    if (!answers.old_style_sensor) name += 't';
    return name + ".TXT";
}

std::string programmer_command_line(const PortName& port, const HardwareAnswers& answers) {
    return "BSL.EXE +mpvr -c" + port.text() + " " + firmware_image_name(answers);
}

// Digits, a point, digits: 1.0 up to 4.0 and 4.00, not 4.01 and not 0.9.
bool is_old_unit_firmware(const std::string& version) {
    const std::size_t point = version.find('.');
    if (point == std::string::npos || point == 0 || point + 1 >= version.size()) return false;
    std::size_t major_start = 0;
    while (major_start + 1 < point && version[major_start] == '0') ++major_start;
    const std::string major = version.substr(major_start, point - major_start);
    const std::string fraction = version.substr(point + 1);
    for (char c : major + fraction)
        if (!is_digit(c)) return false;
    if (major.size() != 1 || major[0] < '1' || major[0] > '4') return false;
    return major[0] < '4' || fraction.find_first_not_of('0') == std::string::npos;
}

// The port is closed from here until the reconnection: the programmer needs it.
RunEnd run_reprogramming(const PortName& port, SettingsStore& store, const Capture& capture, Dialogue& dialogue) {
    const std::optional<HardwareAnswers> answers = ask_hardware_questions(capture.firmware_version, dialogue);
    if (!answers) {
        dialogue.report_end_of_input();
        return RunEnd::stopped;
    }
    check_before_the_switches(*answers, store.files(), dialogue);
    if (wait_for_switches_on(dialogue) == PromptStep::ended) return RunEnd::stopped;
    if (answers->old_unit) record_restore_pending(store, dialogue);
    const RunEnd programmed = program_with_retries(programmer_command_line(port, *answers), store.files(), dialogue);
    if (programmed != RunEnd::complete) return programmed;
    if (wait_for_switches_off(dialogue) == PromptStep::ended) return RunEnd::stopped;
    return reconnect_and_restore({port, answers->old_unit, capture.version_reply}, store, dialogue);
}

}  // namespace k210
