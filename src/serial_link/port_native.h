// The system's side of one serial port, as each platform file maps it:
// serial_port_posix.cpp and serial_port_win32.cpp define NativePort, with
// the same functions in the same order. What to do, and when, is decided
// in serial_port.cpp; the platform files only map each step to the
// system's calls.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "serial_link/deadline.h"
#include "serial_link/port_types.h"

namespace k210 {

// What the system said, in the terms the port's messages and hints need.
enum class ErrorKind { none, permission, busy, no_device, not_serial, hung_up, other };

// The step of the port's work that failed.
enum class PortStep {
    open,            // getting the device
    lock,            // claiming it for this program alone
    queues,          // the driver's queue sizes
    time_outs,       // the driver's time-outs
    read_settings,   // the line settings as found
    apply_settings,  // the line settings asked for
    read_back,       // the line settings as taken
    write,
    read,
    modem_lines,
    speed,
    close,
};

struct SystemError {
    PortStep step = PortStep::open;
    ErrorKind kind = ErrorKind::none;
    std::string reason;  // the system's own words; empty when it gave none
};

// The outcome of one mapped call; on failure, NativePort::error() says why.
enum class Call { done, failed };

// The line as the device reports it after it was set.
struct LineTaken {
    unsigned baud = 0;
    bool eight_bits = false;
    bool one_stop_bit = false;
    bool even_parity = false;
    bool no_flow_control = false;
};

// A write's wait that has no time limit.
constexpr int NO_TIME_LIMIT = -1;

class PortSystem;

class NativePort {
  public:
    explicit NativePort(PortSystem& system);
    ~NativePort();
    NativePort(const NativePort&) = delete;
    NativePort& operator=(const NativePort&) = delete;

    bool is_open() const;
    // A simulated line (a pseudo-terminal; every port under Wine), known once open_device is done.
    bool is_simulated() const;
    const SystemError& error() const;
    PortClock::time_point now();
    void sleep_until(PortClock::time_point when);

    // Opening, in the order the shared half calls them; after a failure
    // only undo_open is called.
    [[nodiscard]] Call open_device(const std::string& path, const LineSettings& line);
    [[nodiscard]] Call set_up(const ReadPolicy& policy);
    [[nodiscard]] Call read_settings();
    [[nodiscard]] Call apply_settings(const LineSettings& line);
    // The line as the device now reports it, or (as_applied) as it was asked for.
    [[nodiscard]] Call read_back(LineTaken& taken);
    void as_applied(LineTaken& taken);
    // Frees the device; first puts back what the open changed (as far as
    // the line allows) when `put_back` is set.
    void undo_open(bool put_back);
    // True when applying the settings already drove DTR and RTS as the line asks.
    bool settings_drive_modem_lines() const;
    // Asks for low latency; what was found is put back by put_back().
    [[nodiscard]] Call request_low_latency();
    // Whether the driver had low latency on already, and whether the request changed it.
    bool latency_found_on() const;
    bool latency_changed() const;

    // Writes what the device takes now, waiting for it at most `wait_ms`
    // (NO_TIME_LIMIT: as long as the system's write takes).
    [[nodiscard]] Call write_some(const unsigned char* bytes, std::size_t length, int wait_ms, std::size_t& written);
    [[nodiscard]] ReadResult read(unsigned char* buffer, std::size_t limit, const ReadPolicy& policy);
    void apply_read_policy(const ReadPolicy& policy);
    void discard_output();
    void discard_input();
    [[nodiscard]] Call drain();
    [[nodiscard]] Call drive_rts(bool on);
    [[nodiscard]] Call drive_dtr(bool on);
    [[nodiscard]] Call apply_speed(unsigned baud);

    // Closing, in the order the shared half calls them.
    void release_exclusive_use();
    void clear_line_errors();
    // Puts back the read time-outs and the driver's latency as found, and
    // the whole line as found when `whole_line` is set; DTR and RTS stay as
    // driven past the close when `keep_modem_lines` is set.
    void put_back(bool whole_line, bool keep_modem_lines);
    [[nodiscard]] Call close_device();

  private:
    struct Data;
    std::unique_ptr<Data> d_;
};

}  // namespace k210
