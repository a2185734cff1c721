// Windows port layer: the system's communications functions, with the
// driver's own read time-outs giving the read policy.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial_link/port_system_win32.h"
#include "serial_link/serial_port.h"

// ---- the real system calls -------------------------------------------------

HANDLE PortSystem::create_file(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}
BOOL PortSystem::setup_comm(HANDLE port, DWORD in_queue, DWORD out_queue) {
    return SetupComm(port, in_queue, out_queue);
}
BOOL PortSystem::get_comm_timeouts(HANDLE port, COMMTIMEOUTS& timeouts) { return GetCommTimeouts(port, &timeouts); }
BOOL PortSystem::set_comm_timeouts(HANDLE port, const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS copy = timeouts;
    return SetCommTimeouts(port, &copy);
}
BOOL PortSystem::set_comm_mask(HANDLE port, DWORD mask) { return SetCommMask(port, mask); }
BOOL PortSystem::get_comm_state(HANDLE port, DCB& dcb) { return GetCommState(port, &dcb); }
BOOL PortSystem::set_comm_state(HANDLE port, const DCB& dcb) {
    DCB copy = dcb;
    return SetCommState(port, &copy);
}
BOOL PortSystem::purge_comm(HANDLE port, DWORD flags) { return PurgeComm(port, flags); }
BOOL PortSystem::read_file(HANDLE port, void* buffer, DWORD count, DWORD& done) {
    return ReadFile(port, buffer, count, &done, nullptr);
}
BOOL PortSystem::write_file(HANDLE port, const void* bytes, DWORD count, DWORD& done) {
    return WriteFile(port, bytes, count, &done, nullptr);
}
BOOL PortSystem::clear_comm_error(HANDLE port, DWORD& errors, COMSTAT& status) {
    return ClearCommError(port, &errors, &status);
}
BOOL PortSystem::escape_comm_function(HANDLE port, DWORD function) { return EscapeCommFunction(port, function); }
BOOL PortSystem::flush_file_buffers(HANDLE port) { return FlushFileBuffers(port); }
BOOL PortSystem::close_handle(HANDLE port) { return CloseHandle(port); }
DWORD PortSystem::last_error() { return GetLastError(); }

bool PortSystem::runs_under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

PortSystem& real_port_system() {
    static PortSystem system;
    return system;
}

std::string system_message(DWORD error) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, sizeof text,
                   nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}

// ---- the port --------------------------------------------------------------

namespace {

constexpr DWORD QUEUE_SIZE = 512;
constexpr DWORD EVENTS = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_ERR;

std::string hint_for(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return "the port is busy: another program (a terminal program) holds it; close that "
                   "program and try again";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "no such port: is the adapter plugged in? Device Manager shows its COM number";
        default:
            return "";
    }
}

COMMTIMEOUTS timeouts_for(const ReadPolicy& policy) {
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = static_cast<DWORD>(policy.interval_ms);
    t.ReadTotalTimeoutMultiplier = static_cast<DWORD>(policy.total_per_byte_ms);
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(policy.total_constant_ms);
    return t;  // writes: no time-out
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

}  // namespace

struct SerialPort::State {
    explicit State(PortSystem& s) : system(s) {}
    PortSystem& system;
    HANDLE port = INVALID_HANDLE_VALUE;
    COMMTIMEOUTS saved_timeouts = {};  // as found at open; put back on close
    DCB found = {};                    // as found at open
    DCB line_state = {};               // as set, with the modem lines as driven since
    COMSTAT line_status = {};
    LineSettings line;
    ReadPolicy policy;
    bool parity_in_effect = false;
    bool simulated = false;
    std::string failure;
    PortDevice device;

    void fail(const std::string& what, DWORD error) {
        failure = device.path + ": " + what + (error ? ": " + system_message(error) : "");
        const std::string hint = hint_for(error);
        if (!hint.empty()) failure += " (" + hint + ")";
    }

