#include "settings/pending_record.h"

#include <ctime>

namespace k210 {

namespace {

// The value of a "name value" line of the record.
std::string field(const std::string& content, const std::string& name) {
    const std::string key = "\n" + name + " ";
    const std::size_t at = ("\n" + content).find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size() - 1;
    return content.substr(start, content.find('\n', start) - start);
}

}  // namespace

PendingRestore PendingRecord::state() {
    PendingRestore pending;
    // A record without the file it speaks of has nothing left to protect.
    if (store_.files().kind_of(SETTINGS_FILE_NAME) == FileKind::missing) return pending;
    std::string record;
    switch (store_.read(PENDING_RESTORE_NAME, record)) {
        case SettingsRead::missing: return pending;
        case SettingsRead::refused:
            pending.state = PendingRestore::State::unreadable;
            pending.reason = store_.failure_reason();
            return pending;
        case SettingsRead::ok: break;
    }
    pending.serial = field(record, "serial");
    pending.since = field(record, "since");
    const bool whole = !pending.serial.empty() && !pending.since.empty();
    pending.state = whole ? PendingRestore::State::pending : PendingRestore::State::unreadable;
    if (!whole) pending.reason = std::string(PENDING_RESTORE_NAME) + " does not name an analyzer and a time";
    return pending;
}

StoreResult PendingRecord::mark() {
    if (state().state != PendingRestore::State::none) return StoreResult::ok;
    std::string settings;
    const std::string serial =
        store_.read(SETTINGS_FILE_NAME, settings) == SettingsRead::ok ? settings_serial(settings) : "unknown";
    const std::string record =
        "serial " + serial + "\nsince " + local_time_text(std::time(nullptr), false) +
        "\n\nAn old analyzer was being programmed: SETTINGS.TXT holds its settings, still to be\n"
        "restored. k210prog keeps SETTINGS.TXT as it is until they are back. To start afresh\n"
        "on purpose, delete this file (earlier captures are kept as SETTINGS-*.TXT).\n";
    if (store_.replace_small_file(PENDING_RESTORE_NAME, record) == StoreResult::ok) return StoreResult::ok;
    failure_ = store_.failure_reason();
    return StoreResult::failed;
}

StoreResult PendingRecord::clear() {
    FileSystem& files = store_.files();
    if (files.remove(PENDING_RESTORE_NAME) != FileCall::done) {
        failure_ = std::string("cannot remove ") + PENDING_RESTORE_NAME + ": " + files.reason();
        return StoreResult::failed;
    }
    files.sync_folder();
    return StoreResult::ok;
}

}  // namespace k210
