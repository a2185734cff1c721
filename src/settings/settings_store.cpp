// The settings files over the file calls of file_system.h: the same steps,
// checks and messages on every system.
#include "settings/settings_store.h"

#include <algorithm>

#include "settings/query_table.h"

namespace k210 {

namespace {

const char* kind_text(FileKind kind) {
    switch (kind) {
        case FileKind::folder: return "a folder";
        case FileKind::fifo: return "a FIFO";
        case FileKind::device: return "a device";
        case FileKind::missing:
        case FileKind::regular:
        case FileKind::other: break;
    }
    return "not a regular file";
}

std::string not_a_settings_file(const std::string& name, FileKind kind) {
    return name + " is " + kind_text(kind) + ", not a settings file; move it away";
}

// Letters, digits and '-' stay; anything else becomes '_'.
std::string safe_for_a_file_name(const std::string& text) {
    std::string safe;
    for (char c : text.substr(0, 32)) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        safe += plain ? c : '_';
    }
    return safe.empty() ? "unknown" : safe;
}

// The value of a "name value" line of the pending record.
std::string field(const std::string& content, const std::string& name) {
    const std::string key = "\n" + name + " ";
    const std::size_t at = ("\n" + content).find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size() - 1;
    return content.substr(start, content.find('\n', start) - start);
}

// Created new, never through a link: whatever stood in the name is removed first.
FileCall create_new(FileSystem& files, const std::string& name, int& fd) {
    if (files.remove(name) != FileCall::done) return FileCall::failed;
    return files.create_exclusive(name, fd);
}

// Flushed to disk, then closed whatever the flush did; the file system
// keeps the words of the step that failed.
FileCall finish_file(FileSystem& files, int fd) {
    const FileCall flushed = files.flush_to_disk(fd);
    const FileCall closed = files.close(fd);
    return flushed == FileCall::done ? closed : FileCall::failed;
}

// Copies the regular file `from` to `to`, created new and flushed; `to` is
// removed again when the copy fails.
FileCall copy_to_new(FileSystem& files, const std::string& from, const std::string& to) {
    int in = -1;
    int out = -1;
    FileKind kind = FileKind::missing;
    if (files.open_regular(from, in, kind) != FileCall::done) return FileCall::failed;
    FileCall call = files.create_exclusive(to, out);
    char block[4096];
    std::size_t got = 0;
    while (call == FileCall::done && (call = files.read_some(in, block, sizeof block, got)) == FileCall::done &&
           got > 0)
        call = files.write_all(out, block, got);
    if (out >= 0 && finish_file(files, out) != FileCall::done) call = FileCall::failed;
    if (call != FileCall::done && out >= 0) (void)files.remove(to);  // a partial copy is no copy
    (void)files.close(in);                                           // read to the end, or given up on
    return call;
}

}  // namespace

// ---- the folder lock ----

FolderLock::~FolderLock() {
    if (held_) files_.unlock_folder(token_);
}

FolderLock::Result FolderLock::take() {
    switch (files_.lock_folder(token_)) {
        case LockCall::taken: held_ = true; return Result::taken;
        case LockCall::held: failure_ = "another k210prog run is using this folder"; return Result::held_by_another_run;
        case LockCall::failed: break;
    }
    failure_ = "cannot lock the working folder: " + files_.reason();
    return Result::unavailable;
}

// ---- the capture's file ----

CaptureFile::~CaptureFile() { discard(); }

StoreResult CaptureFile::fail(const std::string& what) {
    failure_ = what;
    return StoreResult::failed;
}

StoreResult CaptureFile::begin() {
    discard();
    write_failure_.clear();
    if (create_new(files_, SETTINGS_TEMP_NAME, fd_) != FileCall::done)
        return fail(std::string("cannot create ") + SETTINGS_TEMP_NAME + ": " + files_.reason());
    stage_ = Stage::writing;
    return StoreResult::ok;
}

void CaptureFile::write(const std::string& bytes) {
    if (stage_ != Stage::writing || !write_failure_.empty()) return;
    if (files_.write_all(fd_, bytes.data(), bytes.size()) != FileCall::done) write_failure_ = files_.reason();
}

StoreResult CaptureFile::finish() {
    if (stage_ != Stage::writing) return fail("no capture to finish");
    stage_ = Stage::finished;
    const FileCall finished = finish_file(files_, fd_);
    fd_ = -1;
    if (!write_failure_.empty()) return fail(std::string("cannot write ") + SETTINGS_TEMP_NAME + ": " + write_failure_);
    if (finished != FileCall::done)
        return fail(std::string("cannot write ") + SETTINGS_TEMP_NAME + ": " + files_.reason());
    return StoreResult::ok;
}

