#include "settings/settings_store.h"

#include "files/file_steps.h"

namespace k210 {

std::string not_a_settings_file(const std::string& name, FileKind kind) {
    return name + " is " + kind_text(kind) + ", not a settings file; move it away";
}

StoreResult SettingsStore::fail(const std::string& what) {
    failure_ = what;
    return StoreResult::failed;
}

SettingsRead SettingsStore::read(const std::string& name, std::string& content) {
    FileContent file = read_regular_file(files_, name, SETTINGS_FILE_LIMIT);
    content = std::move(file.bytes);
    switch (file.outcome) {
        case FileRead::ok: return SettingsRead::ok;
        case FileRead::missing: failure_ = "cannot read " + name + ": " + files_.reason(); return SettingsRead::missing;
        case FileRead::cannot_open: failure_ = not_a_settings_file(name, FileKind::inaccessible); break;
        case FileRead::not_a_file: failure_ = not_a_settings_file(name, file.kind); break;
        case FileRead::too_large:
            failure_ = name + " is larger than " + std::to_string(SETTINGS_FILE_LIMIT) + " bytes, not a settings file";
            break;
        case FileRead::cannot_read: failure_ = "cannot read " + name + ": " + files_.reason(); break;
    }
    return SettingsRead::refused;
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

}  // namespace k210
