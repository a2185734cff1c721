// One run of BSL.EXE: the image read and checked whole, the port opened,
// the requested actions in their order, and the last line that says how it
// all ended.
#pragma once

#include <cstdio>

#include "bsl/flash_image.h"
#include "bsl/loader_actions.h"
#include "bsl/request.h"
#include "bsl/run_output.h"
#include "bsl/run_record.h"
#include "files/file_system.h"
#include "serial_link/serial_port.h"

namespace k210::bsl {

// The loader's line: 9600 baud 8E1, DTR and RTS under the programmer's
// control and kept as they are left when the port closes, so the analyzer
// stays out of reset once the programmer has ended.
LineSettings loader_line();

enum class SessionEnd { succeeded, failed };

// The program's exit status: 0 when every requested action succeeded, else 1.
int exit_status(SessionEnd end);

// The session owns the port and the record of the run; progress and the
// last line go to `out`. The last line of a failure says whether the
// analyzer's flash was touched, so a technician knows which failures are harmless.
class ProgrammerSession {
  public:
    explicit ProgrammerSession(ProgrammerRequest request, std::FILE* out = stdout,
                               PortSystem& system = real_port_system(), FileSystem& files = real_file_system());
    [[nodiscard]] SessionEnd run();

  private:
    void start_the_record();
    [[nodiscard]] SessionEnd program(const FlashImage& image, PortClock::time_point start);
    [[nodiscard]] Verdict read_image(FlashImage& image);
    [[nodiscard]] ActionEnd run_actions(LoaderActions& actions, const FlashImage& image, FirmwareStart& start);
    // The last line: what was done, and how fast each pass went.
    void report_done(const FlashImage& image, double seconds, FirmwareStart start, const std::vector<PassRate>& rates);
    SessionEnd fail(const std::string& why, bool flash_changed = false);

    ProgrammerRequest request_;
    FileSystem& files_;
    RunRecord record_;  // before the port: the port's last notes go to it
    RunOutput output_;
    SerialPort port_;
};

}  // namespace k210::bsl
