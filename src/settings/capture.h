// The capture pass: asks the analyzer the sixteen settings queries, echoes
// every reply and saves the replies in SETTINGS.TXT.
#pragma once

#include <optional>
#include <string>

#include "dialogue/dialogue.h"
#include "serial_link/serial_link.h"
#include "settings/settings_store.h"

namespace k210 {

enum class CaptureOutcome {
    captured,        // every query was asked; the replies are saved
    no_first_reply,  // the analyzer did not answer the first query: nothing saved (an empty
                     // SETTINGS.TXT is made when there is none); going on is the user's choice
    failed,          // the settings file could not be created or written, or the port failed
};

struct Capture {
    CaptureOutcome outcome = CaptureOutcome::failed;
    // The first number of the form D.D in the VERS reply, as the analyzer wrote it.
    std::optional<std::string> firmware_version;
    // The VERS reply's first line, without its CR, as the analyzer sent it.
    std::optional<std::string> version_reply;
};

// Runs the pass on the open link, its messages in the dialogue. The link
// stays open: its owner closes it.
[[nodiscard]] Capture capture_settings(AnalyzerLink& link, SettingsStore& store, const PortName& port,
                                       Dialogue& dialogue);

// The file bytes for one answered query: the query text and LF, then every
// carriage-return-ended part of the reply followed by LF. The reply is read
// up to its first NUL; text after its last carriage return is dropped.
std::string reply_file_lines(const char* query_text, const char* reply);

// The first number of the form D.D (digits, a point, digits) in a reply.
std::optional<std::string> firmware_version_in(const std::string& reply);

}  // namespace k210
