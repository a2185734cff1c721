// POSIX port layer: a raw terminal line, read and written without blocking,
// with every wait done by select() against deadlines on the monotonic clock
// (select works on terminal devices everywhere; poll() does not on macOS).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "serial_link/port_native.h"
#include "serial_link/port_system_posix.h"

namespace k210 {

// ---- the real system calls -------------------------------------------------

int PortSystem::open(const char* path, int flags) { return ::open(path, flags); }
int PortSystem::close(int fd) { return ::close(fd); }
ssize_t PortSystem::read(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }
ssize_t PortSystem::write(int fd, const void* bytes, std::size_t count) { return ::write(fd, bytes, count); }

int PortSystem::wait(int fd, bool for_writing, int timeout_ms) {
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval timeout{timeout_ms / 1000, static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
    return select(fd + 1, for_writing ? nullptr : &set, for_writing ? &set : nullptr, nullptr, &timeout);
}

int PortSystem::get_attributes(int fd, termios& settings) { return tcgetattr(fd, &settings); }
int PortSystem::set_attributes(int fd, const termios& settings) { return tcsetattr(fd, TCSANOW, &settings); }
int PortSystem::flush(int fd, int queue) { return tcflush(fd, queue); }
int PortSystem::drain(int fd) { return tcdrain(fd); }
int PortSystem::modem_lines(int fd, unsigned long request, int lines) { return ioctl(fd, request, &lines); }
int PortSystem::exclusive_use(int fd, bool on) { return ioctl(fd, on ? TIOCEXCL : TIOCNXCL); }
int PortSystem::lock(int fd, int operation) { return flock(fd, operation); }
bool PortSystem::is_terminal(int fd) { return isatty(fd) != 0; }

std::string PortSystem::terminal_name(int fd) {
    const char* name = ttyname(fd);
    return name ? name : "";
}

PortClock::time_point PortSystem::now() { return PortClock::now(); }
void PortSystem::sleep_until(PortClock::time_point when) { std::this_thread::sleep_until(when); }

PortSystem& real_port_system() {
    static PortSystem system;
    return system;
}

// ---- the port's steps, mapped ----------------------------------------------

namespace {

constexpr unsigned char MARK = 0xFF;  // with PARMRK: FF FF is FF, FF 00 x is x with an error

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

speed_t speed_for(unsigned baud) {
    switch (baud) {
        case 19200: return B19200;
        case 38400: return B38400;
        default: return B9600;
    }
}

unsigned baud_of(speed_t speed) {
    switch (speed) {
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        default: return 0;
    }
}

// Linux and the BSDs name pseudo-terminals /dev/pts/N; macOS /dev/ttysNNN.
bool is_pseudo_terminal_name(const std::string& name) {
    return name.rfind("/dev/pts/", 0) == 0 ||
           (name.rfind("/dev/ttys", 0) == 0 && name.size() > 9 && name[9] >= '0' && name[9] <= '9');
}

// A raw 8-bit line as `line` describes it: no translation, echo, signals or
// flow control. Reads never block (the port is opened non-blocking and VMIN
// is 1, so an empty read is EAGAIN and a hung-up line reads as end of file).
termios line_termios(const termios& found, const LineSettings& line) {
    termios t = found;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    if (line.hang_up_on_close) t.c_cflag |= HUPCL;
    if (line.parity == Parity::even) {
        t.c_cflag |= PARENB;
        t.c_iflag |= INPCK | PARMRK;  // a damaged byte arrives marked, never silently
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed_for(line.baud));
    cfsetospeed(&t, speed_for(line.baud));
    return t;
}

// Undoes the parity marking of a line with PARMRK: FF FF is one FF, FF 00 x
// is x received with an error. `pending` holds a mark cut off at a chunk's end.
void unmark(const unsigned char* raw, std::size_t count, std::string& got, std::string& pending, bool& error) {
    for (std::size_t i = 0; i < count; ++i) {
        pending += static_cast<char>(raw[i]);
        if (static_cast<unsigned char>(pending[0]) != MARK) {
            got += pending;
        } else if (pending.size() == 2 && static_cast<unsigned char>(pending[1]) == MARK) {
            got += static_cast<char>(MARK);
        } else if (pending.size() == 3) {
            got += pending[2];
            error = true;
        } else {
            continue;
        }
        pending.clear();
    }
}

bool is_transient(int error) { return error == EINTR || error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

struct NativePort::Data {
    explicit Data(PortSystem& s) : system(s) {}
    PortSystem& system;
    int fd = -1;
    termios found{};  // as found at open
    LineSettings line;
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

Call NativePort::open_device(const std::string& path, const LineSettings& line) {
    Data& d = *d_;
    d.line = line;
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
    if (d.system.set_attributes(d.fd, line_termios(d.found, line)) == 0) return Call::done;
    if (errno == EINVAL && d.simulated && line.parity == Parity::even) return Call::done;
    return d.failed(PortStep::apply_settings, errno);
}

Call NativePort::read_back(LineTaken& taken) {
    Data& d = *d_;
    termios now{};
    if (d.system.get_attributes(d.fd, now) != 0) return d.failed(PortStep::read_back, errno);
    const speed_t in = cfgetispeed(&now);
    const speed_t out = cfgetospeed(&now);
    taken.baud = in == out || in == 0 ? baud_of(out) : 0;
    taken.eight_bits = (now.c_cflag & CSIZE) == CS8;
    taken.one_stop_bit = (now.c_cflag & CSTOPB) == 0;
    taken.even_parity = (now.c_cflag & PARENB) != 0 && (now.c_cflag & PARODD) == 0;
    taken.no_flow_control = (now.c_cflag & CRTSCTS) == 0 && (now.c_iflag & (IXON | IXOFF)) == 0;
    d.marked = (now.c_iflag & PARMRK) != 0;
    return Call::done;
}

void NativePort::undo_open() {
    Data& d = *d_;
    if (d.fd < 0) return;
    if (d.settings_changed) (void)d.system.set_attributes(d.fd, d.found);  // nothing more to do if refused
    (void)d.system.exclusive_use(d.fd, false);                             // refused where it was never set; harmless
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

Call NativePort::write_some(const unsigned char* bytes, std::size_t length, int wait_ms, std::size_t& written) {
    Data& d = *d_;
    written = 0;
    const ssize_t n = d.system.write(d.fd, bytes, length);
    if (n > 0) {
        written = static_cast<std::size_t>(n);
        return Call::done;
    }
    if (n < 0 && !is_transient(errno)) return d.failed(PortStep::write, errno);
    if (d.system.wait(d.fd, true, wait_ms < LONGEST_WAIT_MS ? wait_ms : LONGEST_WAIT_MS) < 0 && errno != EINTR)
        return d.failed(PortStep::write, errno);
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
    cfsetispeed(&t, speed_for(baud));
    cfsetospeed(&t, speed_for(baud));
    return d.system.set_attributes(d.fd, t) == 0 ? Call::done : d.failed(PortStep::speed, errno);
}

Call NativePort::close() {
    Data& d = *d_;
    const int fd = d.fd;
    d.fd = -1;
    (void)d.system.exclusive_use(fd, false);  // on a pseudo-terminal the flag would outlive the close
    if (d.line.drain_output_on_close) {
        (void)d.system.drain(fd);  // a close goes on whether or not the output got out
    } else {
        (void)d.system.flush(fd, TCOFLUSH);
    }
    (void)d.system.flush(fd, TCIFLUSH);
    termios back = d.found;
    if (!d.line.restore_settings_on_close && d.system.get_attributes(fd, back) == 0) {
        back.c_cc[VMIN] = d.found.c_cc[VMIN];
        back.c_cc[VTIME] = d.found.c_cc[VTIME];
    }
    if (!d.line.hang_up_on_close) back.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    (void)d.system.set_attributes(fd, back);  // the close frees the port either way
    if (d.latency_changed) (void)d.system.set_low_latency(fd, d.latency_found);
    return d.system.close(fd) == 0 ? Call::done : d.failed(PortStep::close, errno);
}

}  // namespace k210
