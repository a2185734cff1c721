// The capture pass: asks the analyzer the sixteen settings queries, echoes
// every reply and saves the replies in SETTINGS.TXT.
#pragma once

#include <string>

// Outcomes of capture_settings; the numbers double as the program's exit
// status when the run stops there.
enum CaptureOutcome {
    CAPTURE_CONTINUE = 0,
    CAPTURE_FAILED = 1,   // the settings file could not be created or written
    CAPTURE_STOPPED = 2,  // the user declined to go on, or input ended
};

// Runs the pass on the open port; the port is closed whatever the outcome.
int capture_settings();

// The file bytes for one answered query: the query text and LF, then every
// carriage-return-ended part of the reply followed by LF. The reply is read
// up to its first NUL; text after its last carriage return is dropped.
std::string reply_file_lines(const char* query_text, const char* reply);
