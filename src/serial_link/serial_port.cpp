// What every system's port does the same way: the order of the steps of
// an open and a close and what is checked between them, what the line's
// options ask of each step, the write's time budget, the order of the modem
// lines, and the messages. The platform files only map these steps to the
// system's calls (port_native.h).
#include <algorithm>
#include <climits>
#include <iterator>
#include <string>

#include "serial_link/port_native.h"
#include "serial_link/serial_port.h"

namespace k210 {

namespace {

constexpr unsigned SPEEDS[] = {9600, 19200, 38400};

bool is_supported(unsigned baud) {
    return std::any_of(std::begin(SPEEDS), std::end(SPEEDS), [baud](unsigned speed) { return speed == baud; });
}

const char* doing(PortStep step) {
    switch (step) {
        case PortStep::open: return "cannot open";
        case PortStep::lock: return "cannot use it";
        case PortStep::queues: return "cannot set the queue sizes";
        case PortStep::time_outs: return "cannot set the time-outs";
        case PortStep::read_settings: return "cannot read the line settings";
        case PortStep::apply_settings: return "the line settings were refused";
        case PortStep::read_back: return "cannot read the line settings back";
        case PortStep::write: return "writing failed";
        case PortStep::read: return "reading failed";
        case PortStep::modem_lines: return "cannot drive the modem lines DTR and RTS";
        case PortStep::speed: return "cannot change the speed";
        case PortStep::close: return "closing failed";
    }
    return "failed";
}

const char* hint_for(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::permission:
            return "permission denied: add your user to the group that owns serial devices "
                   "(dialout or uucp), then log in again";
        case ErrorKind::busy:
            return "the port is busy: another program (a terminal program; on Linux also ModemManager) "
                   "holds it; close that program and try again";
        case ErrorKind::no_device:
            return "no such device: is the adapter plugged in, and is COMn the port it has? "
                   "(a COMn link in this folder, or the number the system gave it)";
        case ErrorKind::not_serial: return "this is not a serial device";
        case ErrorKind::hung_up: return "adapter unplugged, or the analyzer switched off?";
        case ErrorKind::none:
        case ErrorKind::other: break;
    }
    return "";
}

// 11 bits a byte at most (start, 8 data, parity, stop).
long wire_ms(std::size_t length, unsigned baud) {
    return static_cast<long>(length) * 11 * 1000 / static_cast<long>(baud);
}

}  // namespace

struct SerialPort::State {
    explicit State(PortSystem& system) : native(system) {}
    NativePort native;
    LineSettings line;
    ReadPolicy policy;
    PortDevice device;
    std::string failure;
    bool parity_in_effect = false;
    bool low_latency = false;

    void fail(const std::string& what) { failure = device.path + ": " + what; }

    // One write, as long as the system's write takes; it must take every byte.
    PortResult write_whole(const unsigned char* bytes, std::size_t length) {
        std::size_t written = 0;
        if (native.write_some(bytes, length, NO_TIME_LIMIT, written) != Call::done) {
            fail(native.error());
            return PortResult::failed;
        }
        if (written == length) return PortResult::ok;
        fail("writing failed: the device took " + std::to_string(written) + " of " + std::to_string(length) + " bytes");
        return PortResult::failed;
    }

    // The step that failed as the system said it, and what usually helps.
    void fail(const SystemError& error) {
        std::string what = error.kind == ErrorKind::hung_up ? "the device hung up" : doing(error.step);
        if (!error.reason.empty()) what += ": " + error.reason;
        const std::string hint = hint_for(error.kind);
        if (!hint.empty()) what += " (" + hint + ")";
        fail(what);
    }

    OpenStatus fail_open(OpenStatus status) {
        fail(native.error());
        native.undo_open(line.undo_failed_open);
        return status;
    }

    OpenStatus fail_open(const std::string& what, OpenStatus status) {
        fail(what);
        native.undo_open(line.undo_failed_open);
        return status;
    }

    // The line as the device reports it, or as it was asked for where the
    // line reads nothing back.
    Call line_taken(LineTaken& taken) {
        if (line.read_back_settings) return native.read_back(taken);
        native.as_applied(taken);
        return Call::done;
    }

    // What the device took, against what was asked. A pseudo-terminal has no
    // parity to set; a real adapter that drops it is faulty.
    OpenStatus check_settings_took() {
        LineTaken taken;
        if (line_taken(taken) != Call::done) return fail_open(OpenStatus::settings_refused);
        const bool even = line.parity == Parity::even;
        parity_in_effect = even && taken.even_parity;
        const bool frame = taken.baud == line.baud && taken.eight_bits && taken.one_stop_bit && taken.no_flow_control &&
                           (even || !taken.even_parity);
        if (!frame)
            return fail_open("the device did not take the line settings (" + std::to_string(line.baud) +
                                 " baud, 8 data bits, " + (even ? "even parity" : "no parity") +
                                 ", 1 stop bit, no flow control)",
                             OpenStatus::settings_refused);
        if (even && !parity_in_effect && !native.is_simulated())
            return fail_open(
                "the adapter did not take even parity, which the bootstrap loader needs; "
                "use an adapter that supports parity (most USB serial adapters do)",
                OpenStatus::settings_refused);
        return OpenStatus::ok;
    }
};

SerialPort::SerialPort(PortSystem& system) : state_(std::make_unique<State>(system)) {}

SerialPort::~SerialPort() {
    if (is_open()) (void)close();  // nobody is left to tell about a failed close
}

