// The settings files on Windows: files are created new with _O_EXCL and no
// sharing, flushed with _commit, replaced with MoveFileEx (write-through).
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "serial_link/port_system_win32.h"
#include "settings/query_table.h"
#include "settings/settings_store.h"

namespace {

constexpr const char* LOCK_NAME = "SETTINGS.LCK";

std::string reason(const std::string& what) { return what + ": " + system_message(GetLastError()); }

// Created new: whatever stood in the name is removed first.
int create_new(const char* name) {
    if (!DeleteFileA(name) && GetLastError() != ERROR_FILE_NOT_FOUND) return -1;
    int fd = -1;
    if (_sopen_s(&fd, name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYRW, _S_IREAD | _S_IWRITE) != 0)
        return -1;
    return fd;
}

bool write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const int n = _write(fd, bytes, static_cast<unsigned>(length));
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool finish_file(int fd) {
    const bool committed = _commit(fd) == 0;
    const bool closed = _close(fd) == 0;
    return committed && closed;
}

bool move_into_place(const char* from, const char* to) {
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// Regular files only: a folder or a device is refused, never waited on.
int open_regular(const char* name, std::string& error, bool& missing) {
    missing = false;
    const DWORD attributes = GetFileAttributesA(name);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
        error = std::string(name) + (missing ? " cannot be read" : " is not a regular file, not a settings file") +
                " (" + system_message(code) + ")" + (missing ? "" : "; move it away");
        return -1;
    }
    int fd = -1;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        _sopen_s(&fd, name, _O_RDONLY | _O_BINARY, _SH_DENYWR, _S_IREAD) != 0 ||
        GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK) {
        error = std::string(name) + " is not a regular file, not a settings file; move it away";
        if (fd >= 0) _close(fd);
        return -1;
    }
    return fd;
}

bool keep_previous_as_backup(std::string& error) {
    const DWORD attributes = GetFileAttributesA(SETTINGS_FILE_NAME);
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError() == ERROR_FILE_NOT_FOUND;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = std::string(SETTINGS_FILE_NAME) + " is a folder, not a settings file; move it away";
        return false;
    }
    if (!CopyFileA(SETTINGS_FILE_NAME, SETTINGS_BACKUP_TEMP_NAME, FALSE) ||
        !move_into_place(SETTINGS_BACKUP_TEMP_NAME, SETTINGS_BACKUP_NAME)) {
        error = reason(std::string("cannot make ") + SETTINGS_BACKUP_NAME);
        DeleteFileA(SETTINGS_BACKUP_TEMP_NAME);
        return false;
    }
    return true;
}

}  // namespace

FolderLock::~FolderLock() {
    if (handle_ >= 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));  // and the lock file goes with it
}

FolderLock::Result FolderLock::take(std::string& error) {
    const HANDLE lock = CreateFileA(LOCK_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (lock == INVALID_HANDLE_VALUE) {
        const bool held = GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_ACCESS_DENIED;
        error = held ? "another k210prog run is using this folder" : reason("cannot lock the working folder");
        return held ? Result::held_by_another_run : Result::unavailable;
    }
    handle_ = reinterpret_cast<long long>(lock);
    return Result::taken;
}

CaptureFile::~CaptureFile() { discard(); }

bool CaptureFile::begin(std::string& error) {
    const int fd = create_new(SETTINGS_TEMP_NAME);
    if (fd < 0) {
        error = reason(std::string("cannot create ") + SETTINGS_TEMP_NAME);
        return false;
    }
    handle_ = fd;
    write_failed_ = false;
    return true;
}

void CaptureFile::write(const std::string& bytes) {
    if (handle_ >= 0 && !write_all(static_cast<int>(handle_), bytes.data(), bytes.size())) write_failed_ = true;
}

bool CaptureFile::finish(std::string& error) {
    if (handle_ < 0) return false;
    const bool finished = finish_file(static_cast<int>(handle_));
    handle_ = -2;  // closed, still to be moved or removed
    if (write_failed_ || !finished) {
        error = std::string("cannot write ") + SETTINGS_TEMP_NAME;
        return false;
    }
    return true;
}

bool CaptureFile::archive_as(const std::string& name, std::string& error) {
    if (handle_ != -2) return false;
    if (!CopyFileA(SETTINGS_TEMP_NAME, name.c_str(), TRUE)) {
        error = reason("cannot create " + name);
        return false;
    }
    return true;
}

bool CaptureFile::replace_settings(std::string& error) {
    if (handle_ != -2) return false;
    if (!keep_previous_as_backup(error)) return false;
    if (!move_into_place(SETTINGS_TEMP_NAME, SETTINGS_FILE_NAME)) {
        error = reason(std::string("cannot replace ") + SETTINGS_FILE_NAME);
        return false;
    }
    handle_ = -1;
    return true;
}

void CaptureFile::discard() {
    if (handle_ >= 0) _close(static_cast<int>(handle_));
    if (handle_ != -1) DeleteFileA(SETTINGS_TEMP_NAME);
    handle_ = -1;
}

bool ensure_settings_file() {
    int fd = -1;
    if (_sopen_s(&fd, SETTINGS_FILE_NAME, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO,
                 _S_IREAD | _S_IWRITE) == 0)
        return _close(fd) == 0;
    return errno == EEXIST;
}

SettingsRead read_settings_file(const char* name, std::string& content, std::string& error) {
    content.clear();
    bool missing;
    const int fd = open_regular(name, error, missing);
    if (fd < 0) return missing ? SettingsRead::missing : SettingsRead::refused;
    char block[4096];
    int n;
    while ((n = _read(fd, block, sizeof block)) > 0 && content.size() <= SETTINGS_FILE_LIMIT)
        content.append(block, static_cast<std::size_t>(n));
    const bool failed = n < 0;
    _close(fd);
    if (failed) error = std::string("cannot read ") + name;
    if (content.size() > SETTINGS_FILE_LIMIT)
        error = std::string(name) + " is larger than " + std::to_string(SETTINGS_FILE_LIMIT) +
                " bytes, not a settings file";
    return failed || content.size() > SETTINGS_FILE_LIMIT ? SettingsRead::refused : SettingsRead::ok;
}

bool replace_small_file(const char* name, const std::string& bytes, std::string& error) {
    const std::string aside = std::string(name) + ".TMP";
    const int fd = create_new(aside.c_str());
    bool ok = fd >= 0 && write_all(fd, bytes.data(), bytes.size());
    if (fd >= 0) ok = finish_file(fd) && ok;
    if (!ok || !move_into_place(aside.c_str(), name)) {
        error = reason(std::string("cannot write ") + name);
        DeleteFileA(aside.c_str());
        return false;
    }
    return true;
}

bool remove_file(const char* name) { return DeleteFileA(name) || GetLastError() == ERROR_FILE_NOT_FOUND; }
