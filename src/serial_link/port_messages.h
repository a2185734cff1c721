// The port's words for the user: what failed, as the system said it, and
// what usually helps; and the line as asked for and as taken, for the trace.
#pragma once

#include <string>

#include "serial_link/port_native.h"
#include "serial_link/port_types.h"

namespace k210 {

// "cannot open: No such file or directory (no such device: is the adapter plugged in, ...)".
std::string failure_text(const SystemError& error);

// "9600 baud, 8 data bits, even parity, 1 stop bit, no flow control".
std::string line_text(const LineSettings& line);
std::string line_text(const LineTaken& taken);

}  // namespace k210
