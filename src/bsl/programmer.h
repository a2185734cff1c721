// One run of BSL.EXE: the image read and checked whole, the port opened,
// the requested actions in their order, and the last line that says how it
// all ended.
#pragma once

#include <cstdio>

#include "bsl/console.h"
#include "bsl/flash_image.h"
#include "bsl/loader_actions.h"
#include "bsl/request.h"
#include "serial_link/serial_port.h"

namespace k210::bsl {

// The loader's line: 9600 baud 8E1, DTR and RTS under the programmer's
// control and kept as they are left when the port closes, so the analyzer
// stays out of reset once the programmer has ended.
LineSettings loader_line();

// The session owns the port; progress and the last line go to `out`.
class ProgrammerSession {
  public:
    explicit ProgrammerSession(ProgrammerRequest request, std::FILE* out = stdout,
                               PortSystem& system = real_port_system());
    // Runs the requested actions. Returns 0 when all of them succeeded, else 1.
    [[nodiscard]] int run();

  private:
    [[nodiscard]] bool check_image(FlashImage& image);
    [[nodiscard]] bool run_actions(LoaderActions& actions, const FlashImage& image, bool& started) const;
    // The last line: what was done, and how fast each pass went.
    void report_done(const FlashImage& image, double seconds, bool started, const std::vector<PassRate>& rates);

    ProgrammerRequest request_;
    Console console_;
    SerialPort port_;
};

}  // namespace k210::bsl
