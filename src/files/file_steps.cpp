#include "files/file_steps.h"

namespace k210 {

FileCall create_new(FileSystem& files, const std::string& name, int& fd, bool readable) {
    if (files.remove(name) != FileCall::done) return FileCall::failed;
    return readable ? files.create_readable(name, fd) : files.create_exclusive(name, fd);
}

// The file system keeps the words of the step that failed.
FileCall finish_file(FileSystem& files, int fd) {
    const FileCall flushed = files.flush_to_disk(fd);
    const FileCall closed = files.close(fd);
    return flushed == FileCall::done ? closed : FileCall::failed;
}

const char* kind_text(FileKind kind) {
    switch (kind) {
        case FileKind::folder: return "a folder";
        case FileKind::fifo: return "a FIFO";
        case FileKind::device: return "a device";
        case FileKind::missing:
        case FileKind::regular:
        case FileKind::other:
        case FileKind::inaccessible: break;
    }
    return "not a regular file";
}

FileCall copy_to_new(FileSystem& files, const std::string& from, const std::string& to) {
    int in = -1;
    int out = -1;
    FileKind kind = FileKind::missing;
    if (files.open_regular(from, in, kind) != FileCall::done) return FileCall::failed;
    FileCall call = files.create_exclusive(to, out);
    char block[4096];
    std::size_t got = 0;
    while (call == FileCall::done && (call = files.read_some(in, block, sizeof block, got)) == FileCall::done &&
           got > 0)
        call = files.write_all(out, block, got);
    if (out >= 0 && finish_file(files, out) != FileCall::done) call = FileCall::failed;
    if (call != FileCall::done && out >= 0) (void)files.remove(to);  // a partial copy is no copy
    (void)files.close(in);                                           // read to the end, or given up on
    return call;
}

FileContent read_regular_file(FileSystem& files, const std::string& path, std::size_t limit) {
    FileContent file;
    int fd = -1;
    if (files.open_regular(path, fd, file.kind) != FileCall::done) {
        file.outcome = file.kind == FileKind::missing        ? FileRead::missing
                       : file.kind == FileKind::inaccessible ? FileRead::cannot_open
                                                             : FileRead::not_a_file;
        return file;
    }
    file.outcome = FileRead::ok;
    if (files.size_of(fd, file.size) != FileCall::done) file.outcome = FileRead::cannot_read;
    if (file.outcome == FileRead::ok && file.size > limit) file.outcome = FileRead::too_large;
    char block[65536];
    std::size_t got = 0;
    while (file.outcome == FileRead::ok) {
        if (files.read_some(fd, block, sizeof block, got) != FileCall::done) {
            file.outcome = FileRead::cannot_read;
        } else if (got == 0) {
            break;
        } else if (file.bytes.size() + got > limit) {  // a file that grows while it is read
            file.size = file.bytes.size() + got;
            file.outcome = FileRead::too_large;
        } else {
            file.bytes.append(block, got);
        }
    }
    (void)files.close(fd);  // opened for reading only
    if (file.outcome != FileRead::ok) file.bytes.clear();
    return file;
}

}  // namespace k210
