// The programmer's output: whole lines, and progress that a terminal shows
// on one line and a log gets every ten percent. Every whole line also goes
// to the run's record, when there is one.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace k210::bsl {

// True when `stream` is a terminal.
bool stream_is_terminal(std::FILE* stream);

class RunRecord;

class RunOutput {
  public:
    explicit RunOutput(std::FILE* out, RunRecord* record = nullptr);
    void say(const std::string& line);
    // `done` of `total` bytes of `action` ("Programming"), `seconds` into
    // it: the rate so far and the time left.
    void show_progress(const char* action, std::size_t done, std::size_t total, double seconds);
    // Before a failure's line: on a terminal, ends a progress line it may cut short.
    void end_progress();

  private:
    std::FILE* out_;
    RunRecord* record_;
    bool terminal_;
    std::string action_;   // the action whose progress is shown
    int shown_step_ = -1;  // tens of percent of it shown so far
};

}  // namespace k210::bsl
