#include "bsl/run_output.h"

#include "bsl/run_record.h"

namespace k210::bsl {

RunOutput::RunOutput(std::FILE* out, RunRecord* record)
    : out_(out), record_(record), terminal_(stream_is_terminal(out)) {}

void RunOutput::say(const std::string& line) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
    if (record_ != nullptr) record_->line(line);
}

void RunOutput::show_progress(const char* action, std::size_t done, std::size_t total, double seconds) {
    if (action != action_) {
        action_ = action;
        shown_step_ = -1;
    }
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (!terminal_ && percent / 10 <= shown_step_ && done != total) return;
    shown_step_ = percent / 10;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const double left = rate > 0 ? static_cast<double>(total - done) / rate : 0;
    std::fprintf(out_, "%s%-12s %3d%%  %zu / %zu bytes, %.0f bytes/s, %.0f s left%s", terminal_ ? "\r" : "", action,
                 percent, done, total, rate, left, terminal_ && done != total ? "  " : "\n");
    std::fflush(out_);
}

void RunOutput::end_progress() {
    if (terminal_) std::fprintf(out_, "\n");
}

}  // namespace k210::bsl
