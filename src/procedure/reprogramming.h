// The reprogramming sequence: hardware questions, programming switches, the
// bootstrap-loader programmer with retries, reconnection and, for old units,
// the settings restore.
#pragma once

#include <optional>
#include <string>

#include "dialogue/dialogue.h"
#include "serial_link/port_name.h"
#include "serial_link/serial_link.h"
#include "settings/capture.h"
#include "settings/settings_store.h"

namespace k210 {

// How a run ends.
enum class RunEnd {
    complete,  // "Programming Complete!" was reached
    failed,    // a port, file, programmer or analyzer failure ended it
    stopped,   // the user's answer, or the end of input, ended it
};

struct HardwareAnswers {
    bool old_unit = false;  // no internal EEPROM: settings are restored
    bool carbon_monoxide_only = false;
    bool old_style_sensor = false;  // old-style ambient temperature sensor
};

// K210[f][x][t].TXT, chosen from the three answers.
std::string firmware_image_name(const HardwareAnswers& answers);

// For example "BSL.EXE +mpvr -cCOM3 K210t.TXT".
std::string programmer_command_line(const PortName& port, const HardwareAnswers& answers);

// True for a firmware version from 1.0 to 4.0, the versions of old analyzers.
bool is_old_unit_firmware(const std::string& version);

enum class ProgrammerEnd { succeeded, failed };

// Runs a command line through the system's command processor and waits for
// it: succeeded when the command ran and exited with status 0. The caller
// flushes the dialogue first: the programmer shares the console.
[[nodiscard]] ProgrammerEnd run_programmer(const char* command_line);

// Where the command processor finds the programmer `name`, if it does.
std::optional<std::string> where_the_programmer_is(const char* name);

// " Error Opening COMn !" in the dialogue; beside it the system's reason and
// the serial devices there are.
void report_open_failure(Dialogue& dialogue, const AnalyzerLink& link, const PortName& port);

// Beside the dialogue: which device COMn turned out to be.
void report_port_opened(Dialogue& dialogue, const AnalyzerLink& link, const PortName& port);

// Runs the sequence on a closed port and returns how the run ended, after
// `capture` (what the analyzer's VERS reply said, if anything). After the
// reconnection the analyzer must answer a query before anything is sent to it.
[[nodiscard]] RunEnd run_reprogramming(const PortName& port, SettingsStore& store, const Capture& capture,
                                       Dialogue& dialogue);

}  // namespace k210
