#include <windows.h>

#include <cstdlib>
#include <string>

#include "procedure/reprogramming.h"

namespace k210 {

// cmd.exe gives the command's exit status, or -1 when it cannot be started.
ProgrammerEnd run_programmer(const char* command_line) {
    return std::system(command_line) == 0 ? ProgrammerEnd::succeeded : ProgrammerEnd::failed;
}

// cmd.exe looks in the working folder first, then along PATH.
std::optional<std::string> where_the_programmer_is(const char* name) {
    char found[MAX_PATH];
    if (SearchPathA(".", name, nullptr, MAX_PATH, found, nullptr)) return std::string(found);
    if (SearchPathA(nullptr, name, nullptr, MAX_PATH, found, nullptr)) return std::string(found);
    return std::nullopt;
}

}  // namespace k210