    // A failed open closes the handle; it does not put back what it changed.
    OpenStatus fail_open(const std::string& what, OpenStatus status, bool with_system_reason = true) {
        fail(what, with_system_reason ? system.last_error() : 0);
        if (port != INVALID_HANDLE_VALUE) system.close_handle(port);
        port = INVALID_HANDLE_VALUE;
        return status;
    }

    // Adapters without parity tend to take the setting and drop it, so a
    // parity line is read back. (The analyzer's line is taken as the driver
    // accepts it.) Under Wine a pseudo-terminal has no parity to keep.
    OpenStatus check_parity_took() {
        parity_in_effect = false;
        if (line.parity == Parity::none) return OpenStatus::ok;
        DCB now = {};
        now.DCBlength = sizeof now;
        if (!system.get_comm_state(port, now))
            return fail_open("cannot read the line settings back", OpenStatus::settings_refused);
        parity_in_effect = now.Parity == EVENPARITY;
        if (parity_in_effect || simulated) return OpenStatus::ok;
        return fail_open("the adapter did not take even parity, which the bootstrap loader needs; use an adapter "
                         "that supports parity (most USB serial adapters do)",
                         OpenStatus::settings_refused, false);
    }
};

SerialPort::SerialPort(PortSystem& system) : state_(std::make_unique<State>(system)) {}

SerialPort::~SerialPort() {
    if (is_open()) (void)close();  // nobody is left to tell about a failed close
}

bool SerialPort::is_open() const { return state_->port != INVALID_HANDLE_VALUE; }
bool SerialPort::parity_in_effect() const { return state_->parity_in_effect; }
bool SerialPort::may_be_simulated() const { return state_->simulated; }
const std::string& SerialPort::failure_reason() const { return state_->failure; }
const PortDevice& SerialPort::device() const { return state_->device; }

OpenStatus SerialPort::open(const PortName& name, const LineSettings& line, const ReadPolicy& policy) {
    State& s = *state_;
    if (s.port != INVALID_HANDLE_VALUE) {
        s.failure = s.device.path + ": the port is already open";
        return OpenStatus::open_failed;
    }
    s.failure.clear();
    s.device = port_device(name);
    s.line = line;
    s.policy = policy;
    s.simulated = s.system.runs_under_wine();
    s.port = s.system.create_file(s.device.path.c_str());
    if (s.port == INVALID_HANDLE_VALUE) return s.fail_open("cannot open", OpenStatus::open_failed);
    if (!s.system.setup_comm(s.port, QUEUE_SIZE, QUEUE_SIZE))
        return s.fail_open("cannot set the queue sizes", OpenStatus::open_failed);
    s.system.get_comm_timeouts(s.port, s.saved_timeouts);
    if (!s.system.set_comm_timeouts(s.port, timeouts_for(policy)))
        return s.fail_open("cannot set the time-outs", OpenStatus::open_failed);
    s.system.set_comm_mask(s.port, EVENTS);
    std::memset(&s.found, 0, sizeof s.found);
    s.found.DCBlength = sizeof s.found;
    if (!s.system.get_comm_state(s.port, s.found))
        return s.fail_open("cannot read the line settings", OpenStatus::open_failed);
    s.line_state = s.found;
    apply_line(s.line_state, line);
    if (!s.system.set_comm_state(s.port, s.line_state))
        return s.fail_open("the line settings were refused", OpenStatus::settings_refused);
    const OpenStatus took = s.check_parity_took();
    if (took != OpenStatus::ok) return took;
    s.system.purge_comm(s.port, PURGE_TXABORT | PURGE_TXCLEAR);
    s.system.purge_comm(s.port, PURGE_RXABORT | PURGE_RXCLEAR);
    return OpenStatus::ok;
}

WriteStatus SerialPort::write(const void* bytes, std::size_t length) {
    State& s = *state_;
    if (s.port == INVALID_HANDLE_VALUE) return WriteStatus::failed;
    DWORD written = 0;
    const BOOL ok = s.system.write_file(s.port, bytes, static_cast<DWORD>(length), written);
    const DWORD error = ok ? 0 : s.system.last_error();
    DWORD line_errors;
    s.system.clear_comm_error(s.port, line_errors, s.line_status);
    if (ok && written == length) return WriteStatus::ok;
    s.fail(ok ? "the device did not take every byte" : "writing failed", error);
    return WriteStatus::failed;
}

