// A stand-in for the bootstrap-loader programmer, for tests: it records its
// command line and whether the serial port was free, then exits with the
// status the test asks for. It programs nothing.
//
//   BSL_STANDIN_LOG     file that gets one line per run
//   BSL_STANDIN_STATUS  exit statuses of successive runs, e.g. "1,0"
//                       (the last one repeats; default 0)
//   BSL_STANDIN_UNPLUG  a file to remove, as if the adapter were pulled
//                       while the programmer ran
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial_link/port_name.h"

namespace {

int runs_so_far(const char* log_path) {
    std::FILE* log = std::fopen(log_path, "rb");
    if (!log) return 0;
    int lines = 0;
    for (int c = std::fgetc(log); c != EOF; c = std::fgetc(log)) lines += static_cast<int>(c == '\n');
    std::fclose(log);
    return lines;
}

int status_for_run(int run) {
    const char* list = std::getenv("BSL_STANDIN_STATUS");
    if (!list || !*list) return 0;
    int status = 0;
    for (int i = 0; i <= run && *list; ++i) {
        status = std::atoi(list);
        const char* comma = std::strchr(list, ',');
        if (!comma) break;
        list = comma + 1;
    }
    return status;
}

// Whether the port could be taken for exclusive use right now.
const char* port_state(const char* port_name) {
    const std::optional<k210::PortName> name = port_name ? k210::PortName::from_text(port_name) : std::nullopt;
    if (!name) return "none";
    const std::string path = k210::port_device(*name).path;
#ifdef _WIN32
    HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED ? "busy" : "missing";
    CloseHandle(port);
    return "free";
#else
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return "missing";
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free ? "free" : "busy";
#endif
}

}  // namespace

int main(int argc, char** argv) {
    std::string line;
    const char* port_name = nullptr;
    for (int i = 1; i < argc; ++i) {
        line += (i > 1 ? " " : "") + std::string(argv[i]);
        if (std::strncmp(argv[i], "-c", 2) == 0) port_name = argv[i] + 2;
    }
    const char* log_path = std::getenv("BSL_STANDIN_LOG");
    const int run = log_path ? runs_so_far(log_path) : 0;
    const int status = status_for_run(run);
    if (log_path) {
        std::FILE* log = std::fopen(log_path, "ab");
        if (log) {
            std::fprintf(log, "%s port=%s\n", line.c_str(), port_state(port_name));
            std::fclose(log);
        }
    }
    if (const char* unplug = std::getenv("BSL_STANDIN_UNPLUG")) std::remove(unplug);
    std::printf("stand-in programmer: %s\n", line.c_str());
    return status;
}
