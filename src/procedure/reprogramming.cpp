#include "procedure/reprogramming.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "procedure/answer.h"
#include "serial_link/serial_link.h"
#include "settings/query_table.h"
#include "settings/restore.h"
#include "settings/settings_store.h"

namespace {

enum class PromptStep { ask_again, go_on, ended };

// Asks a yes/no question; anything but Y is no. Returns false at end of input.
bool ask_yes_no(const char* question, bool& yes) {
    std::printf("%s", question);
    const int answer = read_answer();
    if (answer == ANSWER_END_OF_INPUT) return false;
    yes = answer_upper(answer) == 'Y';
    return true;
}

bool ask_hardware_questions(HardwareAnswers& answers) {
    std::printf("\nCONFIGURATION OPTIONS\n");
    std::printf("Default answer to these questions is no.\n\n");
    std::printf("Old VORTAN 210's, manufactured before July 2006, (Firmware Versions 1.0 - 4.0)  "
                "do not have an internal eeprom. ");
    if (!ask_yes_no("Is this an OLD VORTAN? (Y/N)>", answers.old_unit)) return false;
    std::printf("Carbon Monoxide-ONLY analyzers do NOT have an Oxygen sensor.\n");
    if (!ask_yes_no("Is your VORTAN a Carbon Monoxide-ONLY analyzer? (Y/N)>",
                    answers.carbon_monoxide_only))
        return false;
    return ask_yes_no("Does your VORTAN have the old-style AMBIENT TEMPERATURE SENSOR? (Y/N)>",
                      answers.old_style_sensor);
}

// One round of a switch prompt: C goes on, Q or the end of input ends the run.
PromptStep switch_prompt_answer(int answer) {
    if (answer == ANSWER_END_OF_INPUT) {
        report_end_of_input();
        return PromptStep::ended;
    }
    answer = answer_upper(answer);
    if (answer == 'Q') return PromptStep::ended;
    return answer == 'C' ? PromptStep::go_on : PromptStep::ask_again;
}

PromptStep wait_for_switches_on() {
    for (;;) {
        std::printf("You must now turn on the programming switches.\n");
        std::printf("Press I for more info, or C to continue>");
        const int answer = read_answer();
        if (answer_upper(answer) == 'I') {
            std::printf("Open the battery compartment and locate 5 miniature switches on a red "
                        "block to the right of the battery.\n");
            std::printf("The programming switches will enable the VORTAN's firmware to be "
                        "reprogrammed.\n");
            std::printf("Slide all 5 switches to the ON position.\n");
            continue;
        }
        const PromptStep next = switch_prompt_answer(answer);
        if (next != PromptStep::ask_again) return next;
    }
}

PromptStep wait_for_switches_off() {
    for (;;) {
        std::printf("Turn off the programming switches.\n");
        std::printf("When ready press C to continue>");
        const PromptStep next = switch_prompt_answer(read_answer());
        if (next != PromptStep::ask_again) return next;
    }
}

// Runs the programmer until it succeeds or the user declines a retry.
RunEnd program_with_retries(const std::string& command_line) {
    for (;;) {
        std::printf("Launching Bootstrap Loader Program...\n");
        std::printf("\n");
        if (run_programmer(command_line.c_str()) == 0) return RunEnd::complete;
        std::printf("BSL Programming failed.\n");
        std::printf("Retry? (Y or N)>");
        const int answer = read_answer();
        if (answer == ANSWER_END_OF_INPUT) {
            report_end_of_input();
            return RunEnd::stopped;
        }
        if (answer_upper(answer) != 'Y') return RunEnd::failed;
    }
}

// Closing ends the run either way; a failed close has nothing left to spoil.
void close_at_the_end() { (void)close_port(); }

// From here until its settings are back, an old unit runs new firmware with
// factory settings: SETTINGS.TXT must survive any later capture.
void record_restore_pending() {
    std::string error;
    if (!mark_restore_pending(error))
        report(error + "; keep a copy of " + SETTINGS_FILE_NAME + " until its settings are back");
}

RunEnd restore_old_unit(const PortName& port) {
    switch (restore_settings()) {
        case RestoreStatus::ok:
            if (!clear_restore_pending()) report(std::string("could not remove ") + PENDING_RESTORE_NAME);
            return RunEnd::complete;
        case RestoreStatus::write_failed:
            std::printf(" Error Writing %s !\n", port.c_str());
            report(port_failure_reason() + "; run k210prog again to restore the settings");
            return RunEnd::failed;
        case RestoreStatus::file_refused:
            break;
    }
    return RunEnd::failed;
}

RunEnd reconnect_and_restore(const PortName& port, bool old_unit) {
    if (open_port(port) != PortStatus::ok) {
        report_open_failure(port);
        return RunEnd::failed;
    }
    report_port_opened(port);
    const RunEnd restored = old_unit ? restore_old_unit(port) : RunEnd::complete;
    if (restored == RunEnd::complete) std::printf("Programming Complete!\n");
    close_at_the_end();
    return restored;
}

}  // namespace

void report_open_failure(const PortName& port) {
    std::printf(" Error Opening %s !\n", port.c_str());
    report(port_failure_reason());
    report(where_adapters_are(port));
}

void report_port_opened(const PortName& port) { report(port.text() + " is " + port_device(port).how); }

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

// Before the switches go on: what would make the programmer fail at once.
void check_before_the_switches(const HardwareAnswers& answers) {
    if (where_the_programmer_is("BSL.EXE").empty())
        report("warning: the programmer BSL.EXE is not on PATH (nor, on Windows, in this folder): "
               "programming will fail; put it there before you turn the switches on");
    const std::string image = firmware_image_name(answers);
    std::FILE* file = std::fopen(image.c_str(), "rb");
    if (file) {
        std::fclose(file);
    } else {
        report("warning: the firmware image " + image + " cannot be read in this folder (" + std::strerror(errno) +
               "): programming will fail; put it here before you turn the switches on");
    }
}

// The port is closed from here until the reconnection: the programmer needs it.
RunEnd run_reprogramming(const PortName& port) {
    HardwareAnswers answers;
    if (!ask_hardware_questions(answers)) {
        report_end_of_input();
        return RunEnd::stopped;
    }
    check_before_the_switches(answers);
    if (wait_for_switches_on() == PromptStep::ended) return RunEnd::stopped;
    if (answers.old_unit) record_restore_pending();
    const RunEnd programmed = program_with_retries(programmer_command_line(port, answers));
    if (programmed != RunEnd::complete) return programmed;
    if (wait_for_switches_off() == PromptStep::ended) return RunEnd::stopped;
    return reconnect_and_restore(port, answers.old_unit);
}
