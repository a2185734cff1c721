#include "procedure/run_order.h"

#include "dialogue/dialogue.h"
#include "serial_link/serial_link.h"
#include "settings/capture.h"
#include "settings/folder_lock.h"
#include "settings/settings_store.h"

namespace k210 {

int exit_status(RunEnd end) {
    switch (end) {
        case RunEnd::complete: return 0;
        case RunEnd::failed: return 1;
        case RunEnd::stopped: return 2;
    }
    return 1;
}

namespace {

// One run per folder, for the whole run: two runs would share SETTINGS.TXT.
// A folder that cannot be locked is used as it is; whether its settings
// file can be made is the capture's to find out.
FolderLock::Result hold_the_folder(FolderLock& lock, Dialogue& dialogue) {
    const FolderLock::Result result = lock.take();
    switch (result) {
        case FolderLock::Result::taken: break;
        case FolderLock::Result::held_by_another_run:
            dialogue.report(lock.failure_reason() + "; let it finish, or run this one from another folder");
            break;
        case FolderLock::Result::unavailable: dialogue.report(lock.failure_reason() + "; going on without it"); break;
    }
    return result;
}

// The port digit; nothing when the answer is not one, or input ended.
std::optional<PortName> ask_for_the_port(Dialogue& dialogue) {
    dialogue.say("Enter COM Port #>");
    const std::optional<char> digit = dialogue.read_answer();
    if (!digit) {
        dialogue.report_end_of_input();
        return std::nullopt;
    }
    std::optional<PortName> port = PortName::from_digit(*digit);
    if (!port) dialogue.say(" Invalid Response\n");
    return port;
}

// The capture on a link of its own, closed before anything else happens:
// the programmer needs the port.
Capture capture_on_the_port(const PortName& port, SettingsStore& store, Dialogue& dialogue) {
    AnalyzerLink link;
    if (link.open_port(port) != OpenStatus::ok) {
        report_open_failure(dialogue, link, port);
        return {CaptureOutcome::failed, std::nullopt, std::nullopt};
    }
    report_port_opened(dialogue, link, port);
    return capture_settings(link, store, port, dialogue);
}

// After a silent first query: does the user answer Y to going on without settings?
bool goes_on_without_settings(Dialogue& dialogue) {
    const YesNo answer = dialogue.ask_yes_no("Proceed with Reprogramming? ");
    if (answer == YesNo::input_ended) dialogue.report_end_of_input();
    return answer == YesNo::yes;
}

}  // namespace

RunEnd run_firmware_update(Dialogue& dialogue) {
    FileSystem files;
    SettingsStore store(files);
    FolderLock lock(files);
    if (hold_the_folder(lock, dialogue) == FolderLock::Result::held_by_another_run) return RunEnd::failed;
    dialogue.say("\n");
    dialogue.say("VORTAN FIRMWARE PROGRAM UTILITY\n");
    dialogue.say("       v1.3  for  K210\n");
    const std::optional<PortName> port = ask_for_the_port(dialogue);
    if (!port) return RunEnd::stopped;
    const Capture capture = capture_on_the_port(*port, store, dialogue);
    switch (capture.outcome) {
        case CaptureOutcome::failed: return RunEnd::failed;
        case CaptureOutcome::no_first_reply:
            if (!goes_on_without_settings(dialogue)) return RunEnd::stopped;
            break;
        case CaptureOutcome::captured: break;
    }
    return run_reprogramming(*port, store, capture, dialogue);
}

}  // namespace k210
