#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bsl/image_file.h"

namespace k210::bsl {

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

FileText failed(FileRead result, const std::string& detail, int fd = -1) {
    if (fd >= 0) close(fd);
    return {result, "", detail};
}

}  // namespace

FileText read_regular_file(const std::string& path, std::size_t limit) {
    // Non-blocking, so that opening a FIFO without a writer returns at once.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return failed(FileRead::cannot_open, std::strerror(errno));
    struct stat info {};
    if (fstat(fd, &info) != 0) return failed(FileRead::cannot_open, std::strerror(errno), fd);
    if (!S_ISREG(info.st_mode)) return failed(FileRead::not_a_file, kind_of(info.st_mode), fd);
    if (static_cast<unsigned long long>(info.st_size) > limit)
        return failed(FileRead::too_large, std::to_string(info.st_size), fd);
    FileText file;
    char block[65536];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failed(FileRead::cannot_read, std::strerror(errno), fd);
        if (n == 0) break;
        file.text.append(block, static_cast<std::size_t>(n));
        // A file that grows while it is read is held to the limit too.
        if (file.text.size() > limit) return failed(FileRead::too_large, "over " + std::to_string(limit), fd);
    }
    close(fd);
    return file;
}

}  // namespace k210::bsl