bool SerialPort::is_open() const { return state_->native.is_open(); }
bool SerialPort::parity_in_effect() const { return state_->parity_in_effect; }
bool SerialPort::low_latency_in_effect() const { return state_->low_latency; }
bool SerialPort::may_be_simulated() const { return state_->native.is_simulated(); }
const std::string& SerialPort::failure_reason() const { return state_->failure; }
const PortDevice& SerialPort::device() const { return state_->device; }
PortClock::time_point SerialPort::now() { return state_->native.now(); }
void SerialPort::sleep_until(PortClock::time_point when) { state_->native.sleep_until(when); }

OpenStatus SerialPort::open(const PortName& name, const LineSettings& line, const ReadPolicy& policy) {
    State& s = *state_;
    NativePort& native = s.native;
    if (native.is_open()) {
        s.fail("the port is already open");
        return OpenStatus::open_failed;
    }
    s.failure.clear();
    s.device = port_device(name);
    s.line = line;
    s.policy = policy;
    s.parity_in_effect = s.low_latency = false;
    if (!is_supported(line.baud)) {
        s.fail("unsupported speed " + std::to_string(line.baud) + " baud (9600, 19200 or 38400)");
        return OpenStatus::settings_refused;
    }
    if (native.open_device(s.device.path, line) != Call::done) return s.fail_open(OpenStatus::open_failed);
    if (native.set_up(policy) != Call::done || native.read_settings() != Call::done)
        return s.fail_open(OpenStatus::open_failed);
    if (native.apply_settings(line) != Call::done) return s.fail_open(OpenStatus::settings_refused);
    const OpenStatus took = s.check_settings_took();
    if (took != OpenStatus::ok) return took;
    // Refused by devices without modem lines (a pseudo-terminal); the line works without them.
    if (!native.settings_drive_modem_lines()) (void)set_modem_lines(line.dtr_on, line.rts_on);
    s.low_latency = line.low_latency && native.request_low_latency() == Call::done;
    native.discard_output();
    native.discard_input();
    return OpenStatus::ok;
}

PortResult SerialPort::write(const void* bytes, std::size_t length) {
    State& s = *state_;
    if (!s.native.is_open()) return PortResult::failed;
    const auto* next = static_cast<const unsigned char*>(bytes);
    if (!s.line.time_limited_writes) return s.write_whole(next, length);
    const Deadline deadline =
        Deadline::after(s.native.now(), std::chrono::milliseconds(1000 + 2 * wire_ms(length, s.line.baud)));
    std::size_t done = 0;
    while (done < length) {
        const auto now = s.native.now();
        if (deadline.passed(now)) {
            s.fail("the device did not take the bytes in time");
            return PortResult::failed;
        }
        std::size_t written = 0;
        if (s.native.write_some(next + done, length - done, deadline.wait_ms(now, INT_MAX), written) != Call::done) {
            s.fail(s.native.error());
            return PortResult::failed;
        }
        done += written;
    }
    return PortResult::ok;
}

ReadResult SerialPort::read(void* buffer, std::size_t limit) {
    State& s = *state_;
    if (!s.native.is_open()) return {0, ReadEnd::device_gone, false};
    const ReadResult result = s.native.read(static_cast<unsigned char*>(buffer), limit, s.policy);
    if (result.end == ReadEnd::device_gone) s.fail(s.native.error());
    return result;
}

void SerialPort::set_read_policy(const ReadPolicy& policy) {
    State& s = *state_;
    if (policy == s.policy) return;
    s.policy = policy;
    if (s.native.is_open()) s.native.apply_read_policy(policy);
}

void SerialPort::discard_input() {
    if (is_open()) state_->native.discard_input();
}

PortResult SerialPort::drain() {
    return is_open() && state_->native.drain() == Call::done ? PortResult::ok : PortResult::failed;
}

PortResult SerialPort::set_modem_lines(bool dtr_on, bool rts_on) {
    State& s = *state_;
    if (!s.native.is_open()) return PortResult::failed;
    if (s.native.drive_rts(rts_on) != Call::done || s.native.drive_dtr(dtr_on) != Call::done) {
        s.fail(s.native.error());
        return PortResult::failed;
    }
    return PortResult::ok;
}

PortResult SerialPort::set_speed(unsigned baud) {
    State& s = *state_;
    if (!s.native.is_open()) return PortResult::failed;
    const std::string refused = "the device did not take " + std::to_string(baud) + " baud";
    if (!is_supported(baud)) {
        s.fail(refused + " (9600, 19200 or 38400 only)");
        return PortResult::failed;
    }
    LineTaken taken;
    if (s.native.apply_speed(baud) != Call::done || s.line_taken(taken) != Call::done) {
        const std::string reason = s.native.error().reason;
        s.fail(refused + (reason.empty() ? "" : ": " + reason));
        return PortResult::failed;
    }
    if (taken.baud != baud) {
        s.fail(refused);
        return PortResult::failed;
    }
    s.line.baud = baud;
    return PortResult::ok;
}

// Every step but the last goes on whatever the one before it did: the port is freed either way.
CloseStatus SerialPort::close() {
    if (!is_open()) return CloseStatus::not_open;
    NativePort& native = state_->native;
    const LineSettings& line = state_->line;
    native.release_exclusive_use();
    native.clear_line_errors();
    if (line.drain_output_on_close) {
        (void)native.drain();  // whether or not the output got out
    } else {
        native.discard_output();
    }
    native.discard_input();
    native.put_back(line.restore_settings_on_close, !line.hang_up_on_close);
    return native.close_device() == Call::done ? CloseStatus::ok : CloseStatus::failed;
}

}  // namespace k210
