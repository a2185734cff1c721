// The settings files in the working folder, kept so that an analyzer's
// settings are never lost:
// - a capture is written aside (SETTINGS.TMP, always created new, never
//   through a link), flushed to disk, and replaces SETTINGS.TXT only when
//   complete; the previous SETTINGS.TXT becomes SETTINGS.BAK, itself made
//   aside first;
// - every capture is also archived under a name that says which analyzer
//   and when; archives are never replaced;
// - from the moment an old unit is programmed until its settings are back,
//   SETTINGS.PND records that SETTINGS.TXT is still to be restored, and no
//   capture replaces it; a record that cannot be read counts as one;
// - one run at a time holds the folder;
// - files that are read must be regular files, of sane size, and are never
//   waited on.
// Each object keeps the reason of its latest failure for the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "settings/file_system.h"

namespace k210 {

constexpr const char* SETTINGS_TEMP_NAME = "SETTINGS.TMP";
constexpr const char* SETTINGS_BACKUP_NAME = "SETTINGS.BAK";
constexpr const char* SETTINGS_BACKUP_TEMP_NAME = "SETTINGS.BAK.TMP";
constexpr const char* PENDING_RESTORE_NAME = "SETTINGS.PND";
// Far above anything the analyzer sends (replies are at most 256 bytes).
constexpr std::size_t SETTINGS_LINE_LIMIT = 4096;
constexpr std::size_t SETTINGS_FILE_LIMIT = 1 << 20;

enum class StoreResult { ok, failed };

// One run per folder: held from take() to destruction; leaves no file
// behind on POSIX (a lock on the folder itself). On Windows it is the
// hidden file SETTINGS.LCK, deleted when the run ends however it ends.
class FolderLock {
  public:
    enum class Result {
        taken,
        held_by_another_run,
        unavailable,  // the folder cannot be locked (on Windows: cannot be written)
    };
    explicit FolderLock(FileSystem& files) : files_(files) {}
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    [[nodiscard]] Result take();
    const std::string& failure_reason() const { return failure_; }

  private:
    FileSystem& files_;
    bool held_ = false;
    std::intptr_t token_ = 0;
    std::string failure_;
};

// A capture on its way to SETTINGS.TXT. Whatever is not finished and moved
// into place is removed when the object goes.
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

enum class SettingsRead { ok, missing, refused };

// Whether SETTINGS.TXT holds settings still to be restored.
struct PendingRestore {
    enum class State {
        none,        // no record, or no SETTINGS.TXT left to protect
        pending,     // the record names the analyzer and when its programming began
        unreadable,  // a record is there but cannot be read: a restore may be pending
    };
    State state = State::none;
    std::string serial;  // of the analyzer whose settings SETTINGS.TXT holds
    std::string since;
    std::string reason;  // why an unreadable record could not be read
};

// Reading and small writes of the settings files.
class SettingsStore {
  public:
    explicit SettingsStore(FileSystem& files) : files_(files) {}
    FileSystem& files() { return files_; }

    // Reads a file whole. Refused when it is not a regular file (a FIFO, a
    // device, a folder) or is larger than SETTINGS_FILE_LIMIT.
    [[nodiscard]] SettingsRead read(const std::string& name, std::string& content);
    // Reads a settings file as its lines; refused also when a line is
    // longer than SETTINGS_LINE_LIMIT (the reason gives its number).
    [[nodiscard]] SettingsRead read_lines(const std::string& name, std::vector<std::string>& lines);
    // Creates an empty SETTINGS.TXT when there is none.
    [[nodiscard]] StoreResult ensure_settings_file();
    // Writes a small file whole (aside, flushed, then moved into place).
    [[nodiscard]] StoreResult replace_small_file(const std::string& name, const std::string& bytes);

    PendingRestore pending_restore();
    // Records that SETTINGS.TXT is to be restored; a record already there stays as it is.
    [[nodiscard]] StoreResult mark_restore_pending();
    // Clears the record once the settings are back.
    [[nodiscard]] StoreResult clear_restore_pending();

    const std::string& failure_reason() const { return failure_; }

  private:
    StoreResult fail(const std::string& what);
    FileSystem& files_;
    std::string failure_;
};

// ---- the file contents (no I/O) ----

enum class LineSplit { ok, line_too_long };
// The lines of a settings file, each without its LF; a last line without LF
// is taken whole. At a line longer than SETTINGS_LINE_LIMIT it stops, with
// the lines before it in `lines`.
[[nodiscard]] LineSplit split_settings_lines(const std::string& content, std::vector<std::string>& lines);

// The serial number in the text after the first colon of a SRAL reply's
// first line (up to its CR), or "unknown".
std::string serial_from_reply(const std::string& reply);
// The serial number in a settings file's SRAL reply, or "unknown".
std::string settings_serial(const std::string& content);

// SETTINGS-<serial>-<YYYYMMDD>-<HHMMSS>.TXT, the serial made safe for a file name.
std::string archive_file_name(const std::string& serial, std::time_t when);
// The local time as "YYYY-MM-DD HH:MM:SS" or, compact, "YYYYMMDD-HHMMSS".
std::string local_time_text(std::time_t when, bool compact);

}  // namespace k210
