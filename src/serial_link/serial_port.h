// One serial port, owned: opened with a line described as data, read under
// a read policy described as data, and closed (putting back what it changed)
// when asked or when the object goes out of scope. What is the same on every
// system lives in serial_port.cpp; serial_port_<platform>.cpp maps it to the
// system's calls, which go through a PortSystem that tests can replace.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "serial_link/deadline.h"
#include "serial_link/port_name.h"
#include "serial_link/port_types.h"

namespace k210 {

class PortSystem;
PortSystem& real_port_system();

// Where a port's traffic goes as it happens, for a record of the run: what
// was written and what was read, and notes from the port (its set-up, the
// modem lines, the speed, the close) and from its owner. A port with no
// trace works the same.
class PortTrace {
  public:
    PortTrace() = default;
    virtual ~PortTrace() = default;
    PortTrace(const PortTrace&) = delete;
    PortTrace& operator=(const PortTrace&) = delete;
    PortTrace(PortTrace&&) = delete;
    PortTrace& operator=(PortTrace&&) = delete;
    virtual void note(const std::string& text) = 0;
    virtual void sent(const unsigned char* bytes, std::size_t count) = 0;
    virtual void received(const unsigned char* bytes, std::size_t count, const ReadResult& result) = 0;
};

// What a user of this system does to set a USB adapter's latency timer to 1 ms.
std::string latency_timer_advice();

// True where this system's port is driven by the communications calls the
// analyzer link was first written for (Windows): the analyzer's adapters
// and their drivers have always been given exactly those, and its line
// keeps to them (analyzer_line()).
bool port_keeps_to_the_analyzers_calls();

class SerialPort {
  public:
    explicit SerialPort(PortSystem& system = real_port_system());
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the port for exclusive use, sets the line and the read policy,
    // reads the line settings back, and drops anything queued. A failed open
    // undoes what it did and keeps nothing; failure_reason() says why. A
    // speed other than 9600, 19200 or 38400 is refused before the port is
    // touched. A port that is already open is not opened again (open_failed).
    [[nodiscard]] OpenStatus open(const PortName& name, const LineSettings& line, const ReadPolicy& policy);
    bool is_open() const;

    // Writes every byte, or fails: the device is gone, or the bytes did not
    // go within twice their time on the wire plus a second.
    [[nodiscard]] PortResult write(const void* bytes, std::size_t length);

    // One read of at most `limit` bytes under the current read policy.
    // Bytes are stored in `buffer` only when the read did not fail.
    [[nodiscard]] ReadResult read(void* buffer, std::size_t limit);
    void set_read_policy(const ReadPolicy& policy);

    void discard_input();
    // Waits until queued output is on the wire.
    [[nodiscard]] PortResult drain();
    // Drives RTS, then DTR (so that when DTR drives a reset, the other line
    // is already in place); failed when the device has no modem lines.
    [[nodiscard]] PortResult set_modem_lines(bool dtr_on, bool rts_on);
    // Changes the line speed and reads it back; failed when it did not take.
    [[nodiscard]] PortResult set_speed(unsigned baud);
    // True when the line checks parity as asked (a pseudo-terminal has none).
    bool parity_in_effect() const;
    // True when the low latency the line asks for was taken.
    bool low_latency_in_effect() const;
    // True when the device may be a simulated line without parity or modem
    // lines: a pseudo-terminal, or (under Wine) any port, which is a Unix device there.
    bool may_be_simulated() const;

    // Sends the port's traffic and notes to `trace` from now on (nullptr: nowhere).
    void trace_to(PortTrace* trace);
    // A note of the port's owner, in the trace beside the traffic.
    void note(const std::string& text);

    // The port's clock and its sleep: the system's, or a test's.
    PortClock::time_point now();
    void sleep_until(PortClock::time_point when);

    // Puts back what open changed (as the line settings say) and frees the
    // port. not_open when there is nothing to close.
    [[nodiscard]] CloseStatus close();

    // Why the latest failed operation failed, for the user: the device, the
    // system's reason and, where one is known, what usually helps.
    const std::string& failure_reason() const;
    // The device path and how COMn led to it, from the latest open.
    const PortDevice& device() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace k210
