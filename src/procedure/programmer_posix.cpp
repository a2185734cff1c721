#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "procedure/reprogramming.h"

int run_programmer(const char* command_line) {
    std::fflush(stdout);  // the programmer shares the console
    std::fflush(stderr);
    const int status = std::system(command_line);
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
