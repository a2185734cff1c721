// The POSIX line as termios settings: the line asked for, what a device
// reports it took, the settings a close puts back, and the marking a line
// with parity checks gives received bytes. Pure functions: no I/O here.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

#include "serial_link/port_native.h"
#include "serial_link/port_types.h"

namespace k210 {

speed_t speed_for(unsigned baud);  // 9600 for a speed it does not know
unsigned baud_of(speed_t speed);   // 0 for a speed it does not know

// A raw 8-bit line as `line` describes it, on top of what was `found`: no
// translation, echo, signals or flow control. Reads never block: VMIN is 1
// on a port opened non-blocking, so an empty read is EAGAIN and a hung-up
// line reads as end of file. A parity line marks damaged bytes (PARMRK).
termios line_termios(const termios& found, const LineSettings& line);

// `t` at another speed, in both directions.
termios with_speed(termios t, unsigned baud);

// What the device took, as `now` reports it.
LineTaken taken_from(const termios& now);

// The settings a close leaves: the line as `found` at open when
// `whole_line`, else the line as it is `now` with the read settings as
// found; DTR and RTS stay as driven past the close when `keep_modem_lines`.
termios for_close(const termios& found, const termios& now, bool whole_line, bool keep_modem_lines);

// Undoes the marking of a line with PARMRK: FF FF is one FF, FF 00 x is x
// received with an error (`error` is set). `pending` holds a mark cut off
// at the end of `raw`, for the next call.
void unmark(const unsigned char* raw, std::size_t count, std::string& got, std::string& pending, bool& error);

}  // namespace k210