ReadResult SerialPort::read(void* buffer, std::size_t limit) {
    State& s = *state_;
    if (s.port == INVALID_HANDLE_VALUE) return {0, ReadEnd::device_gone, false};
    std::vector<char> got(limit);
    DWORD count = 0;
    if (!s.system.read_file(s.port, got.data(), static_cast<DWORD>(limit), count)) {
        s.fail("reading failed", s.system.last_error());
        return {0, ReadEnd::device_gone, false};
    }
    bool line_error = false;
    if (s.parity_in_effect) {
        DWORD errors = 0;
        s.system.clear_comm_error(s.port, errors, s.line_status);
        line_error = (errors & (CE_RXPARITY | CE_FRAME)) != 0;
    }
    std::memcpy(buffer, got.data(), count);
    return {count, count == limit ? ReadEnd::limit : ReadEnd::time_rule, line_error};
}

void SerialPort::set_read_policy(const ReadPolicy& policy) {
    State& s = *state_;
    if (policy == s.policy) return;
    s.policy = policy;
    if (s.port != INVALID_HANDLE_VALUE) s.system.set_comm_timeouts(s.port, timeouts_for(policy));
}

void SerialPort::discard_input() {
    if (is_open()) state_->system.purge_comm(state_->port, PURGE_RXABORT | PURGE_RXCLEAR);
}

bool SerialPort::drain() { return is_open() && state_->system.flush_file_buffers(state_->port); }

bool SerialPort::set_modem_lines(bool dtr_on, bool rts_on) {
    State& s = *state_;
    if (s.port == INVALID_HANDLE_VALUE) return false;
    // RTS first: when DTR drives a reset, the other line is already in place.
    if (!s.system.escape_comm_function(s.port, rts_on ? SETRTS : CLRRTS) ||
        !s.system.escape_comm_function(s.port, dtr_on ? SETDTR : CLRDTR)) {
        s.fail("cannot drive the modem lines DTR and RTS", s.system.last_error());
        return false;
    }
    // A later SetCommState (a speed change, the close) must not undo them.
    s.line_state.fDtrControl = dtr_on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    s.line_state.fRtsControl = rts_on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    return true;
}

bool SerialPort::set_speed(unsigned baud) {
    State& s = *state_;
    if (s.port == INVALID_HANDLE_VALUE) return false;
    DCB wanted = s.line_state;
    wanted.BaudRate = baud;
    DCB now = {};
    now.DCBlength = sizeof now;
    if (!s.system.set_comm_state(s.port, wanted) || !s.system.get_comm_state(s.port, now) || now.BaudRate != baud) {
        s.fail("the device did not take " + std::to_string(baud) + " baud", s.system.last_error());
        return false;
    }
    s.line_state = wanted;
    s.line.baud = baud;
    return true;
}

CloseStatus SerialPort::close() {
    State& s = *state_;
    if (s.port == INVALID_HANDLE_VALUE) return CloseStatus::not_open;
    if (s.line.drain_output_on_close) {
        s.system.flush_file_buffers(s.port);
    } else {
        DWORD errors;
        s.system.clear_comm_error(s.port, errors, s.line_status);
        s.system.purge_comm(s.port, PURGE_TXABORT | PURGE_TXCLEAR);
        s.system.purge_comm(s.port, PURGE_RXABORT | PURGE_RXCLEAR);
    }
    if (s.line.restore_settings_on_close) {
        DCB back = s.found;
        if (!s.line.hang_up_on_close) {  // keep the lines as driven; the driver may still drop them at close
            back.fDtrControl = s.line_state.fDtrControl;
            back.fRtsControl = s.line_state.fRtsControl;
        }
        s.system.set_comm_state(s.port, back);
    }
    s.system.set_comm_timeouts(s.port, s.saved_timeouts);
    const BOOL closed = s.system.close_handle(s.port);
    s.port = INVALID_HANDLE_VALUE;
    return closed ? CloseStatus::ok : CloseStatus::failed;
}
