#include "settings/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "settings/query_table.h"

namespace {

bool sync_directory() {
    int dir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    bool ok = fsync(dir) == 0 || errno == EINVAL;  // some file systems cannot sync folders
    close(dir);
    return ok;
}

bool copy_file(const char* from, const char* to) {
    std::FILE* in = std::fopen(from, "rb");
    if (!in) return false;
    std::FILE* out = std::fopen(to, "wb");
    bool ok = out != nullptr;
    char block[4096];
    std::size_t n;
    while (ok && (n = std::fread(block, 1, sizeof block, in)) > 0)
        ok = std::fwrite(block, 1, n, out) == n;
    ok = ok && !std::ferror(in);
    if (out) ok = (std::fflush(out) == 0) && (fsync(fileno(out)) == 0) && (std::fclose(out) == 0) && ok;
    std::fclose(in);
    return ok;
}

// The previous capture becomes the backup; SETTINGS.TXT itself stays in place.
bool keep_previous_as_backup() {
    if (access(SETTINGS_FILE_NAME, F_OK) != 0) return true;
    if (unlink(SETTINGS_BACKUP_NAME) != 0 && errno != ENOENT) return false;
    if (link(SETTINGS_FILE_NAME, SETTINGS_BACKUP_NAME) == 0) return true;
    return copy_file(SETTINGS_FILE_NAME, SETTINGS_BACKUP_NAME);
}

}  // namespace

std::FILE* begin_capture_file() {
    int fd = open(SETTINGS_TEMP_NAME, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (!file) close(fd);
    return file;
}

int commit_capture_file(std::FILE* file) {
    bool written = std::fflush(file) == 0 && !std::ferror(file) && fsync(fileno(file)) == 0;
    written = (std::fclose(file) == 0) && written;
    if (!written || !keep_previous_as_backup() ||
        std::rename(SETTINGS_TEMP_NAME, SETTINGS_FILE_NAME) != 0) {
        unlink(SETTINGS_TEMP_NAME);
        return -1;
    }
    sync_directory();
    return 0;
}

void discard_capture_file(std::FILE* file) {
    std::fclose(file);
    unlink(SETTINGS_TEMP_NAME);
}

int ensure_settings_file() {
    int fd = open(SETTINGS_FILE_NAME, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) return close(fd) == 0 ? 0 : -1;
    return errno == EEXIST ? 0 : -1;
}
