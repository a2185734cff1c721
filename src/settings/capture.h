// The capture pass: asks the analyzer the sixteen settings queries, echoes
// every reply and saves the replies in SETTINGS.TXT.
#pragma once

#include <string>

#include "serial_link/port_name.h"

enum class CaptureOutcome {
    continue_run,  // go on to the reprogramming
    stopped,       // the user declined to go on without settings, or input ended
    failed,        // the settings file could not be created or written, or the port failed
};

// Runs the pass on the open port; the port is closed whatever the outcome.
[[nodiscard]] CaptureOutcome capture_settings(const PortName& port);

// The file bytes for one answered query: the query text and LF, then every
// carriage-return-ended part of the reply followed by LF. The reply is read
// up to its first NUL; text after its last carriage return is dropped.
std::string reply_file_lines(const char* query_text, const char* reply);
