// The restore pass: reads SETTINGS.TXT line by line and sends every saved
// reply back to the analyzer as its set command.
#pragma once

#include <optional>
#include <string>

#include "dialogue/dialogue.h"
#include "serial_link/serial_link.h"
#include "settings/settings_store.h"

namespace k210 {

enum class RestoreStatus {
    ok,            // also when there is no settings file to restore
    write_failed,  // a set command could not be written; the pass stopped (the link says why)
    file_refused,  // SETTINGS.TXT is not a settings file; nothing was sent (said beside the dialogue)
};

// The word that unlocks the SRAL and OPTI settings.
constexpr const char* ACCESS_WORD = "BRISKET";
// Least pause after every file line, so the analyzer can store the setting.
constexpr int RESTORE_PAUSE_MS = 500;

// Turns saved lines into set commands. A header line (a query text) starts
// the command for that query; each data line under it adds its value.
class Translator {
  public:
    // Takes one line (a NUL-terminated text, without its LF) and returns the
    // set command it yields, if any.
    [[nodiscard]] std::optional<std::string> next_set_command(const char* line);

  private:
    static constexpr int NO_HEADER_YET = 255;
    std::optional<std::string> translate_data_line(const char* line);
    std::optional<std::string> apply_colon_rule(const char* line);
    void start_command(int index);
    void number_next_line();

    int command_index_ = NO_HEADER_YET;
    int line_counter_ = 0;  // data lines since the header, for FACT and OFFS
    std::string pending_;   // the set command being built
};

// Runs the pass on the open link, pausing on the link's clock; its lines are echoed in the dialogue.
[[nodiscard]] RestoreStatus restore_settings(AnalyzerLink& link, SettingsStore& store, Dialogue& dialogue);

// Translates one line and sends the set command it yields, if any.
[[nodiscard]] PortResult translate_line(AnalyzerLink& link, Translator& translator, const char* line);

}  // namespace k210