StoreResult CaptureFile::archive_as(const std::string& name) {
    if (stage_ != Stage::finished) return fail("no finished capture to archive");
    if (files_.kind_of(name) != FileKind::missing) return fail(name + " exists already");
    if (copy_to_new(files_, SETTINGS_TEMP_NAME, name) != FileCall::done)
        return fail("cannot create " + name + ": " + files_.reason());
    files_.sync_folder();
    return StoreResult::ok;
}

StoreResult CaptureFile::replace_settings() {
    if (stage_ != Stage::finished) return fail("no finished capture to put in place");
    // The previous SETTINGS.TXT as a new SETTINGS.BAK, made aside and moved
    // into place whole, so an earlier good backup is never lost half-way.
    const FileKind previous = files_.kind_of(SETTINGS_FILE_NAME);
    if (previous != FileKind::missing) {
        if (previous != FileKind::regular) return fail(not_a_settings_file(SETTINGS_FILE_NAME, previous));
        if (files_.remove(SETTINGS_BACKUP_TEMP_NAME) != FileCall::done ||
            copy_to_new(files_, SETTINGS_FILE_NAME, SETTINGS_BACKUP_TEMP_NAME) != FileCall::done ||
            files_.rename_over(SETTINGS_BACKUP_TEMP_NAME, SETTINGS_BACKUP_NAME) != FileCall::done) {
            const std::string why = files_.reason();
            (void)files_.remove(SETTINGS_BACKUP_TEMP_NAME);
            return fail(std::string("cannot make ") + SETTINGS_BACKUP_NAME + ": " + why);
        }
    }
    if (files_.rename_over(SETTINGS_TEMP_NAME, SETTINGS_FILE_NAME) != FileCall::done)
        return fail(std::string("cannot replace ") + SETTINGS_FILE_NAME + ": " + files_.reason());
    stage_ = Stage::placed;
    files_.sync_folder();
    return StoreResult::ok;
}

void CaptureFile::discard() {
    if (stage_ == Stage::writing) (void)files_.close(fd_);  // the file goes next
    if (stage_ == Stage::writing || stage_ == Stage::finished) (void)files_.remove(SETTINGS_TEMP_NAME);
    stage_ = Stage::none;
    fd_ = -1;
}

// ---- reading and small writes ----

StoreResult SettingsStore::fail(const std::string& what) {
    failure_ = what;
    return StoreResult::failed;
}

SettingsRead SettingsStore::read(const std::string& name, std::string& content) {
    content.clear();
    int fd = -1;
    FileKind kind = FileKind::missing;
    if (files_.open_regular(name, fd, kind) != FileCall::done) {
        failure_ = kind == FileKind::missing ? "cannot read " + name + ": " + files_.reason()
                                             : not_a_settings_file(name, kind);
        return kind == FileKind::missing ? SettingsRead::missing : SettingsRead::refused;
    }
    char block[4096];
    std::size_t got = 0;
    FileCall call = FileCall::done;
    while (content.size() <= SETTINGS_FILE_LIMIT &&
           (call = files_.read_some(fd, block, sizeof block, got)) == FileCall::done && got > 0)
        content.append(block, got);
    if (call != FileCall::done) failure_ = "cannot read " + name + ": " + files_.reason();
    (void)files_.close(fd);  // opened for reading only
    if (call != FileCall::done) return SettingsRead::refused;
    if (content.size() > SETTINGS_FILE_LIMIT) {
        failure_ = name + " is larger than " + std::to_string(SETTINGS_FILE_LIMIT) + " bytes, not a settings file";
        return SettingsRead::refused;
    }
    return SettingsRead::ok;
}

SettingsRead SettingsStore::read_lines(const std::string& name, std::vector<std::string>& lines) {
    std::string content;
    lines.clear();
    const SettingsRead read_whole = read(name, content);
    if (read_whole != SettingsRead::ok) return read_whole;
    if (split_settings_lines(content, lines) == LineSplit::ok) return SettingsRead::ok;
    failure_ = name + " line " + std::to_string(lines.size() + 1) + " is longer than " +
               std::to_string(SETTINGS_LINE_LIMIT) + " bytes: not a settings file";
    lines.clear();
    return SettingsRead::refused;
}

