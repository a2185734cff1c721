// Steps over the file calls that both programs take the same way: a file
// created new, a file finished on disk, a copy, and a whole file read.
// Each fails with the system's words in the FileSystem's reason().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "files/file_system.h"

namespace k210 {

// Created new, never through a link: whatever stood in the name is removed
// first. `readable`: others may read it while it is written.
[[nodiscard]] FileCall create_new(FileSystem& files, const std::string& name, int& fd, bool readable = false);

// Flushed to disk, then closed whatever the flush did.
[[nodiscard]] FileCall finish_file(FileSystem& files, int fd);

// Copies the regular file `from` to `to`, created new and flushed; `to` is
// removed again when the copy fails.
[[nodiscard]] FileCall copy_to_new(FileSystem& files, const std::string& from, const std::string& to);

enum class FileRead {
    ok,
    missing,
    cannot_open,  // something is there, but it could not be opened
    not_a_file,   // a folder, a FIFO, a device: refused at once, never waited on
    too_large,    // larger than the limit: refused before it is read, or as it grows past it
    cannot_read,  // a read failed half-way
};

struct FileContent {
    FileRead outcome = FileRead::cannot_read;
    std::string bytes;                  // the whole file, when ok
    FileKind kind = FileKind::missing;  // what stands under the name, when not_a_file
    std::uint64_t size = 0;             // its size, when too_large
};

// What stands under a name that is not a regular file, for a message: "a FIFO".
const char* kind_text(FileKind kind);

// Reads the whole regular file `path` when it holds at most `limit` bytes.
[[nodiscard]] FileContent read_regular_file(FileSystem& files, const std::string& path, std::size_t limit);

}  // namespace k210
