#include "settings/capture_file.h"

#include "files/file_steps.h"

namespace k210 {

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

}  // namespace k210
