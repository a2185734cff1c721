#include "bsl/console.h"

Console::Console(std::FILE* out) : out_(out), terminal_(stream_is_terminal(out)) {}

void Console::say(const std::string& line) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void Console::show_progress(const char* action, std::size_t done, std::size_t total) {
    if (action != action_) {
        action_ = action;
        shown_step_ = -1;
    }
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (terminal_) {
        std::fprintf(out_, "\r%-12s %3d%%  %zu / %zu bytes", action, percent, done, total);
        if (done == total) std::fprintf(out_, "\n");
        std::fflush(out_);
    } else if (percent / 10 > shown_step_ || done == total) {
        shown_step_ = percent / 10;
        std::fprintf(out_, "%-12s %3d%%  %zu / %zu bytes\n", action, percent, done, total);
        std::fflush(out_);
    }
}

void Console::end_progress() {
    if (terminal_) std::fprintf(out_, "\n");
}
