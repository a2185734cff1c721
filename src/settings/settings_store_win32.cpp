#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>

#include "settings/query_table.h"
#include "settings/settings_store.h"

namespace {

bool keep_previous_as_backup() {
    if (GetFileAttributesA(SETTINGS_FILE_NAME) == INVALID_FILE_ATTRIBUTES) return true;
    return CopyFileA(SETTINGS_FILE_NAME, SETTINGS_BACKUP_NAME, FALSE) != 0;
}

}  // namespace

std::FILE* begin_capture_file() {
    int fd = -1;
    // Denying others both reading and writing is the exclusive use the file needs.
    if (_sopen_s(&fd, SETTINGS_TEMP_NAME, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYRW,
                 _S_IREAD | _S_IWRITE) != 0)
        return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
}

int commit_capture_file(std::FILE* file) {
    bool written = std::fflush(file) == 0 && !std::ferror(file) && _commit(_fileno(file)) == 0;
    written = (std::fclose(file) == 0) && written;
    if (!written || !keep_previous_as_backup() ||
        !MoveFileExA(SETTINGS_TEMP_NAME, SETTINGS_FILE_NAME, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(SETTINGS_TEMP_NAME);
        return -1;
    }
    return 0;
}

void discard_capture_file(std::FILE* file) {
    std::fclose(file);
    DeleteFileA(SETTINGS_TEMP_NAME);
}

int ensure_settings_file() {
    int fd = -1;
    if (_sopen_s(&fd, SETTINGS_FILE_NAME, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYNO,
                 _S_IREAD | _S_IWRITE) == 0)
        return _close(fd) == 0 ? 0 : -1;
    return errno == EEXIST ? 0 : -1;
}
