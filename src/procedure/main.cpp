// k210prog: updates the firmware of a K210 gas analyzer over a serial line.
// The whole run is a console dialogue. Of the arguments only --help and
// --version are read; they print and end before any port or file is touched.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "procedure/run_order.h"
#include "system/standard_streams.h"

namespace {

// One source line for each line printed.
// clang-format off
const char* const HELP =
    "k210prog " K210_VERSION ": updates the firmware of a K210 gas analyzer over a serial\n"
    "line, keeping the analyzer's settings.\n"
    "\n"
    "usage: k210prog [--help | --version]\n"
    "\n"
    "Run it without arguments from the folder that holds the firmware images\n"
    "(K210*.TXT), with the programmer BSL.EXE on PATH (on Windows, in that folder\n"
    "also does). It asks for the COM port (1 to 9) and a few questions, saves the\n"
    "analyzer's settings in SETTINGS.TXT there, and runs BSL.EXE to program it.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n"
    "Any other argument is ignored.\n"
    "\n"
    "Exit status: 0 programming complete, 1 a failure, 2 stopped by an answer\n"
    "or by the end of input.\n";
// clang-format on

// Prints what --help or --version asks for; false when neither is given.
bool answered_option(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("k210prog %s\n", K210_VERSION);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(HELP, stdout);
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    k210::make_standard_streams_valid();
    if (answered_option(argc, argv)) return 0;
    // Unbuffered, so every prompt and echo is on screen before the program
    // waits, and nothing is held back when the programmer shares the console.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    k210::Dialogue dialogue(std::cin, std::cout, std::cerr);
    return k210::exit_status(k210::run_firmware_update(dialogue));
}
