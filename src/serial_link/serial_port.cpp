// What every system's port does the same way: the order of the steps of
// an open and a close and what is checked between them, what the line's
// options ask of each step, the write's time budget, the order of the modem
// lines, and what goes to the trace. The platform files only map these
// steps to the system's calls (port_native.h); the messages are in
// port_messages.cpp.
#include <algorithm>
#include <climits>
#include <iterator>
#include <string>

#include "serial_link/port_messages.h"
#include "serial_link/port_native.h"
#include "serial_link/serial_port.h"

namespace k210 {

namespace {

constexpr unsigned SPEEDS[] = {9600, 19200, 38400};

bool is_supported(unsigned baud) {
    return std::any_of(std::begin(SPEEDS), std::end(SPEEDS), [baud](unsigned speed) { return speed == baud; });
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
    PortTrace* trace = nullptr;

    void note(const std::string& text) const {
        if (trace) trace->note(text);
    }

    void fail(const std::string& what) {
        failure = device.path + ": " + what;
        note("failed: " + failure);
    }

    // One write, as long as the system's write takes; it must take every byte.
    PortResult write_whole(const unsigned char* bytes, std::size_t length, std::size_t& written) {
        if (native.write_some(bytes, length, NO_TIME_LIMIT, written) != Call::done) {
            fail(native.error());
            return PortResult::failed;
        }
        if (written == length) return PortResult::ok;
        fail("writing failed: the device took " + std::to_string(written) + " of " + std::to_string(length) + " bytes");
        return PortResult::failed;
    }

    void fail(const SystemError& error) { fail(failure_text(error)); }

    // As many writes as the device needs, within twice the bytes' time on the wire and a second.
    PortResult write_in_time(const unsigned char* bytes, std::size_t length, std::size_t& done) {
        const Deadline deadline =
            Deadline::after(native.now(), std::chrono::milliseconds(1000 + 2 * wire_ms(length, line.baud)));
        while (done < length) {
            const auto now = native.now();
            if (deadline.passed(now)) {
                fail("the device did not take the bytes in time");
                return PortResult::failed;
            }
            std::size_t written = 0;
            if (native.write_some(bytes + done, length - done, deadline.wait_ms(now, INT_MAX), written) != Call::done) {
                fail(native.error());
                return PortResult::failed;
            }
            done += written;
        }
        return PortResult::ok;
    }

    OpenStatus fail_open(OpenStatus status) { return fail_open(failure_text(native.error()), status); }

    OpenStatus fail_open(const std::string& what, OpenStatus status) {
        fail(what);
        native.undo_open(line.undo_failed_open);
        return status;
    }

    // What the open found and did, for the trace.
    void note_open(const LineTaken& taken) const {
        note("line asked: " + line_text(line) + "; taken: " + line_text(taken) +
             (line.parity == Parity::even ? (parity_in_effect ? " (parity checked)" : " (parity not in effect)") : ""));
        if (!line.low_latency) return;
        if (!low_latency) {
            note("low latency: not to be had here (" + native.error().reason + ")");
        } else {
            note(native.latency_found_on() ? "low latency: the driver had it on already"
                                           : "low latency: asked for, and the driver took it (put back at close)");
        }
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
        taken_ = taken;
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
    LineTaken taken_;
};

SerialPort::SerialPort(PortSystem& system) : state_(std::make_unique<State>(system)) {}

SerialPort::~SerialPort() {
    if (is_open()) (void)close();  // nobody is left to tell about a failed close
}

void SerialPort::trace_to(PortTrace* trace) { state_->trace = trace; }
void SerialPort::note(const std::string& text) { state_->note(text); }

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
    s.note("port: " + s.device.how + " (" + s.device.path + ")" + (native.is_simulated() ? ", a simulated line" : ""));
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
    s.note_open(s.taken_);
    return OpenStatus::ok;
}

PortResult SerialPort::write(const void* bytes, std::size_t length) {
    State& s = *state_;
    if (!s.native.is_open()) return PortResult::failed;
    const auto* first = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    const PortResult result =
        s.line.time_limited_writes ? s.write_in_time(first, length, done) : s.write_whole(first, length, done);
    if (s.trace) s.trace->sent(first, done);
    return result;
}

ReadResult SerialPort::read(void* buffer, std::size_t limit) {
    State& s = *state_;
    if (!s.native.is_open()) return {0, ReadEnd::device_gone, false};
    const ReadResult result = s.native.read(static_cast<unsigned char*>(buffer), limit, s.policy);
    if (s.trace) s.trace->received(static_cast<const unsigned char*>(buffer), result.count, result);
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
    s.note(std::string("lines: DTR ") + (dtr_on ? "on" : "off") + ", RTS " + (rts_on ? "on" : "off"));
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
    s.note("speed: the port at " + std::to_string(baud) + " baud");
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
    if (native.latency_changed()) state_->note("low latency put back as found: off");
    const bool closed = native.close_device() == Call::done;
    state_->note(closed ? "port closed" : "closing failed: " + failure_text(native.error()));
    return closed ? CloseStatus::ok : CloseStatus::failed;
}

}  // namespace k210
