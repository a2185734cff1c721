// BSL.EXE --check: the cable, the adapter and the programming switches,
// tried without erasing or writing anything. It starts the loader (both
// entry sequences), measures how late its replies come, and leaves it with
// a reset; no password is sent, since a wrong one can make a loader erase.
// Each finding is one line of the output, with what to do about it.
#pragma once

#include <string>

#include "bsl/loader_actions.h"
#include "bsl/request.h"
#include "bsl/run_output.h"
#include "serial_link/serial_port.h"

namespace k210::bsl {

constexpr std::size_t CHECK_PROBES = 8;  // questions to the loader, spread over an adapter's tick

class LineCheck {
  public:
    // `port` is open with the loader's line.
    LineCheck(const ProgrammerRequest& request, SerialPort& port, RunOutput& output);
    // done when the loader answered; failure_reason() says why not, in the
    // words of a programming run.
    [[nodiscard]] ActionEnd run();
    const std::string& failure_reason() const { return failure_; }

  private:
    void say_what_the_line_is();
    void say_how_late_replies_come(const LoaderLink& link);

    const ProgrammerRequest& request_;
    SerialPort& port_;
    RunOutput& output_;
    std::string failure_;
};

}  // namespace k210::bsl
