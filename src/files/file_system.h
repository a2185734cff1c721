// The file calls both programs make, behind virtual functions so that a
// test can fail any of them the way a full disk or a planted file would.
// The defaults (file_system_<platform>.cpp) make the real calls; each
// system maps them in the same order. A failed call leaves the system's
// own words in reason().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace k210 {

enum class FileCall { done, failed };

// What stands under a name; inaccessible: something that could not be opened.
enum class FileKind { missing, regular, folder, fifo, device, other, inaccessible };

enum class LockCall { taken, held, failed };

class FileSystem {
  public:
    FileSystem() = default;
    virtual ~FileSystem() = default;
    FileSystem(const FileSystem&) = delete;
    FileSystem& operator=(const FileSystem&) = delete;

    // A new file for writing, never through a link; fails when the name exists.
    [[nodiscard]] virtual FileCall create_exclusive(const std::string& name, int& fd);
    // The same, but others may read the file while it is written (a record of a run).
    [[nodiscard]] virtual FileCall create_readable(const std::string& name, int& fd);
    // An existing regular file for writing at its end, never through a link;
    // others may read it meanwhile.
    [[nodiscard]] virtual FileCall append_to(const std::string& name, int& fd);
    // Done when the name is gone, or was never there.
    [[nodiscard]] virtual FileCall remove(const std::string& name);
    [[nodiscard]] virtual FileCall write_all(int fd, const char* bytes, std::size_t length);
    [[nodiscard]] virtual FileCall flush_to_disk(int fd);
    [[nodiscard]] virtual FileCall close(int fd);
    // A regular file for reading, never waited on; `kind` says what stands
    // under the name when that is not one.
    [[nodiscard]] virtual FileCall open_regular(const std::string& name, int& fd, FileKind& kind);
    // `got` is 0 at the end of the file.
    [[nodiscard]] virtual FileCall read_some(int fd, char* buffer, std::size_t size, std::size_t& got);
    [[nodiscard]] virtual FileCall size_of(int fd, std::uint64_t& size);
    // Moves `from` over `to` in one step, whatever `to` was.
    [[nodiscard]] virtual FileCall rename_over(const std::string& from, const std::string& to);
    // Makes the renames in the working folder durable, where the system can.
    virtual void sync_folder();
    virtual FileKind kind_of(const std::string& name);
    // What tells one version of a regular file from another (its size and
    // when it was last written, its identity where the system has one);
    // empty when no regular file stands under the name.
    virtual std::string version_of(const std::string& name);
    // One run per folder: held until unlock_folder, or until the process ends.
    [[nodiscard]] virtual LockCall lock_folder(std::intptr_t& token);
    virtual void unlock_folder(std::intptr_t token);

    // The system's words for the latest failed call.
    const std::string& reason() const { return reason_; }

  protected:
    FileCall failed(std::string reason) {
        reason_ = std::move(reason);
        return FileCall::failed;
    }

  private:
    std::string reason_;
};

// The system's own files.
FileSystem& real_file_system();

}  // namespace k210
