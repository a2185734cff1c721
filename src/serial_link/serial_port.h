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

namespace k210 {

enum class Parity { none, even };

// How the line is set up, and how it is left at close.
struct LineSettings {
    unsigned baud = 9600;  // 9600, 19200 or 38400; any other speed is refused
    Parity parity = Parity::none;
    bool dtr_on = true;  // the modem lines right after open
    bool rts_on = true;
    bool hang_up_on_close = true;            // false: DTR and RTS keep their state past the close
    bool drain_output_on_close = false;      // false: output still queued is dropped
    bool restore_settings_on_close = false;  // false: only the read time-outs are put back
    // Asks the driver to hand received bytes over at once rather than after
    // a USB adapter's latency timer, and puts back what it found at close. A
    // device that cannot (a pseudo-terminal, a built-in port, any port on
    // Windows, where the timer is a setting of the driver) is used as it is.
    bool low_latency = false;
    // On Windows, the analyzer's line makes exactly the calls its written
    // behaviour lists, and so does not keep three promises of this header
    // there: a write has no time-out, the line settings are not read back,
    // and a failed open closes the port without putting back the time-outs
    // it changed. On other systems this has no effect.
    bool exact_windows_calls = false;
};

// When a read ends: at `limit` bytes, `interval_ms` after a byte when more
// bytes are slow to follow (0: no such rule), or when the total time
// (`total_per_byte_ms` x limit + `total_constant_ms`) has passed.
struct ReadPolicy {
    int interval_ms = 0;
    int total_per_byte_ms = 0;
    int total_constant_ms = 0;
    bool operator==(const ReadPolicy& o) const {
        return interval_ms == o.interval_ms && total_per_byte_ms == o.total_per_byte_ms &&
               total_constant_ms == o.total_constant_ms;
    }
};

enum class OpenStatus {
    ok,
    open_failed,       // no device, busy, not a serial line, or its set-up failed
    settings_refused,  // the device refused the line settings or silently did not take them
};

// The outcome of a write, a drain, a change of the modem lines or of the speed.
enum class PortResult { ok, failed };

enum class ReadEnd {
    limit,        // `limit` bytes came
    time_rule,    // the interval or the total time ended it (with or without bytes)
    device_gone,  // the device hung up or failed: not silence
};

struct ReadResult {
    std::size_t count = 0;
    ReadEnd end = ReadEnd::time_rule;
    bool line_error = false;  // a byte came with a parity or framing error (parity lines only)
};

enum class CloseStatus { ok, failed, not_open };

class PortSystem;
PortSystem& real_port_system();

// What a user of this system does to set a USB adapter's latency timer to 1 ms.
std::string latency_timer_advice();

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
