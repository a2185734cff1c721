// k210prog: updates the firmware of a K210 gas analyzer over a serial line.
// Command-line arguments are ignored; the whole run is a console dialogue.
#include <cstdio>

#include "procedure/run_order.h"
#include "serial_link/standard_streams.h"

int main() {
    make_standard_streams_valid();
    // Unbuffered, so every prompt and echo is on screen before the program
    // waits, and nothing is held back when the programmer shares the console.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return exit_status(run_firmware_update());
}
