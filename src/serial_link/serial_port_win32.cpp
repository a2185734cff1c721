// Windows port layer: the system's communications functions, with the
// driver's own time-outs giving the read policy and bounding each write.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial_link/port_native.h"
#include "serial_link/port_system_win32.h"
#include "serial_link/serial_port.h"
#include "system/windows_error.h"

namespace k210 {

namespace {

constexpr DWORD QUEUE_SIZE = 512;
constexpr DWORD EVENTS = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_ERR;

// Windows says "access denied" for a port another program holds.
ErrorKind kind_of(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return ErrorKind::busy;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return ErrorKind::no_device;
        default: return ErrorKind::other;
    }
}

// Reads as the policy says; writes without a time-out (a time-limited
// write sets its own).
COMMTIMEOUTS timeouts_for(const ReadPolicy& policy, DWORD write_ms = 0) {
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = static_cast<DWORD>(policy.interval_ms);
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(policy.total_per_byte_ms);
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(policy.total_constant_ms);
    t.WriteTotalTimeoutConstant = write_ms;
    return t;
}

// The fields the line needs; everything else keeps the driver's values.
void apply_line(DCB& dcb, const LineSettings& line) {
    dcb.BaudRate = line.baud;
    dcb.ByteSize = 8;
    dcb.Parity = line.parity == Parity::even ? EVENPARITY : NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.ErrorChar = static_cast<char>(0xFF);
    dcb.fErrorChar = FALSE;
    dcb.fDtrControl = line.dtr_on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = line.rts_on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
}

LineTaken taken_from(const DCB& dcb) {
    LineTaken taken;
    taken.baud = dcb.BaudRate;
    taken.eight_bits = dcb.ByteSize == 8;
    taken.one_stop_bit = dcb.StopBits == ONESTOPBIT;
    taken.even_parity = dcb.Parity == EVENPARITY;
    taken.no_flow_control = !dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow && !dcb.fOutX && !dcb.fInX &&
                            dcb.fRtsControl != RTS_CONTROL_HANDSHAKE && dcb.fDtrControl != DTR_CONTROL_HANDSHAKE;
    return taken;
}

}  // namespace

struct NativePort::Data {
    explicit Data(PortSystem& s) : system(s) {}
    PortSystem& system;
    HANDLE port = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS saved_timeouts = {};  // as found at open; put back on close
    DCB found = {};                    // as found at open
    DCB line_state = {};               // as set, with the modem lines as driven since
    COMSTAT line_status = {};
    ReadPolicy policy;
    bool timeouts_changed = false, settings_changed = false;
    bool checks_parity = false;
    bool simulated = false;
    SystemError error;

    Call failed(PortStep step) {
        const DWORD code = system.last_error();
        error = {step, kind_of(code), code ? system_message(code) : ""};
        return Call::failed;
    }
    Call failed(PortStep step, const std::string& reason) {
        error = {step, ErrorKind::other, reason};
        return Call::failed;
    }
    void clear_line_errors(DWORD& errors) { (void)system.clear_comm_error(port, errors, line_status); }
};

NativePort::NativePort(PortSystem& system) : d_(std::make_unique<Data>(system)) {}
NativePort::~NativePort() = default;

bool NativePort::is_open() const { return d_->port != INVALID_HANDLE_VALUE; }
bool NativePort::is_simulated() const { return d_->simulated; }
const SystemError& NativePort::error() const { return d_->error; }
PortClock::time_point NativePort::now() { return d_->system.now(); }
void NativePort::sleep_until(PortClock::time_point when) { d_->system.sleep_until(when); }

Call NativePort::open_device(const std::string& path, const LineSettings&) {
    Data& d = *d_;
    d.timeouts_changed = d.settings_changed = d.checks_parity = false;
    d.simulated = d.system.runs_under_wine();
    d.port = d.system.create_file(path.c_str());
    return d.port != INVALID_HANDLE_VALUE ? Call::done : d.failed(PortStep::open);
}

Call NativePort::set_up(const ReadPolicy& policy) {
    Data& d = *d_;
    d.policy = policy;
    if (!d.system.setup_comm(d.port, QUEUE_SIZE, QUEUE_SIZE)) return d.failed(PortStep::queues);
    (void)d.system.get_comm_timeouts(d.port, d.saved_timeouts);  // a driver that cannot say gets zeros back
    d.timeouts_changed = true;
    if (d.system.set_comm_timeouts(d.port, timeouts_for(policy)) == FALSE) return d.failed(PortStep::time_outs);
    (void)d.system.set_comm_mask(d.port, EVENTS);  // nothing waits on these events
    return Call::done;
}

Call NativePort::read_settings() {
    Data& d = *d_;
    std::memset(&d.found, 0, sizeof d.found);
    d.found.DCBlength = sizeof d.found;
    return d.system.get_comm_state(d.port, d.found) ? Call::done : d.failed(PortStep::read_settings);
}

Call NativePort::apply_settings(const LineSettings& line) {
    Data& d = *d_;
    d.line_state = d.found;
    apply_line(d.line_state, line);
    d.settings_changed = true;
    return d.system.set_comm_state(d.port, d.line_state) ? Call::done : d.failed(PortStep::apply_settings);
}

Call NativePort::read_back(LineTaken& taken) {
    Data& d = *d_;
    DCB now = {};
    now.DCBlength = sizeof now;
    if (!d.system.get_comm_state(d.port, now)) return d.failed(PortStep::read_back);
    taken = taken_from(now);
    d.checks_parity = taken.even_parity;
    return Call::done;
}

void NativePort::as_applied(LineTaken& taken) {
    taken = taken_from(d_->line_state);
    d_->checks_parity = taken.even_parity;
}

