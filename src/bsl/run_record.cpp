#include "bsl/run_record.h"

#include <chrono>
#include <initializer_list>
#include <utility>

#include "files/file_steps.h"

namespace k210::bsl {

namespace {

// The start is kept whole up to here; with the marker and at most twice the
// tail after it, the file stays within RECORD_LIMIT.
constexpr std::size_t HEAD_LIMIT = RECORD_LIMIT - 2 * RECORD_TAIL - 4096;

}  // namespace

std::string hex_bytes(const unsigned char* bytes, std::size_t count) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += ' ';
        text += DIGITS[bytes[i] >> 4];
        text += DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

// The clock is read from start() on: its owner may not be ready before.
RunRecord::RunRecord(FileSystem& files, std::FILE* errors, Clock clock)
    : files_(files), errors_(errors), clock_(std::move(clock)) {}

RunRecord::~RunRecord() {
    if (fd_ >= 0) (void)files_.close(fd_);  // everything is written already
}

void RunRecord::give_up(const std::string& why) {
    if (fd_ >= 0) (void)files_.close(fd_);
    fd_ = -1;
    std::fprintf(errors_, "BSL.EXE: no record of this run in %s from here on: %s; the run goes on\n", path_.c_str(),
                 why.c_str());
    std::fflush(errors_);
}

// The previous record stays, as PATH.1; whatever else stands in the name
// (a link, a FIFO) is removed, never written through or waited on.
void RunRecord::start(const std::string& path) {
    start_ = clock_();
    if (path == NO_RECORD || fd_ >= 0) return;
    path_ = path;
    const FileKind found = files_.kind_of(path);
    if (found == FileKind::regular && files_.rename_over(path, path + ".1") != FileCall::done)
        return give_up("cannot keep the previous record as " + path + ".1 (" + files_.reason() + ")");
    if (found == FileKind::folder) return give_up(path + " is a folder");
    int fd = -1;
    if (create_new(files_, path, fd, true) != FileCall::done)
        return give_up("cannot create it (" + files_.reason() + ")");
    fd_ = fd;
}

void RunRecord::line(const std::string& text) {
    if (fd_ < 0) return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%10.1f ", std::chrono::duration<double, std::milli>(clock_() - start_).count());
    write(stamp + text + "\n");
}

void RunRecord::sent(const unsigned char* bytes, std::size_t count) {
    if (count > 0) line("sent " + hex_bytes(bytes, count));
}

void RunRecord::received(const unsigned char* bytes, std::size_t count, const ReadResult& result) {
    if (result.end == ReadEnd::device_gone) return line("received nothing: the device is gone");
    if (count == 0) return line("received nothing in time");
    line("received " + hex_bytes(bytes, count) + (result.line_error ? " (with a parity or framing error)" : ""));
}

// Each line goes out at once, so a run that is killed leaves its record up to then.
void RunRecord::write(const std::string& text) {
    if (files_.write_all(fd_, text.data(), text.size()) != FileCall::done)
        return give_up("cannot write it (" + files_.reason() + ")");
    if (tail_.empty() && head_.size() + text.size() <= HEAD_LIMIT) {
        head_ += text;
    } else {
        tail_ += text;
        keep_within_the_limit();
    }
}

// Past the limit the record is written again whole: the start, a line that
// says what was left out, and the latest RECORD_TAIL from a line's start.
// It is written aside and moved over the record in one step, so a run killed
// meanwhile leaves the record as it stood.
void RunRecord::keep_within_the_limit() {
    if (tail_.size() <= 2 * RECORD_TAIL) return;
    const std::size_t line_start = tail_.find('\n', tail_.size() - RECORD_TAIL);
    const std::size_t cut = line_start == std::string::npos ? tail_.size() : line_start + 1;
    dropped_ += cut;
    tail_.erase(0, cut);
    const std::string marker = "           ... " + std::to_string(dropped_) +
                               " bytes of the record left out here, to keep it within 4 MiB: its start and its "
                               "last 1 MiB are kept ...\n";
    const std::string aside = path_ + ".new";
    int fd = -1;
    FileCall call = create_new(files_, aside, fd, true);
    for (const std::string* part : std::initializer_list<const std::string*>{&head_, &marker, &tail_})
        if (call == FileCall::done) call = files_.write_all(fd, part->data(), part->size());
    if (fd >= 0 && files_.close(fd) != FileCall::done) call = FileCall::failed;
    (void)files_.close(fd_);  // written whole already; no system lets an open file be replaced
    fd_ = -1;
    if (call == FileCall::done) call = files_.rename_over(aside, path_);
    if (call == FileCall::done) call = files_.append_to(path_, fd_);
    if (call == FileCall::done) return;
    const std::string why = files_.reason();
    (void)files_.remove(aside);  // a record cut short stays as it was
    give_up("cannot write it again (" + why + ")");
}

}  // namespace k210::bsl
