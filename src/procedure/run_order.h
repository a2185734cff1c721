// One firmware-update run, from the banner to the end of the dialogue.
#pragma once

// Returns the exit status: see RunEnd in reprogramming.h.
int run_firmware_update();
