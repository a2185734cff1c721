// The settings files on POSIX systems: files are created new with O_EXCL
// and O_NOFOLLOW, flushed with fsync, replaced with rename, and the folder
// is synced after every replacement.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "settings/query_table.h"
#include "settings/settings_store.h"

namespace {

std::string reason(const std::string& what) { return what + ": " + std::strerror(errno); }

// Some file systems cannot sync a folder; the rename is done either way.
void sync_folder() {
    const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    (void)fsync(dir);
    close(dir);
}

// Created new, never through a link: whatever stood in the name is removed first.
int create_new(const char* name) {
    if (unlink(name) != 0 && errno != ENOENT) return -1;
    return open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

bool write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Opens a file for reading without ever waiting on it, regular files only.
int open_regular(const char* name, std::string& error, bool& missing) {
    missing = false;
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        error = reason(std::string("cannot read ") + name);
        return -1;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = std::string(name) + " is " + kind_of(info.st_mode) + ", not a settings file; move it away";
        close(fd);
        return -1;
    }
    return fd;
}

bool copy_to_new(const char* from, const char* to, std::string& error) {
    bool missing;
    const int in = open_regular(from, error, missing);
    if (in < 0) return false;
    const int out = create_new(to);
    bool ok = out >= 0;
    if (!ok) error = reason(std::string("cannot create ") + to);
    char block[4096];
    ssize_t n = 0;
    while (ok && (n = read(in, block, sizeof block)) > 0) ok = write_all(out, block, static_cast<std::size_t>(n));
    if (ok && n < 0) ok = false;
    if (out >= 0) {
        const bool synced = fsync(out) == 0;
        const bool closed = close(out) == 0;
        ok = ok && synced && closed;
    }
    close(in);
    if (!ok) {
        if (error.empty()) error = reason(std::string("cannot write ") + to);
        unlink(to);
    }
    return ok;
}

// The previous SETTINGS.TXT as a new SETTINGS.BAK, made aside and moved into
// place whole, so an earlier good backup is never lost half-way.
bool keep_previous_as_backup(std::string& error) {
    struct stat info;
    if (stat(SETTINGS_FILE_NAME, &info) != 0) return errno == ENOENT;
    if (!S_ISREG(info.st_mode)) {
        error = std::string(SETTINGS_FILE_NAME) + " is " + kind_of(info.st_mode) + ", not a settings file; move it away";
        return false;
    }
    if (unlink(SETTINGS_BACKUP_TEMP_NAME) != 0 && errno != ENOENT) return false;
    const bool made = link(SETTINGS_FILE_NAME, SETTINGS_BACKUP_TEMP_NAME) == 0 ||
                      copy_to_new(SETTINGS_FILE_NAME, SETTINGS_BACKUP_TEMP_NAME, error);
    if (!made || std::rename(SETTINGS_BACKUP_TEMP_NAME, SETTINGS_BACKUP_NAME) != 0) {
        if (error.empty()) error = reason(std::string("cannot make ") + SETTINGS_BACKUP_NAME);
        unlink(SETTINGS_BACKUP_TEMP_NAME);
        return false;
    }
    return true;
}

}  // namespace

FolderLock::~FolderLock() {
    if (handle_ >= 0) close(static_cast<int>(handle_));  // closing releases the lock
}

FolderLock::Result FolderLock::take(std::string& error) {
    const int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        error = reason("cannot open the working folder");
        return Result::unavailable;
    }
    if (flock(dir, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        error = held ? "another k210prog run is using this folder" : reason("cannot lock the working folder");
        close(dir);
        return held ? Result::held_by_another_run : Result::unavailable;
    }
    handle_ = dir;
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
    const int fd = static_cast<int>(handle_);
    handle_ = -2;  // closed, still to be moved or removed
    const bool synced = fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (write_failed_ || !synced || !closed) {
        error = reason(std::string("cannot write ") + SETTINGS_TEMP_NAME);
        return false;
    }
    return true;
}

bool CaptureFile::archive_as(const std::string& name, std::string& error) {
    if (handle_ != -2) return false;
    if (access(name.c_str(), F_OK) == 0) {
        error = name + " exists already";
        return false;
    }
    if (!copy_to_new(SETTINGS_TEMP_NAME, name.c_str(), error)) return false;
    sync_folder();
    return true;
}

bool CaptureFile::replace_settings(std::string& error) {
    if (handle_ != -2) return false;
    if (!keep_previous_as_backup(error)) return false;
    if (std::rename(SETTINGS_TEMP_NAME, SETTINGS_FILE_NAME) != 0) {
        error = reason(std::string("cannot replace ") + SETTINGS_FILE_NAME);
        return false;
    }
    handle_ = -1;
    sync_folder();
    return true;
}

void CaptureFile::discard() {
    if (handle_ >= 0) close(static_cast<int>(handle_));
    if (handle_ != -1) unlink(SETTINGS_TEMP_NAME);
    handle_ = -1;
}

bool ensure_settings_file() {
    const int fd = open(SETTINGS_FILE_NAME, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) return close(fd) == 0;
    return errno == EEXIST;
}

SettingsRead read_settings_file(const char* name, std::string& content, std::string& error) {
    content.clear();
    bool missing;
    const int fd = open_regular(name, error, missing);
    if (fd < 0) return missing ? SettingsRead::missing : SettingsRead::refused;
    char block[4096];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0 && content.size() <= SETTINGS_FILE_LIMIT)
        content.append(block, static_cast<std::size_t>(n));
    const bool failed = n < 0;
    close(fd);
    if (failed) error = reason(std::string("cannot read ") + name);
    if (content.size() > SETTINGS_FILE_LIMIT)
        error = std::string(name) + " is larger than " + std::to_string(SETTINGS_FILE_LIMIT) +
                " bytes, not a settings file";
    return failed || content.size() > SETTINGS_FILE_LIMIT ? SettingsRead::refused : SettingsRead::ok;
}

bool replace_small_file(const char* name, const std::string& bytes, std::string& error) {
    const std::string aside = std::string(name) + ".TMP";
    const int fd = create_new(aside.c_str());
    bool ok = fd >= 0 && write_all(fd, bytes.data(), bytes.size());
    if (fd >= 0) {
        const bool synced = fsync(fd) == 0;
        const bool closed = close(fd) == 0;
        ok = ok && synced && closed;
    }
    ok = ok && std::rename(aside.c_str(), name) == 0;
    if (!ok) {
        error = reason(std::string("cannot write ") + name);
        unlink(aside.c_str());
        return false;
    }
    sync_folder();
    return true;
}

bool remove_file(const char* name) {
    if (unlink(name) != 0) return errno == ENOENT;
    sync_folder();
    return true;
}
