#include "procedure/run_order.h"

#include <cstdio>

#include "procedure/answer.h"
#include "serial_link/serial_link.h"
#include "settings/capture.h"
#include "settings/settings_store.h"

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
bool hold_the_folder(FolderLock& lock) {
    std::string error;
    switch (lock.take(error)) {
        case FolderLock::Result::taken: return true;
        case FolderLock::Result::held_by_another_run:
            report(error + "; let it finish, or run this one from another folder");
            return false;
        case FolderLock::Result::unavailable: break;
    }
    report(error + "; going on without it");
    return true;
}

}  // namespace

RunEnd run_firmware_update() {
    FolderLock lock;
    if (!hold_the_folder(lock)) return RunEnd::failed;
    std::printf("\n");
    std::printf("VORTAN FIRMWARE PROGRAM UTILITY\n");
    std::printf("       v1.3  for  K210\n");
    std::printf("Enter COM Port #>");
    const int digit = read_answer();
    if (digit == ANSWER_END_OF_INPUT) {
        report_end_of_input();
        return RunEnd::stopped;
    }
    const std::optional<PortName> port = PortName::from_digit(digit);
    if (!port) {
        std::printf(" Invalid Response\n");
        return RunEnd::stopped;
    }
    if (open_port(*port) != PortStatus::ok) {
        report_open_failure(*port);
        return RunEnd::failed;
    }
    report_port_opened(*port);
    switch (capture_settings(*port)) {
        case CaptureOutcome::stopped: return RunEnd::stopped;
        case CaptureOutcome::failed: return RunEnd::failed;
        case CaptureOutcome::continue_run: break;
    }
    return run_reprogramming(*port);
}
