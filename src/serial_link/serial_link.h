// The serial line to the analyzer: 9600 baud, 8 data bits, no parity,
// 1 stop bit, DTR and RTS on, no flow control, and the analyzer's read
// rules. Its owner opens it, passes it to whoever talks to the analyzer,
// and it is closed when it goes out of scope (or when asked).
#pragma once

#include <cstddef>
#include <string>

#include "serial_link/port_name.h"
#include "serial_link/serial_port.h"

namespace k210 {

// Reply read limit used by the capture pass and the time-out formula.
constexpr std::size_t REPLY_LIMIT = 256;
// Read time-outs: gap after the latest byte, and total = per byte x limit + constant.
constexpr int READ_INTERVAL_MS = 250;
constexpr int READ_TOTAL_PER_BYTE_MS = 10;
constexpr int READ_TOTAL_CONSTANT_MS = 1000;

// The analyzer's line and read rules, as values. Where the port keeps to
// the calls the analyzer link was first written for, the line makes no
// other: its writes have no time limit, its settings are not read back,
// and a failed open frees the port without putting back its time-outs.
LineSettings analyzer_line();
ReadPolicy analyzer_read_policy();

class AnalyzerLink {
  public:
    explicit AnalyzerLink(PortSystem& system = real_port_system()) : port_(system) {}

    // Opens and sets up the port; anything but ok leaves the link closed.
    [[nodiscard]] OpenStatus open_port(const PortName& port);

    // Drops waiting input (the late part of an earlier reply), then writes
    // all bytes; failed when the device is gone or did not take them.
    [[nodiscard]] PortResult send_command(const char* bytes, std::size_t length);

    // One timed read of at most limit bytes into buffer (limit + 1 bytes
    // long). The count read is NUL-terminated in buffer; nothing that came
    // in time is an empty text. When the device is gone (end device_gone)
    // the count is 0 and the buffer is left as it was.
    [[nodiscard]] ReadResult read_reply(char* buffer, std::size_t limit);

    // Drops pending output and input, puts the time-outs back and closes;
    // not_open when the link is closed already.
    [[nodiscard]] CloseStatus close_port();

    // Why the latest open, send or read failed, for the user: the device,
    // the system's reason and a hint. Empty after a successful open.
    const std::string& failure_reason() const { return port_.failure_reason(); }
    // The device COMn turned out to be, from the latest open.
    const PortDevice& device() const { return port_.device(); }
    // The port's clock, for the pauses between commands.
    PortClock::time_point now() { return port_.now(); }
    void sleep_until(PortClock::time_point when) { port_.sleep_until(when); }

  private:
    SerialPort port_;
};

}  // namespace k210
