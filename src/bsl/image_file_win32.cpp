#include <windows.h>

#include "bsl/image_file.h"
#include "system/windows_error.h"

namespace k210::bsl {

namespace {

const char* kind_of(DWORD file_type) {
    switch (file_type) {
        case FILE_TYPE_CHAR: return "a device";
        case FILE_TYPE_PIPE: return "a pipe";
        default: return "not a regular file";
    }
}

FileText failed(FileRead result, const std::string& detail, HANDLE file = INVALID_HANDLE_VALUE) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return {result, "", detail};
}

}  // namespace

FileText read_regular_file(const std::string& path, std::size_t limit) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return failed(FileRead::not_a_file, "a folder");
    // Opening a device or a pipe does not wait; reading one might, so only disk files are read.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return failed(FileRead::cannot_open, system_message(GetLastError()));
    const DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK) return failed(FileRead::not_a_file, kind_of(type), file);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) return failed(FileRead::cannot_open, system_message(GetLastError()), file);
    if (static_cast<unsigned long long>(size.QuadPart) > limit)
        return failed(FileRead::too_large, std::to_string(size.QuadPart), file);
    FileText read;
    char block[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, block, sizeof block, &n, nullptr))
            return failed(FileRead::cannot_read, system_message(GetLastError()), file);
        if (n == 0) break;
        read.text.append(block, n);
        // A file that grows while it is read is held to the limit too.
        if (read.text.size() > limit) return failed(FileRead::too_large, "over " + std::to_string(limit), file);
    }
    CloseHandle(file);
    return read;
}

}  // namespace k210::bsl
