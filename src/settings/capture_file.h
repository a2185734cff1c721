// A capture on its way to SETTINGS.TXT, kept so that an analyzer's
// settings are never lost: it is written aside (SETTINGS.TMP, always
// created new, never through a link), flushed to disk, and replaces
// SETTINGS.TXT only when complete; the previous SETTINGS.TXT becomes
// SETTINGS.BAK, itself made aside first. Every capture is also archived
// under a name that says which analyzer and when; archives are never replaced.
#pragma once

#include <string>

#include "files/file_system.h"
#include "settings/settings_store.h"

namespace k210 {

// Whatever is not finished and moved into place is removed when the object goes.
class CaptureFile {
  public:
    explicit CaptureFile(FileSystem& files) : files_(files) {}
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates SETTINGS.TMP new (an old one, or whatever stands in its
    // name, is removed first, never written through).
    [[nodiscard]] StoreResult begin();
    // A failed write is kept, and makes finish() fail.
    void write(const std::string& bytes);
    // Writes everything out and to disk; failed when any write failed.
    [[nodiscard]] StoreResult finish();
    // Copies the finished capture to `name`, created new (never replaced).
    [[nodiscard]] StoreResult archive_as(const std::string& name);
    // Moves the finished capture over SETTINGS.TXT, after the previous
    // SETTINGS.TXT has become SETTINGS.BAK. When the backup cannot be made,
    // the old SETTINGS.BAK and SETTINGS.TXT stay and nothing is replaced.
    [[nodiscard]] StoreResult replace_settings();
    // Drops the capture; SETTINGS.TXT is not touched.
    void discard();
    const std::string& failure_reason() const { return failure_; }

  private:
    enum class Stage { none, writing, finished, placed };
    StoreResult fail(const std::string& what);
    FileSystem& files_;
    Stage stage_ = Stage::none;
    int fd_ = -1;
    std::string write_failure_;  // the system's words for the first write that failed
    std::string failure_;
};

}  // namespace k210
