// The file calls on Windows: files are created with _O_EXCL
// and no sharing, flushed with _commit, replaced with MoveFileEx
// (write-through), and the folder is held by a hidden lock file that goes
// when its handle is closed.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "files/file_system.h"
#include "system/windows_error.h"

namespace k210 {

namespace {

constexpr const char* LOCK_NAME = "SETTINGS.LCK";

std::string crt_words() { return std::strerror(errno); }
std::string system_words() { return system_message(GetLastError()); }

bool not_found(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

FileKind kind_of_handle(int fd) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the C library gives a file's handle as an integer
    switch (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd)))) {
        case FILE_TYPE_DISK: return FileKind::regular;
        case FILE_TYPE_CHAR: return FileKind::device;
        case FILE_TYPE_PIPE: return FileKind::fifo;
        default: return FileKind::other;
    }
}

}  // namespace

FileCall FileSystem::create_exclusive(const std::string& name, int& fd) {
    fd = -1;
    if (_sopen_s(&fd, name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYRW, _S_IREAD | _S_IWRITE) != 0)
        return failed(crt_words());
    return FileCall::done;
}

FileCall FileSystem::create_readable(const std::string& name, int& fd) {
    fd = -1;
    if (_sopen_s(&fd, name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYWR, _S_IREAD | _S_IWRITE) != 0)
        return failed(crt_words());
    return FileCall::done;
}

FileCall FileSystem::append_to(const std::string& name, int& fd) {
    fd = -1;
    if (_sopen_s(&fd, name.c_str(), _O_WRONLY | _O_APPEND | _O_BINARY, _SH_DENYWR, 0) != 0) return failed(crt_words());
    if (kind_of_handle(fd) == FileKind::regular) return FileCall::done;
    _close(fd);
    fd = -1;
    return failed("not a regular file");
}

FileCall FileSystem::remove(const std::string& name) {
    return DeleteFileA(name.c_str()) || not_found(GetLastError()) ? FileCall::done : failed(system_words());
}

FileCall FileSystem::write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const int n = _write(fd, bytes, static_cast<unsigned>(length));
        if (n <= 0) return failed(n < 0 ? crt_words() : "nothing was written");
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return FileCall::done;
}

FileCall FileSystem::flush_to_disk(int fd) { return _commit(fd) == 0 ? FileCall::done : failed(crt_words()); }
FileCall FileSystem::close(int fd) { return _close(fd) == 0 ? FileCall::done : failed(crt_words()); }

// A folder or a device is refused before it is read.
FileCall FileSystem::open_regular(const std::string& name, int& fd, FileKind& kind) {
    fd = -1;
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        kind = not_found(GetLastError()) ? FileKind::missing : FileKind::inaccessible;
        return failed(system_words());
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        kind = FileKind::folder;
        return failed("a folder");
    }
    if (_sopen_s(&fd, name.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYWR, _S_IREAD) != 0) {
        kind = FileKind::inaccessible;
        return failed(crt_words());
    }
    kind = kind_of_handle(fd);
    if (kind == FileKind::regular) return FileCall::done;
    _close(fd);
    fd = -1;
    return failed("not a regular file");
}

FileCall FileSystem::read_some(int fd, char* buffer, std::size_t size, std::size_t& got) {
    const int n = _read(fd, buffer, static_cast<unsigned>(size));
    got = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n >= 0 ? FileCall::done : failed(crt_words());
}

FileCall FileSystem::size_of(int fd, std::uint64_t& size) {
    const __int64 length = _filelengthi64(fd);
    if (length < 0) return failed(crt_words());
    size = static_cast<std::uint64_t>(length);
    return FileCall::done;
}

FileCall FileSystem::rename_over(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? FileCall::done
               : failed(system_words());
}

void FileSystem::sync_folder() {}  // the moves are write-through

FileKind FileSystem::kind_of(const std::string& name) {
    const DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return not_found(GetLastError()) ? FileKind::missing : FileKind::other;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? FileKind::folder : FileKind::regular;
}

std::string FileSystem::version_of(const std::string& name) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return "";
    return std::to_string(data.nFileSizeHigh) + ":" + std::to_string(data.nFileSizeLow) + ":" +
           std::to_string(data.ftCreationTime.dwLowDateTime) + ":" +
           std::to_string(data.ftLastWriteTime.dwHighDateTime) + "." +
           std::to_string(data.ftLastWriteTime.dwLowDateTime);
}

// Another run holding the lock file shows as a sharing violation; "access
// denied" means this folder cannot be written.
LockCall FileSystem::lock_folder(std::intptr_t& token) {
    const HANDLE lock = CreateFileA(LOCK_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (lock != INVALID_HANDLE_VALUE) {
        token = reinterpret_cast<std::intptr_t>(lock);
        return LockCall::taken;
    }
    const bool held = GetLastError() == ERROR_SHARING_VIOLATION;
    (void)failed(system_words());
    return held ? LockCall::held : LockCall::failed;
}

void FileSystem::unlock_folder(std::intptr_t token) {
    CloseHandle(reinterpret_cast<HANDLE>(token));  // NOLINT(performance-no-int-to-ptr): the handle lock_folder kept
}

FileSystem& real_file_system() {
    static FileSystem files;
    return files;
}

}  // namespace k210
