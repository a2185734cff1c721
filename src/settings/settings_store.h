// The settings files in the working folder, kept so that an analyzer's
// settings are never lost:
// - a capture is written aside (SETTINGS.TMP, always created new, never
//   through a link) and replaces SETTINGS.TXT only when complete; the
//   previous SETTINGS.TXT becomes SETTINGS.BAK, itself made aside first;
// - every capture is also archived under a name that says which analyzer
//   and when; archives are never deleted;
// - from the moment an old unit is programmed until its settings are back,
//   SETTINGS.PND records that SETTINGS.TXT is still to be restored, and no
//   capture replaces it;
// - one run at a time holds the folder;
// - files that are read or replaced must be regular files, of sane size.
// Platform file per system for the file operations.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

constexpr const char* SETTINGS_TEMP_NAME = "SETTINGS.TMP";
constexpr const char* SETTINGS_BACKUP_NAME = "SETTINGS.BAK";
constexpr const char* SETTINGS_BACKUP_TEMP_NAME = "SETTINGS.BAK.TMP";
constexpr const char* PENDING_RESTORE_NAME = "SETTINGS.PND";
// Far above anything the analyzer sends (replies are at most 256 bytes).
constexpr std::size_t SETTINGS_LINE_LIMIT = 4096;
constexpr std::size_t SETTINGS_FILE_LIMIT = 1 << 20;

// One run per folder: held from take() to destruction; leaves no file
// behind on POSIX (a lock on the folder itself). On Windows it is the
// hidden file SETTINGS.LCK, deleted when the run ends however it ends.
class FolderLock {
  public:
    enum class Result { taken, held_by_another_run, unavailable };
    FolderLock() = default;
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    [[nodiscard]] Result take(std::string& error);

  private:
    long long handle_ = -1;
};

// A capture on its way to SETTINGS.TXT. Whatever is not finished and moved
// into place is removed when the object goes.
class CaptureFile {
  public:
    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates SETTINGS.TMP new (an old one, or whatever stands in its
    // name, is removed first, never written through).
    [[nodiscard]] bool begin(std::string& error);
    void write(const std::string& bytes);
    // Writes everything out and to disk; false when any write failed.
    [[nodiscard]] bool finish(std::string& error);
    // Copies the finished capture to `name`, created new.
    [[nodiscard]] bool archive_as(const std::string& name, std::string& error);
    // Moves the finished capture over SETTINGS.TXT, after the previous
    // SETTINGS.TXT has become SETTINGS.BAK. When the backup cannot be made,
    // the old SETTINGS.BAK and SETTINGS.TXT stay and nothing is replaced.
    [[nodiscard]] bool replace_settings(std::string& error);
    // Drops the capture; SETTINGS.TXT is not touched.
    void discard();

  private:
    long long handle_ = -1;
    bool write_failed_ = false;
};

// Creates an empty SETTINGS.TXT when there is none. False when it could not.
[[nodiscard]] bool ensure_settings_file();

enum class SettingsRead { ok, missing, refused };
// Reads a settings file whole. Refused (with the reason in `error`) when it
// is not a regular file (a FIFO, a device, a folder) or is larger than
// SETTINGS_FILE_LIMIT; nothing ever waits on it.
[[nodiscard]] SettingsRead read_settings_file(const char* name, std::string& content, std::string& error);

// The lines of a settings file, each without its LF; a last line without
// LF is taken whole. False (with the line number in `error`) when a line is
// longer than SETTINGS_LINE_LIMIT.
[[nodiscard]] bool split_settings_lines(const std::string& content, std::vector<std::string>& lines,
                                        std::string& error);

// The serial number in a settings file's SRAL reply, or "unknown".
std::string settings_serial(const std::string& content);

// SETTINGS-<serial>-<YYYYMMDD>-<HHMMSS>.TXT, the serial made safe for a file name.
std::string archive_file_name(const std::string& serial, std::time_t when);

struct PendingRestore {
    std::string serial;  // of the analyzer whose settings SETTINGS.TXT holds
    std::string since;   // when its programming began
};
// The record, when SETTINGS.TXT exists and is still to be restored.
std::optional<PendingRestore> pending_restore();
// Records that SETTINGS.TXT is to be restored; an existing record stays as it is.
[[nodiscard]] bool mark_restore_pending(std::string& error);
// Clears the record once the settings are back.
[[nodiscard]] bool clear_restore_pending();

// ---- file operations of the platform (settings_store_<platform>.cpp) ----

// Writes a small file whole (aside, then moved into place).
[[nodiscard]] bool replace_small_file(const char* name, const std::string& bytes, std::string& error);
// Removes a file; true when it is gone (or was never there).
[[nodiscard]] bool remove_file(const char* name);
// The local time as "YYYY-MM-DD HH:MM:SS" or, compact, "YYYYMMDD-HHMMSS".
std::string local_time_text(std::time_t when, bool compact);
