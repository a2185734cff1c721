// A test-only library, preloaded (LD_PRELOAD) into a program, that records
// the file calls the program makes, so a test can hold the real file layer
// to its promises: a file is flushed to disk before it is moved into place,
// the folder after, and no descriptor is left open.
//
// When K210_FILE_CALLS names a log file, each open, fsync, rename, unlink
// and close of the program is written there as one line, with the name the
// program gave (a descriptor stands for the name it was opened with):
//   open SETTINGS.TMP
//   fsync SETTINGS.TMP
//   close SETTINGS.TMP
//   rename SETTINGS.TMP SETTINGS.TXT
// Nothing changes what the calls do, and nothing is recorded without K210_FILE_CALLS.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The log, opened on first use; -1 when nothing is to be recorded.
int log_fd() {
    static const int fd = [] {
        const char* path = std::getenv("K210_FILE_CALLS");
        if (path == nullptr || *path == '\0') return -1;
        static const auto open_next = next<int (*)(const char*, int, ...)>("open");
        return open_next(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }();
    return fd;
}

std::map<int, std::string>& names() {
    static std::map<int, std::string> by_fd;
    return by_fd;
}

void record(const std::string& line) {
    const int fd = log_fd();
    if (fd < 0) return;
    const std::string whole = line + "\n";
    if (write(fd, whole.data(), whole.size()) < 0) return;  // a test reads it; nothing to do if it cannot be written
}

std::string name_of(int fd) {
    const auto found = names().find(fd);
    return found == names().end() ? "#" + std::to_string(fd) : found->second;
}

}  // namespace

// NOLINTBEGIN(cert-dcl50-cpp, cppcoreguidelines-pro-type-vararg): the C library's own signatures
extern "C" {

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's names are reserved ones
int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned));
        va_end(arguments);
    }
    static const auto open_next = next<int (*)(const char*, int, ...)>("open");
    const int fd = open_next(path, flags, mode);
    if (fd >= 0 && fd != log_fd()) {
        names()[fd] = path;
        record(std::string("open ") + path);
    }
    return fd;
}

int fsync(int fd) {
    static const auto fsync_next = next<int (*)(int)>("fsync");
    record("fsync " + name_of(fd));
    return fsync_next(fd);
}

int close(int fd) {
    static const auto close_next = next<int (*)(int)>("close");
    if (names().count(fd) != 0) {
        record("close " + name_of(fd));
        names().erase(fd);
    }
    return close_next(fd);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's names are reserved ones
int rename(const char* from, const char* to) {
    static const auto rename_next = next<int (*)(const char*, const char*)>("rename");
    record(std::string("rename ") + from + " " + to);
    return rename_next(from, to);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's names are reserved ones
int unlink(const char* path) {
    static const auto unlink_next = next<int (*)(const char*)>("unlink");
    record(std::string("unlink ") + path);
    return unlink_next(path);
}

}  // extern "C"
// NOLINTEND(cert-dcl50-cpp, cppcoreguidelines-pro-type-vararg)
