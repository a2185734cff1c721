// The port's public types: how a line is set up and read, and the outcomes
// of its operations. The port's own header and its platform halves share them.
#pragma once

#include <cstddef>

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
    // What the port does beyond setting the line up; all on unless a line
    // must make no call beyond the few its set-up needs (see analyzer_line()).
    bool read_back_settings = true;   // false: the line is judged by what was asked for, not read back
    bool time_limited_writes = true;  // false: one write with no time limit, which must take every byte
    bool undo_failed_open = true;     // false: a failed open frees the port without putting back its changes
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

}  // namespace k210
