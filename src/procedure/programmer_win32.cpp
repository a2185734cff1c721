#include <cstdio>
#include <cstdlib>

#include "procedure/reprogramming.h"

int run_programmer(const char* command_line) {
    std::fflush(stdout);  // the programmer shares the console
    std::fflush(stderr);
    // cmd.exe gives the command's exit status, or -1 when it cannot be started.
    return std::system(command_line);
}
