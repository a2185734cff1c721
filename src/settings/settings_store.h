// Safe replacement of SETTINGS.TXT: a capture is written beside it and only
// moved into place once complete, so the file is always either the previous
// complete capture or the new complete capture. Platform file per system.
#pragma once

#include <cstdio>

constexpr const char* SETTINGS_TEMP_NAME = "SETTINGS.TMP";
constexpr const char* SETTINGS_BACKUP_NAME = "SETTINGS.BAK";

// Creates the temporary capture file for exclusive binary writing.
// Returns nullptr when it cannot be created or another run holds it.
std::FILE* begin_capture_file();

// Flushes the capture to disk and moves it into place as SETTINGS.TXT,
// keeping the previous SETTINGS.TXT as SETTINGS.BAK. Returns 0, or -1 when
// any write failed (the old SETTINGS.TXT is then left as it was).
int commit_capture_file(std::FILE* file);

// Drops an unfinished capture; SETTINGS.TXT is not touched.
void discard_capture_file(std::FILE* file);

// Creates an empty SETTINGS.TXT when there is none. Returns 0, or -1.
int ensure_settings_file();
