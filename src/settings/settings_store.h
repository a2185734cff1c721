// Reading and small writes of the settings files in the working folder.
// Files that are read must be regular files, of sane size, and are never
// waited on; small files are written whole (aside, flushed, then moved into
// place). The store keeps the reason of its latest failure for the user.
#pragma once

#include <string>
#include <vector>

#include "files/file_system.h"
#include "settings/settings_text.h"

namespace k210 {

enum class StoreResult { ok, failed };
enum class SettingsRead { ok, missing, refused };

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

    const std::string& failure_reason() const { return failure_; }

  private:
    StoreResult fail(const std::string& what);
    FileSystem& files_;
    std::string failure_;
};

// "NAME is a FIFO, not a settings file; move it away", for what stands under a name.
std::string not_a_settings_file(const std::string& name, FileKind kind);

}  // namespace k210
