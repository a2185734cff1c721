// POSIX port layer: a raw terminal line (port_termios.h), read and written
// without blocking, with every wait done by the system's select against
// deadlines on the monotonic clock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "serial_link/port_native.h"
#include "serial_link/port_system_posix.h"
#include "serial_link/port_termios.h"
#include "serial_link/serial_port.h"

namespace k210 {

namespace {

ErrorKind kind_of(int error) {
    switch (error) {
        case EACCES:
        case EPERM: return ErrorKind::permission;
        case EBUSY:
        case EWOULDBLOCK: return ErrorKind::busy;
        case ENOENT:
        case ENODEV:
        case ENXIO: return ErrorKind::no_device;
        case ENOTTY: return ErrorKind::not_serial;
        default: return ErrorKind::other;
    }
}

// Linux and the BSDs name pseudo-terminals /dev/pts/N; macOS /dev/ttysNNN.
bool is_pseudo_terminal_name(const std::string& name) {
    return name.rfind("/dev/pts/", 0) == 0 ||
           (name.rfind("/dev/ttys", 0) == 0 && name.size() > 9 && name[9] >= '0' && name[9] <= '9');
}

bool is_transient(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

// The analyzer link's calls are not the Windows ones here: every line keeps every promise.
bool port_keeps_to_the_analyzers_calls() { return false; }

struct NativePort::Data {
    explicit Data(PortSystem& s) : system(s) {}
    PortSystem& system;
    int fd = -1;
    termios found{};    // as found at open
    termios applied{};  // as asked for
    bool settings_changed = false;
    bool simulated = false;
    bool marked = false;  // bytes with errors come marked (PARMRK), and FF comes doubled
    bool latency_changed = false, latency_found = false;
    SystemError error;

    Call failed(PortStep step, int code) {
        error = {step, kind_of(code), code ? std::strerror(code) : ""};
        return Call::failed;
    }
    Call failed(PortStep step, ErrorKind kind) {
        error = {step, kind, ""};
        return Call::failed;
    }
    // A read that found the device gone: failed, or hung up (code 0).
    ReadResult lost(int code) {
        if (code) {
            (void)failed(PortStep::read, code);
        } else {
            (void)failed(PortStep::read, ErrorKind::hung_up);
        }
        return {0, ReadEnd::device_gone, false};
    }
};

NativePort::NativePort(PortSystem& system) : d_(std::make_unique<Data>(system)) {}
NativePort::~NativePort() = default;

bool NativePort::is_open() const { return d_->fd >= 0; }
bool NativePort::is_simulated() const { return d_->simulated; }
const SystemError& NativePort::error() const { return d_->error; }
PortClock::time_point NativePort::now() { return d_->system.now(); }
void NativePort::sleep_until(PortClock::time_point when) { d_->system.sleep_until(when); }

Call NativePort::open_device(const std::string& path, const LineSettings&) {
    Data& d = *d_;
    d.settings_changed = d.marked = d.latency_changed = false;
    const int fd = d.system.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return d.failed(PortStep::open, errno);
    d.fd = fd;
    if (!d.system.is_terminal(fd)) return d.failed(PortStep::open, ErrorKind::not_serial);
    // Lock before claiming exclusive use, so a failed attempt never clears
    // the flag of the program that holds the port.
    if (d.system.lock(fd, LOCK_EX | LOCK_NB) != 0) return d.failed(PortStep::lock, ErrorKind::busy);
    (void)d.system.exclusive_use(fd, true);  // the lock already keeps other programs of ours out
    d.simulated = is_pseudo_terminal_name(d.system.terminal_name(fd));
    return Call::done;
}

// Reads apply their policy themselves.
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the same member on every system
Call NativePort::set_up(const ReadPolicy&) { return Call::done; }

Call NativePort::read_settings() {
    return d_->system.get_attributes(d_->fd, d_->found) == 0 ? Call::done : d_->failed(PortStep::read_settings, errno);
}

// A pseudo-terminal cannot take parity, and Linux refuses (EINVAL) a request
// whose only change is parity: a pty left with parity by a program that was
// killed. There the line is taken as it is; the read-back judges it.
Call NativePort::apply_settings(const LineSettings& line) {
    Data& d = *d_;
    d.settings_changed = true;
    d.applied = line_termios(d.found, line);
    if (d.system.set_attributes(d.fd, d.applied) == 0) return Call::done;
    if (errno == EINVAL && d.simulated && line.parity == Parity::even) return Call::done;
    return d.failed(PortStep::apply_settings, errno);
}

Call NativePort::read_back(LineTaken& taken) {
    Data& d = *d_;
    termios now{};
    if (d.system.get_attributes(d.fd, now) != 0) return d.failed(PortStep::read_back, errno);
    taken = taken_from(now);
    d.marked = (now.c_iflag & PARMRK) != 0;
    return Call::done;
}

void NativePort::as_applied(LineTaken& taken) {
    taken = taken_from(d_->applied);
    d_->marked = (d_->applied.c_iflag & PARMRK) != 0;
}

void NativePort::undo_open(bool put_back) {
    Data& d = *d_;
    if (d.fd < 0) return;
    if (put_back && d.settings_changed) (void)d.system.set_attributes(d.fd, d.found);  // nothing more if refused
    (void)d.system.exclusive_use(d.fd, false);  // refused where it was never set; harmless
    (void)d.system.close(d.fd);
    d.fd = -1;
}

// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the same member on every system
bool NativePort::settings_drive_modem_lines() const { return false; }

Call NativePort::request_low_latency() {
    Data& d = *d_;
    if (d.system.get_low_latency(d.fd, d.latency_found) != 0) return d.failed(PortStep::read_settings, errno);
    if (d.latency_found) return Call::done;
    if (d.system.set_low_latency(d.fd, true) != 0) return d.failed(PortStep::apply_settings, errno);
    d.latency_changed = true;
    return Call::done;
}

bool NativePort::latency_found_on() const { return d_->latency_found; }
bool NativePort::latency_changed() const { return d_->latency_changed; }

Call NativePort::write_some(const unsigned char* bytes, std::size_t length, int wait_ms, std::size_t& written) {
    Data& d = *d_;
    written = 0;
    const ssize_t n = d.system.write(d.fd, bytes, length);
    if (n > 0) {
        written = static_cast<std::size_t>(n);
        return Call::done;
    }
    if (n < 0 && !is_transient(errno)) return d.failed(PortStep::write, errno);
    const int wait = wait_ms >= 0 && wait_ms < LONGEST_WAIT_MS ? wait_ms : LONGEST_WAIT_MS;
    if (d.system.wait(d.fd, true, wait) < 0 && errno != EINTR) return d.failed(PortStep::write, errno);
    return Call::done;
}

ReadResult NativePort::read(unsigned char* buffer, std::size_t limit, const ReadPolicy& p) {
    Data& d = *d_;
    const Deadline total =
        Deadline::after(d.system.now(),
                        std::chrono::milliseconds(static_cast<long>(p.total_per_byte_ms) * static_cast<long>(limit) +
                                                  p.total_constant_ms));
    Deadline deadline = total;
    std::string got;
    std::string pending;
    bool line_error = false;
    unsigned char chunk[512];
    while (got.size() < limit) {
        const auto now = d.system.now();
        if (deadline.passed(now)) break;
        const int ready = d.system.wait(d.fd, false, deadline.wait_ms(now));
        if (ready < 0 && errno != EINTR) return d.lost(errno);
        if (ready <= 0) continue;  // the loop looks at the deadline again
        const std::size_t want = limit - got.size();
        const ssize_t n = d.system.read(d.fd, chunk, want < sizeof chunk ? want : sizeof chunk);
        if (n < 0 && is_transient(errno)) continue;
        if (n < 0) return d.lost(errno);
        if (n == 0) return d.lost(0);  // readable, yet nothing: hung up
        if (d.marked) {
            unmark(chunk, static_cast<std::size_t>(n), got, pending, line_error);
        } else {
            got.append(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(n));
        }
        if (p.interval_ms > 0)
            deadline = total.earlier(Deadline::after(d.system.now(), std::chrono::milliseconds(p.interval_ms)));
    }
    if (!pending.empty()) line_error = true;  // a mark without the byte it marks
    std::copy(got.begin(), got.end(), buffer);
    return {got.size(), got.size() == limit ? ReadEnd::limit : ReadEnd::time_rule, line_error};
}

void NativePort::apply_read_policy(const ReadPolicy&) {}  // reads apply their policy themselves

void NativePort::discard_output() { (void)d_->system.flush(d_->fd, TCOFLUSH); }
void NativePort::discard_input() { (void)d_->system.flush(d_->fd, TCIFLUSH); }

Call NativePort::drain() { return d_->system.drain(d_->fd) == 0 ? Call::done : d_->failed(PortStep::write, errno); }

Call NativePort::drive_rts(bool on) {
    return d_->system.modem_lines(d_->fd, on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS) == 0
               ? Call::done
               : d_->failed(PortStep::modem_lines, errno);
}

Call NativePort::drive_dtr(bool on) {
    return d_->system.modem_lines(d_->fd, on ? TIOCMBIS : TIOCMBIC, TIOCM_DTR) == 0
               ? Call::done
               : d_->failed(PortStep::modem_lines, errno);
}

Call NativePort::apply_speed(unsigned baud) {
    Data& d = *d_;
    termios t{};
    if (d.system.get_attributes(d.fd, t) != 0) return d.failed(PortStep::speed, errno);
    return d.system.set_attributes(d.fd, with_speed(t, baud)) == 0 ? Call::done : d.failed(PortStep::speed, errno);
}

// On a pseudo-terminal the flag would outlive the close.
void NativePort::release_exclusive_use() { (void)d_->system.exclusive_use(d_->fd, false); }

// A terminal line reports its errors with the bytes (PARMRK).
// NOLINTNEXTLINE(readability-convert-member-functions-to-static): the same member on every system
void NativePort::clear_line_errors() {}

void NativePort::put_back(bool whole_line, bool keep_modem_lines) {
    Data& d = *d_;
    termios now = d.found;
    if (!whole_line && d.system.get_attributes(d.fd, now) != 0) now = d.found;
    (void)d.system.set_attributes(d.fd, for_close(d.found, now, whole_line, keep_modem_lines));  // freed either way
    if (d.latency_changed) (void)d.system.set_low_latency(d.fd, d.latency_found);
}

Call NativePort::close_device() {
    Data& d = *d_;
    const int fd = d.fd;
    d.fd = -1;
    return d.system.close(fd) == 0 ? Call::done : d.failed(PortStep::close, errno);
}

}  // namespace k210
