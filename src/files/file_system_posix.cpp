// The file calls on POSIX systems: files are created with O_EXCL and
// O_NOFOLLOW, flushed with fsync, replaced with rename, and the folder is
// locked with flock and synced after every replacement.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "files/file_system.h"

namespace k210 {

namespace {

std::string system_words() { return std::strerror(errno); }

FileKind kind_of_mode(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::regular;
    if (S_ISDIR(mode)) return FileKind::folder;
    if (S_ISFIFO(mode)) return FileKind::fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::device;
    return FileKind::other;
}

}  // namespace

FileCall FileSystem::create_exclusive(const std::string& name, int& fd) {
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    return fd >= 0 ? FileCall::done : failed(system_words());
}

// Nothing here keeps other readers out.
FileCall FileSystem::create_readable(const std::string& name, int& fd) { return create_exclusive(name, fd); }

// Non-blocking, so that a FIFO planted under the name is never waited on.
FileCall FileSystem::append_to(const std::string& name, int& fd) {
    fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed(system_words());
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) return FileCall::done;
    ::close(fd);
    fd = -1;
    return failed("not a regular file");
}

FileCall FileSystem::remove(const std::string& name) {
    return ::unlink(name.c_str()) == 0 || errno == ENOENT ? FileCall::done : failed(system_words());
}

FileCall FileSystem::write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return failed(n < 0 ? system_words() : "nothing was written");
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return FileCall::done;
}

FileCall FileSystem::flush_to_disk(int fd) { return ::fsync(fd) == 0 ? FileCall::done : failed(system_words()); }
FileCall FileSystem::close(int fd) { return ::close(fd) == 0 ? FileCall::done : failed(system_words()); }

// Non-blocking, so that a FIFO is never waited on; checked before any read.
FileCall FileSystem::open_regular(const std::string& name, int& fd, FileKind& kind) {
    fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        kind = errno == ENOENT ? FileKind::missing : FileKind::inaccessible;
        return failed(system_words());
    }
    struct stat info {};
    kind = ::fstat(fd, &info) == 0 ? kind_of_mode(info.st_mode) : FileKind::other;
    if (kind == FileKind::regular) return FileCall::done;
    ::close(fd);
    fd = -1;
    return failed("not a regular file");
}

FileCall FileSystem::read_some(int fd, char* buffer, std::size_t size, std::size_t& got) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n < 0 && errno == EINTR) continue;
        got = n > 0 ? static_cast<std::size_t>(n) : 0;
        return n >= 0 ? FileCall::done : failed(system_words());
    }
}

FileCall FileSystem::size_of(int fd, std::uint64_t& size) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return failed(system_words());
    size = static_cast<std::uint64_t>(info.st_size);
    return FileCall::done;
}

FileCall FileSystem::rename_over(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? FileCall::done : failed(system_words());
}

// Some file systems cannot sync a folder; the rename is done either way.
void FileSystem::sync_folder() {
    const int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    (void)::fsync(dir);
    ::close(dir);
}

FileKind FileSystem::kind_of(const std::string& name) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0) return errno == ENOENT ? FileKind::missing : FileKind::other;
    return kind_of_mode(info.st_mode);
}

std::string FileSystem::version_of(const std::string& name) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" +
           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
}

// A lock on the folder itself, so nothing is left behind; closing frees it.
LockCall FileSystem::lock_folder(std::intptr_t& token) {
    const int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        (void)failed(system_words());
        return LockCall::failed;
    }
    if (::flock(dir, LOCK_EX | LOCK_NB) == 0) {
        token = dir;
        return LockCall::taken;
    }
    const bool held = errno == EWOULDBLOCK;
    (void)failed(system_words());
    ::close(dir);
    return held ? LockCall::held : LockCall::failed;
}

void FileSystem::unlock_folder(std::intptr_t token) { ::close(static_cast<int>(token)); }

FileSystem& real_file_system() {
    static FileSystem files;
    return files;
}

}  // namespace k210
