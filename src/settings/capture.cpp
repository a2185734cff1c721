#include "settings/capture.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "procedure/answer.h"
#include "serial_link/serial_link.h"
#include "settings/query_table.h"
#include "settings/settings_store.h"

namespace {

// The capture always ends with the port closed; nothing reads a close failure.
void end_with_port_closed() { (void)close_port(); }

// After a silent first query: SETTINGS.TXT from an earlier run is exactly
// what an old unit may need later, so it is kept; only a missing one is made.
CaptureOutcome handle_no_first_reply(CaptureFile& file, const PortName& port) {
    std::printf("  No Response from VORTAN.\n");
    report("if " + port.text() + " is not the adapter: " + where_adapters_are(port));
    std::printf("Proceed with Reprogramming? ");
    const int answer = read_answer();
    file.discard();
    const bool made = ensure_settings_file();
    end_with_port_closed();
    if (answer == ANSWER_END_OF_INPUT) {
        report_end_of_input();
        return CaptureOutcome::stopped;
    }
    if (answer_upper(answer) != 'Y') return CaptureOutcome::stopped;
    if (!made) report(std::string("could not make an empty ") + SETTINGS_FILE_NAME);
    return CaptureOutcome::continue_run;
}

// The device went away in the middle: what was captured is incomplete, so
// it must not replace the settings saved before.
CaptureOutcome handle_lost_port(CaptureFile& file, const PortName& port) {
    file.discard();
    std::printf(" Error Reading %s !\n", port.c_str());
    report(port_failure_reason() + "; " + SETTINGS_FILE_NAME + " was left as it was");
    end_with_port_closed();
    return CaptureOutcome::failed;
}

// Archives the capture, then puts it in place as SETTINGS.TXT unless that
// file still holds an old unit's settings waiting to be restored.
bool save_capture(CaptureFile& file, const std::string& captured, std::string& error) {
    if (!file.finish(error)) return false;
    const std::string serial = settings_serial(captured);
    const std::string archive = archive_file_name(serial, std::time(nullptr));
    if (!file.archive_as(archive, error)) return false;
    if (const auto pending = pending_restore()) {
        report(std::string(SETTINGS_FILE_NAME) + " still holds the settings of analyzer " + pending->serial +
             ", to be restored since " + pending->since + " (see " + PENDING_RESTORE_NAME +
             "), and was kept; this capture (analyzer " + serial + ") was saved as " + archive + " only");
        file.discard();
        return true;
    }
    return file.replace_settings(error);
}

}  // namespace

std::string reply_file_lines(const char* query_text, const char* reply) {
    std::string lines = query_text;
    lines += '\n';
    const char* part = reply;
    for (const char* cr = std::strchr(part, '\r'); cr; cr = std::strchr(part, '\r')) {
        lines.append(part, static_cast<std::size_t>(cr - part) + 1);
        lines += '\n';
        part = cr + 1;
    }
    return lines;
}

CaptureOutcome capture_settings(const PortName& port) {
    CaptureFile file;
    std::string error;
    if (!file.begin(error)) {
        std::printf("Could not create data file!\n");
        report(error);
        end_with_port_closed();
        return CaptureOutcome::failed;
    }
    std::printf("Retrieving Settings...\n");
    std::string captured;
    char reply[REPLY_LIMIT + 1];
    for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
        // A send that fails shows in the read that follows: silence, or a gone device.
        (void)send_command(QUERY_TEXTS[i], std::strlen(QUERY_TEXTS[i]));
        reply[0] = '\0';
        if (read_reply(reply, REPLY_LIMIT).end == ReadEnd::device_gone) return handle_lost_port(file, port);
        if (reply[0] != '\0') {
            std::printf("%s", reply);
            const std::string lines = reply_file_lines(QUERY_TEXTS[i], reply);
            file.write(lines);
            captured += lines;
        } else if (i == 0) {
            return handle_no_first_reply(file, port);
        }
    }
    std::printf("Upload Complete.\n");
    const bool saved = save_capture(file, captured, error);
    end_with_port_closed();
    if (!saved) {
        std::printf("Could not write data file!\n");
        report(error + "; " + SETTINGS_FILE_NAME + " was left as it was");
        return CaptureOutcome::failed;
    }
    return CaptureOutcome::continue_run;
}
