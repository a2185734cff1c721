#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "procedure/reprogramming.h"

namespace k210 {

ProgrammerEnd run_programmer(const char* command_line) {
    const int status = std::system(command_line);
    const bool succeeded = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return succeeded ? ProgrammerEnd::succeeded : ProgrammerEnd::failed;
}

// The command processor (/bin/sh) finds the programmer through PATH only.
std::optional<std::string> where_the_programmer_is(const char* name) {
    const char* path = std::getenv("PATH");
    const std::string folders = path ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(start, end - start);
        if (folder.empty()) folder = ".";
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace k210
