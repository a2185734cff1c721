// Reading an image file, regular files only: a FIFO would hold the reader
// for good and a device such as /dev/zero would feed it without end.
#pragma once

#include <cstddef>
#include <string>

namespace k210::bsl {

enum class FileRead {
    ok,
    cannot_open,  // missing, or not readable
    not_a_file,   // a folder, a FIFO, a device: refused at once, never waited on
    too_large,    // larger than the limit: refused before it is read
    cannot_read,  // a read failed half-way
};

struct FileText {
    FileRead result = FileRead::ok;
    std::string text;    // the whole file, when ok
    std::string detail;  // the system's reason; for not_a_file what it is ("a FIFO"); for too_large its size
};

// Reads the whole regular file at `path` when it holds at most `limit` bytes.
[[nodiscard]] FileText read_regular_file(const std::string& path, std::size_t limit);

}  // namespace k210::bsl