StoreResult SettingsStore::ensure_settings_file() {
    if (files_.kind_of(SETTINGS_FILE_NAME) != FileKind::missing) return StoreResult::ok;
    int fd = -1;
    if (files_.create_exclusive(SETTINGS_FILE_NAME, fd) != FileCall::done || finish_file(files_, fd) != FileCall::done)
        return fail(std::string("could not make an empty ") + SETTINGS_FILE_NAME + ": " + files_.reason());
    return StoreResult::ok;
}

StoreResult SettingsStore::replace_small_file(const std::string& name, const std::string& bytes) {
    const std::string aside = name + ".TMP";
    int fd = -1;
    if (create_new(files_, aside, fd) != FileCall::done) return fail("cannot write " + name + ": " + files_.reason());
    const bool written = files_.write_all(fd, bytes.data(), bytes.size()) == FileCall::done;
    const std::string write_failure = written ? "" : files_.reason();
    if (!written || finish_file(files_, fd) != FileCall::done || files_.rename_over(aside, name) != FileCall::done) {
        const std::string why = written ? files_.reason() : write_failure;
        (void)files_.remove(aside);
        return fail("cannot write " + name + ": " + why);
    }
    files_.sync_folder();
    return StoreResult::ok;
}

PendingRestore SettingsStore::pending_restore() {
    PendingRestore pending;
    // A record without the file it speaks of has nothing left to protect.
    if (files_.kind_of(SETTINGS_FILE_NAME) == FileKind::missing) return pending;
    std::string record;
    switch (read(PENDING_RESTORE_NAME, record)) {
        case SettingsRead::missing: return pending;
        case SettingsRead::refused:
            pending.state = PendingRestore::State::unreadable;
            pending.reason = failure_;
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

StoreResult SettingsStore::mark_restore_pending() {
    if (pending_restore().state != PendingRestore::State::none) return StoreResult::ok;
    std::string settings;
    const std::string serial =
        read(SETTINGS_FILE_NAME, settings) == SettingsRead::ok ? settings_serial(settings) : "unknown";
    const std::string record =
        "serial " + serial + "\nsince " + local_time_text(std::time(nullptr), false) +
        "\n\nAn old analyzer was being programmed: SETTINGS.TXT holds its settings, still to be\n"
        "restored. k210prog keeps SETTINGS.TXT as it is until they are back. To start afresh\n"
        "on purpose, delete this file (earlier captures are kept as SETTINGS-*.TXT).\n";
    return replace_small_file(PENDING_RESTORE_NAME, record);
}

StoreResult SettingsStore::clear_restore_pending() {
    if (files_.remove(PENDING_RESTORE_NAME) != FileCall::done)
        return fail(std::string("cannot remove ") + PENDING_RESTORE_NAME + ": " + files_.reason());
    files_.sync_folder();
    return StoreResult::ok;
}

// ---- the file contents ----

LineSplit split_settings_lines(const std::string& content, std::vector<std::string>& lines) {
    lines.clear();
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        if (end - start > SETTINGS_LINE_LIMIT) return LineSplit::line_too_long;
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return LineSplit::ok;
}

std::string serial_from_reply(const std::string& reply) {
    const std::size_t cr = reply.find('\r');
    if (cr == std::string::npos) return "unknown";
    const std::size_t colon = reply.find(':');
    if (colon == std::string::npos || colon > cr) return "unknown";
    std::string serial = reply.substr(colon + 1, cr - colon - 1);
    while (!serial.empty() && serial.back() == ' ') serial.pop_back();
    return serial.empty() ? "unknown" : serial;
}

std::string settings_serial(const std::string& content) {
    std::vector<std::string> lines;
    if (split_settings_lines(content, lines) != LineSplit::ok) return "unknown";
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        if (query_index_of(lines[i].c_str()) == QUERY_SRAL) return serial_from_reply(lines[i + 1]);
    return "unknown";
}

std::string local_time_text(std::time_t when, bool compact) {
    char text[32] = "";
    const std::tm* local = std::localtime(&when);
    if (local) std::strftime(text, sizeof text, compact ? "%Y%m%d-%H%M%S" : "%Y-%m-%d %H:%M:%S", local);
    return text;
}

std::string archive_file_name(const std::string& serial, std::time_t when) {
    return "SETTINGS-" + safe_for_a_file_name(serial) + "-" + local_time_text(when, true) + ".TXT";
}

}  // namespace k210
