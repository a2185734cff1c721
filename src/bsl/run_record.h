// BSL.EXE's record of its run, BSL.LOG in the working folder: every line
// stamped with the milliseconds since the run began, on the port's clock,
// and written as the run goes (a killed run or a pulled cable leaves what
// happened up to then). It holds the port's traffic in hexadecimal and the
// notes of the port, the loader link, the actions and the session. It is
// bounded: past RECORD_LIMIT the middle is dropped, and the start and the
// last RECORD_TAIL are kept, with a line that says so. It is created new,
// never written through a link or into a FIFO or a device; the previous
// record is kept as BSL.LOG.1. It never fails a run: a record that cannot
// be written is said once on `errors`, and the run goes on without it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "files/file_system.h"
#include "serial_link/serial_port.h"

namespace k210::bsl {

constexpr const char* RECORD_NAME = "BSL.LOG";
constexpr const char* NO_RECORD = "-";  // --log - writes none
constexpr std::size_t RECORD_LIMIT = std::size_t{4} << 20;
constexpr std::size_t RECORD_TAIL = std::size_t{1} << 20;

class RunRecord : public PortTrace {
  public:
    using Clock = std::function<PortClock::time_point()>;
    RunRecord(FileSystem& files, std::FILE* errors, Clock clock);
    ~RunRecord() override;
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;
    RunRecord(RunRecord&&) = delete;
    RunRecord& operator=(RunRecord&&) = delete;

    // Begins the record at `path` (NO_RECORD: none); the time from now on is its time.
    void start(const std::string& path);
    // One line of the record.
    void line(const std::string& text);
    // Whether a record is being written.
    bool writing() const { return fd_ >= 0; }

    void note(const std::string& text) override { line(text); }
    void sent(const unsigned char* bytes, std::size_t count) override;
    void received(const unsigned char* bytes, std::size_t count, const ReadResult& result) override;

  private:
    void write(const std::string& text);
    void keep_within_the_limit();
    void give_up(const std::string& why);

    FileSystem& files_;
    std::FILE* errors_;
    Clock clock_;
    PortClock::time_point start_;
    std::string path_;
    int fd_ = -1;
    std::string head_;         // the start, kept whole once it is RECORD_LIMIT - 2 x RECORD_TAIL long
    std::string tail_;         // what came after the start, of which the latest part is kept
    std::size_t dropped_ = 0;  // bytes left out between them
};

// "80 14 04 04 F0 0F 0E 00 85 E0".
std::string hex_bytes(const unsigned char* bytes, std::size_t count);

}  // namespace k210::bsl
