#include "procedure/reprogramming.h"

#include <cstdio>

#include "procedure/answer.h"
#include "serial_link/serial_link.h"
#include "settings/restore.h"

namespace {

constexpr int ASK_AGAIN = 0;
constexpr int GO_ON = 1;
constexpr int ENDED = 2;

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
int switch_prompt_answer(int answer) {
    if (answer == ANSWER_END_OF_INPUT) {
        report_end_of_input();
        return ENDED;
    }
    answer = answer_upper(answer);
    if (answer == 'Q') return ENDED;
    return answer == 'C' ? GO_ON : ASK_AGAIN;
}

int wait_for_switches_on() {
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
        const int next = switch_prompt_answer(answer);
        if (next != ASK_AGAIN) return next;
    }
}

int wait_for_switches_off() {
    for (;;) {
        std::printf("Turn off the programming switches.\n");
        std::printf("When ready press C to continue>");
        const int next = switch_prompt_answer(read_answer());
        if (next != ASK_AGAIN) return next;
    }
}

// Runs the programmer until it succeeds or the user declines a retry.
int program_with_retries(const std::string& command_line) {
    for (;;) {
        std::printf("Launching Bootstrap Loader Program...\n");
        std::printf("\n");
        if (run_programmer(command_line.c_str()) == 0) return RUN_COMPLETE;
        std::printf("BSL Programming failed.\n");
        std::printf("Retry? (Y or N)>");
        const int answer = read_answer();
        if (answer == ANSWER_END_OF_INPUT) {
            report_end_of_input();
            return RUN_STOPPED;
        }
        if (answer_upper(answer) != 'Y') return RUN_FAILED;
    }
}

int reconnect_and_restore(const char* port_name, bool old_unit) {
    if (open_port(port_name) != PORT_OK) {
        report_open_failure(port_name);
        return RUN_FAILED;
    }
    if (old_unit && restore_settings() != RESTORE_OK) {
        std::printf(" Error Writing %s !\n", port_name);
        close_port();
        return RUN_FAILED;
    }
    std::printf("Programming Complete!\n");
    close_port();
    return RUN_COMPLETE;
}

}  // namespace

void report_open_failure(const char* port_name) {
    std::printf(" Error Opening %s !\n", port_name);
    std::fprintf(stderr, "k210prog: %s\n", port_failure_reason().c_str());
}

std::string firmware_image_name(const HardwareAnswers& answers) {
    std::string name = "K210";
    if (answers.old_unit) name += 'f';
    if (answers.carbon_monoxide_only) name += 'x';
    if (!answers.old_style_sensor) name += 't';
    return name + ".TXT";
}

std::string programmer_command_line(const char* port_name, const HardwareAnswers& answers) {
    return std::string("BSL.EXE +mpvr -c") + port_name + " " + firmware_image_name(answers);
}

int run_reprogramming(const char* port_name) {
    HardwareAnswers answers;
    if (!ask_hardware_questions(answers)) {
        report_end_of_input();
        return RUN_STOPPED;
    }
    if (wait_for_switches_on() == ENDED) {
        close_port();  // the port is already closed; this is a no-op
        return RUN_STOPPED;
    }
    const int programmed = program_with_retries(programmer_command_line(port_name, answers));
    if (programmed != RUN_COMPLETE) return programmed;
    if (wait_for_switches_off() == ENDED) {
        close_port();
        return RUN_STOPPED;
    }
    return reconnect_and_restore(port_name, answers.old_unit);
}