void NativePort::undo_open(bool put_back) {
    Data& d = *d_;
    if (d.port == INVALID_HANDLE_VALUE) return;
    if (put_back) {  // what could not be put back stays; the handle goes either way
        if (d.settings_changed) (void)d.system.set_comm_state(d.port, d.found);
        if (d.timeouts_changed) (void)d.system.set_comm_timeouts(d.port, d.saved_timeouts);
    }
    (void)d.system.close_handle(d.port);
    d.port = INVALID_HANDLE_VALUE;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the same member on every system
bool NativePort::settings_drive_modem_lines() const { return true; }

// The analyzer link was first written for these calls, and its adapters' drivers have always had
// exactly them: its line makes no other.
bool port_keeps_to_the_analyzers_calls() { return true; }

std::string latency_timer_advice() {
    return "set its Latency Timer to 1 ms: Device Manager, Ports (COM & LPT), the adapter, Port Settings, "
           "Advanced (an administrator can)";
}

// The latency timer of a USB adapter is a setting of its driver here, which
// only an administrator can change (Device Manager); nothing to ask for.
Call NativePort::request_low_latency() { return d_->failed(PortStep::apply_settings, "not offered on Windows"); }

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the same member on every system
bool NativePort::latency_found_on() const { return false; }
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the same member on every system
bool NativePort::latency_changed() const { return false; }

// A time-limited write gives the driver the time left as its write
// time-out. The line's error state is cleared after every write.
Call NativePort::write_some(const unsigned char* bytes, std::size_t length, int wait_ms, std::size_t& written) {
    Data& d = *d_;
    written = 0;
    if (wait_ms != NO_TIME_LIMIT &&
        d.system.set_comm_timeouts(d.port, timeouts_for(d.policy, static_cast<DWORD>(wait_ms > 0 ? wait_ms : 1))) ==
            FALSE)
        return d.failed(PortStep::time_outs);
    DWORD done = 0;
    const BOOL ok = d.system.write_file(d.port, bytes, static_cast<DWORD>(length), done);
    const DWORD code = ok ? 0 : d.system.last_error();
    DWORD errors = 0;
    d.clear_line_errors(errors);
    written = done;
    if (!ok) {
        d.error = {PortStep::write, kind_of(code), system_message(code)};
        return Call::failed;
    }
    return Call::done;
}

ReadResult NativePort::read(unsigned char* buffer, std::size_t limit, const ReadPolicy&) {
    Data& d = *d_;
    std::vector<unsigned char> got(limit);
    DWORD count = 0;
    if (!d.system.read_file(d.port, got.data(), static_cast<DWORD>(limit), count)) {
        (void)d.failed(PortStep::read);
        return {0, ReadEnd::device_gone, false};
    }
    bool line_error = false;
    if (d.checks_parity) {
        DWORD errors = 0;
        d.clear_line_errors(errors);
        line_error = (errors & (CE_RXPARITY | CE_FRAME)) != 0;
    }
    std::memcpy(buffer, got.data(), count);
    return {count, count == limit ? ReadEnd::limit : ReadEnd::time_rule, line_error};
}

void NativePort::apply_read_policy(const ReadPolicy& policy) {
    d_->policy = policy;
    (void)d_->system.set_comm_timeouts(d_->port, timeouts_for(policy));  // the next read shows a failure
}

void NativePort::discard_output() { (void)d_->system.purge_comm(d_->port, PURGE_TXABORT | PURGE_TXCLEAR); }
void NativePort::discard_input() { (void)d_->system.purge_comm(d_->port, PURGE_RXABORT | PURGE_RXCLEAR); }

Call NativePort::drain() { return d_->system.flush_file_buffers(d_->port) ? Call::done : d_->failed(PortStep::write); }

// A later SetCommState (a speed change, the close) must not undo the lines.
Call NativePort::drive_rts(bool on) {
    Data& d = *d_;
    if (!d.system.escape_comm_function(d.port, on ? SETRTS : CLRRTS)) return d.failed(PortStep::modem_lines);
    d.line_state.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    return Call::done;
}

Call NativePort::drive_dtr(bool on) {
    Data& d = *d_;
    if (!d.system.escape_comm_function(d.port, on ? SETDTR : CLRDTR)) return d.failed(PortStep::modem_lines);
    d.line_state.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    return Call::done;
}

Call NativePort::apply_speed(unsigned baud) {
    Data& d = *d_;
    DCB wanted = d.line_state;
    wanted.BaudRate = baud;
    if (!d.system.set_comm_state(d.port, wanted)) return d.failed(PortStep::speed);
    d.line_state = wanted;
    return Call::done;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the same member on every system
void NativePort::release_exclusive_use() {}  // the handle was opened for this program alone

void NativePort::clear_line_errors() {
    DWORD errors = 0;
    d_->clear_line_errors(errors);
}

// A later SetCommState must not undo the modem lines as driven, where they are to stay.
void NativePort::put_back(bool whole_line, bool keep_modem_lines) {
    Data& d = *d_;
    if (whole_line) {
        DCB back = d.found;
        if (keep_modem_lines) {  // the driver may still drop them at close
            back.fDtrControl = d.line_state.fDtrControl;
            back.fRtsControl = d.line_state.fRtsControl;
        }
        (void)d.system.set_comm_state(d.port, back);
    }
    (void)d.system.set_comm_timeouts(d.port, d.saved_timeouts);  // the handle goes either way
}

Call NativePort::close_device() {
    Data& d = *d_;
    const BOOL closed = d.system.close_handle(d.port);
    d.port = INVALID_HANDLE_VALUE;
    return closed ? Call::done : d.failed(PortStep::close);
}

}  // namespace k210
