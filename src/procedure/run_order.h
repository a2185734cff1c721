// One firmware-update run, from the banner to the end of the dialogue.
#pragma once

#include "procedure/reprogramming.h"

namespace k210 {

// The run in the working folder, on this computer's files and ports, its
// dialogue with the user in `dialogue`.
[[nodiscard]] RunEnd run_firmware_update(Dialogue& dialogue);

// The program's exit status for how a run ended (see the README).
int exit_status(RunEnd end);

}  // namespace k210
