// The settings files' names and sizes, and what is read out of their text.
// Pure functions: no I/O here.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

namespace k210 {

// The captured settings, in the working folder.
constexpr const char* SETTINGS_FILE_NAME = "SETTINGS.TXT";
constexpr const char* SETTINGS_TEMP_NAME = "SETTINGS.TMP";
constexpr const char* SETTINGS_BACKUP_NAME = "SETTINGS.BAK";
constexpr const char* SETTINGS_BACKUP_TEMP_NAME = "SETTINGS.BAK.TMP";
constexpr const char* PENDING_RESTORE_NAME = "SETTINGS.PND";
// Far above anything the analyzer sends (replies are at most 256 bytes).
constexpr std::size_t SETTINGS_LINE_LIMIT = 4096;
constexpr std::size_t SETTINGS_FILE_LIMIT = 1 << 20;

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
