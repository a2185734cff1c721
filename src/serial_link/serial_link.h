// The one serial line to the analyzer: open, send, timed read, close.
// 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS on, no flow
// control. The link is one object for the life of the process; these
// functions are the analyzer's operations on it.
#pragma once

#include <cstddef>
#include <string>

#include "serial_link/port_name.h"
#include "serial_link/serial_port.h"

// Port status codes of open_port and close_port (the numbers users may know).
enum class PortStatus {
    ok = 0,
    open_failed = 2,       // no device, busy, not a serial line, or its set-up failed
    settings_refused = 3,  // the device refused 9600-8-N-1 or did not take it
    close_failed = 4,      // also when the link is not open
};

enum class SendStatus {
    ok,
    failed,  // the write failed or did not take every byte
};

// Reply read limit used by the capture pass and the time-out formula.
constexpr std::size_t REPLY_LIMIT = 256;
// Read time-outs: gap after the latest byte, and total = per byte x limit + constant.
constexpr int READ_INTERVAL_MS = 250;
constexpr int READ_TOTAL_PER_BYTE_MS = 10;
constexpr int READ_TOTAL_CONSTANT_MS = 1000;

// The analyzer's line and read rules, as values.
LineSettings analyzer_line();
ReadPolicy analyzer_read_policy();

// The link: a port with the analyzer's line and read rules. The functions
// below work on the program's one link; tests make their own.
class AnalyzerLink {
  public:
    explicit AnalyzerLink(PortSystem& system = real_port_system()) : port_(system) {}
    [[nodiscard]] PortStatus open(const PortName& port);
    [[nodiscard]] SendStatus send(const char* bytes, std::size_t length);
    [[nodiscard]] ReadResult read(char* buffer, std::size_t limit);
    [[nodiscard]] PortStatus close();
    const std::string& failure_reason() const { return port_.failure_reason(); }

  private:
    SerialPort port_;
};

// Opens and sets up the port; anything but ok leaves the link closed.
[[nodiscard]] PortStatus open_port(const PortName& port);

// Drops waiting input (the late part of an earlier reply), then writes all bytes.
[[nodiscard]] SendStatus send_command(const char* bytes, std::size_t length);

// One timed read of at most limit bytes into buffer (limit + 1 bytes long).
// The count read is NUL-terminated in buffer; nothing that came in time is an
// empty text. When the device is gone (end device_gone) the count is 0 and
// the buffer is left as it was.
[[nodiscard]] ReadResult read_reply(char* buffer, std::size_t limit);

// Drops pending output and input, puts the time-outs back and closes.
[[nodiscard]] PortStatus close_port();

// Why the latest open, send or read failed, for the user: the device, the
// system's reason and a hint. Empty after a successful open.
std::string port_failure_reason();
