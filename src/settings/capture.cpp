#include "settings/capture.h"

#include <cstring>
#include <ctime>

#include "dialogue/dialogue.h"
#include "settings/capture_file.h"
#include "settings/pending_record.h"
#include "settings/query_table.h"

namespace k210 {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// What one pass has gathered so far.
struct Gathered {
    std::string serial = "unknown";  // from the SRAL reply
    std::optional<std::string> firmware_version;
    std::optional<std::string> version_reply;
};

// After a silent first query: SETTINGS.TXT from an earlier run is exactly
// what an old unit may need later, so it is kept; only a missing one is made.
Capture no_first_reply(CaptureFile& file, SettingsStore& store, const PortName& port, Dialogue& dialogue) {
    dialogue.say("  No Response from VORTAN.\n");
    dialogue.report("if " + port.text() + " is not the adapter: " + where_adapters_are(port));
    file.discard();
    if (store.ensure_settings_file() != StoreResult::ok) dialogue.report(store.failure_reason());
    return {CaptureOutcome::no_first_reply, std::nullopt, std::nullopt};
}

// The device went away, or a command could not be sent: what was captured
// is incomplete, so it must not replace the settings saved before.
Capture lost_port(CaptureFile& file, AnalyzerLink& link, const PortName& port, Dialogue& dialogue) {
    file.discard();
    dialogue.say(" Error Reading " + port.text() + " !\n");
    dialogue.report(link.failure_reason() + "; " + SETTINGS_FILE_NAME + " was left as it was");
    return {CaptureOutcome::failed, std::nullopt, std::nullopt};
}

// Archives the capture, then puts it in place as SETTINGS.TXT unless that
// file still holds an old unit's settings waiting to be restored.
StoreResult save_capture(CaptureFile& file, SettingsStore& store, const std::string& serial, Dialogue& dialogue) {
    if (file.finish() != StoreResult::ok) return StoreResult::failed;
    const std::string archive = archive_file_name(serial, std::time(nullptr));
    if (file.archive_as(archive) != StoreResult::ok) return StoreResult::failed;
    const PendingRestore pending = PendingRecord(store).state();
    switch (pending.state) {
        case PendingRestore::State::none: return file.replace_settings();
        case PendingRestore::State::pending:
            dialogue.report(std::string(SETTINGS_FILE_NAME) + " still holds the settings of analyzer " +
                            pending.serial + ", to be restored since " + pending.since + " (see " +
                            PENDING_RESTORE_NAME + "), and was kept; this capture (analyzer " + serial +
                            ") was saved as " + archive + " only");
            break;
        case PendingRestore::State::unreadable:
            dialogue.report(std::string(PENDING_RESTORE_NAME) + " could not be read (" + pending.reason +
                            "), so settings may still be waiting to be restored: " + SETTINGS_FILE_NAME +
                            " was kept, and this capture (analyzer " + serial + ") was saved as " + archive +
                            " only. To start afresh on purpose, delete " + PENDING_RESTORE_NAME);
            break;
    }
    file.discard();
    return StoreResult::ok;
}

void gather(std::size_t query, const char* reply, Gathered& gathered) {
    if (query == QUERY_SRAL) gathered.serial = serial_from_reply(reply);
    if (query != QUERY_VERS) return;
    gathered.firmware_version = firmware_version_in(reply);
    const std::string text = reply;
    gathered.version_reply = text.substr(0, text.find('\r'));
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

std::optional<std::string> firmware_version_in(const std::string& reply) {
    for (std::size_t i = 0; i < reply.size(); ++i) {
        if (!is_digit(reply[i]) || (i > 0 && is_digit(reply[i - 1]))) continue;
        std::size_t end = i;
        while (end < reply.size() && is_digit(reply[end])) ++end;
        if (end + 1 < reply.size() && reply[end] == '.' && is_digit(reply[end + 1])) {
            std::size_t fraction = end + 1;
            while (fraction < reply.size() && is_digit(reply[fraction])) ++fraction;
            return reply.substr(i, fraction - i);
        }
    }
    return std::nullopt;
}

Capture capture_settings(AnalyzerLink& link, SettingsStore& store, const PortName& port, Dialogue& dialogue) {
    CaptureFile file(store.files());
    if (file.begin() != StoreResult::ok) {
        dialogue.say("Could not create data file!\n");
        dialogue.report(file.failure_reason());
        return {CaptureOutcome::failed, std::nullopt, std::nullopt};
    }
    dialogue.say("Retrieving Settings...\n");
    Gathered gathered;
    char reply[REPLY_LIMIT + 1];
    for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
        if (link.send_command(QUERY_TEXTS[i], std::strlen(QUERY_TEXTS[i])) != PortResult::ok)
            return lost_port(file, link, port, dialogue);
        reply[0] = '\0';
        if (link.read_reply(reply, REPLY_LIMIT).end == ReadEnd::device_gone)
            return lost_port(file, link, port, dialogue);
        if (reply[0] != '\0') {
            dialogue.say(reply);
            file.write(reply_file_lines(QUERY_TEXTS[i], reply));
            gather(i, reply, gathered);
        } else if (i == 0) {
            return no_first_reply(file, store, port, dialogue);
        }
    }
    dialogue.say("Upload Complete.\n");
    if (save_capture(file, store, gathered.serial, dialogue) != StoreResult::ok) {
        dialogue.say("Could not write data file!\n");
        dialogue.report(file.failure_reason() + "; " + SETTINGS_FILE_NAME + " was left as it was");
        return {CaptureOutcome::failed, std::nullopt, std::nullopt};
    }
    return {CaptureOutcome::captured, gathered.firmware_version, gathered.version_reply};
}

}  // namespace k210
