// The restore pass: reads SETTINGS.TXT line by line and sends every saved
// reply back to the analyzer as its set command.
#pragma once

#include <cstdio>
#include <string>

enum RestoreStatus {
    RESTORE_OK = 0,            // also when there is no settings file to restore
    RESTORE_WRITE_FAILED = 1,  // a set command could not be written; the pass stopped
};

// The word that unlocks the SRAL and OPTI settings.
constexpr const char* ACCESS_WORD = "BRISKET";
// Least pause after every file line, so the analyzer can store the setting.
constexpr int RESTORE_PAUSE_MS = 500;

// Runs the pass on the open port.
int restore_settings();

// Reads one line of any length, up to and without its LF; a last line
// without LF is taken whole. Returns false at the end of the file.
bool read_settings_line(std::FILE* file, std::string& line);

// Translates one line (a NUL-terminated text) and sends the set command it
// yields, if any. Returns the send status, or SEND_OK when nothing was sent.
int translate_line(const char* line);

// The translator's step without the sending: updates the translator state
// and returns true with the set command in `command` when one is due.
bool next_set_command(const char* line, std::string& command);

// Puts the translator back into its state at program start.
void reset_translator();
