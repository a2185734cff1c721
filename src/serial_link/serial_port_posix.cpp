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

#include "serial_link/port_system_posix.h"
#include "serial_link/serial_port.h"

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

PortSystem& real_port_system() {
    static PortSystem system;
    return system;
}

// ---- the port --------------------------------------------------------------

namespace {

constexpr unsigned char MARK = 0xFF;  // with PARMRK: FF FF is FF, FF 00 x is x with an error

std::string hint_for(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return "permission denied: add your user to the group that owns serial devices "
                   "(dialout or uucp), then log in again";
        case EBUSY:
        case EWOULDBLOCK:
            return "the port is busy: another program (a terminal program, ModemManager) "
                   "holds it; close that program and try again";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "no such device: is the adapter plugged in, and does the COMn link in "
                   "this folder point to it?";
        case ENOTTY:
            return "this is not a serial device";
        default:
            return "";
    }
}

bool speed_for(unsigned baud, speed_t& speed) {
    switch (baud) {
        case 9600: speed = B9600; return true;
        case 19200: speed = B19200; return true;
        case 38400: speed = B38400; return true;
        default: return false;
    }
}

// Linux and the BSDs name pseudo-terminals /dev/pts/N; macOS /dev/ttysNNN.
bool is_pseudo_terminal_name(const std::string& name) {
    return name.rfind("/dev/pts/", 0) == 0 ||
           (name.rfind("/dev/ttys", 0) == 0 && name.size() > 9 && name[9] >= '0' && name[9] <= '9');
}

const tcflag_t FRAME_BITS = CSIZE | CSTOPB | CRTSCTS;

}  // namespace

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
    speed_t speed = B9600;
    speed_for(line.baud, speed);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return t;
}

struct SerialPort::State {
    explicit State(PortSystem& s) : system(s) {}
    PortSystem& system;
    int fd = -1;
    termios found{};  // as found at open
    LineSettings line;
    ReadPolicy policy;
    bool parity_in_effect = false;
    bool marked = false;  // bytes with errors come marked (PARMRK), and FF comes doubled
    bool simulated = false;
    std::string failure;
    PortDevice device;

    void fail(const std::string& what, int error) {
        failure = device.path + ": " + what + (error ? std::string(": ") + std::strerror(error) : "");
        const std::string hint = hint_for(error);
        if (!hint.empty()) failure += " (" + hint + ")";
    }

    OpenStatus fail_open(int opened, bool settings_changed, const std::string& what, int error, OpenStatus status) {
        fail(what, error);
        if (settings_changed) system.set_attributes(opened, found);
        system.exclusive_use(opened, false);  // refused where it was never set; harmless
        system.close(opened);
        return status;
    }

    // What the device took, against what was asked.
    OpenStatus check_settings_took(int opened, const termios& wanted) {
        termios now{};
        if (system.get_attributes(opened, now) != 0)
            return fail_open(opened, true, "cannot read the line settings back", errno, OpenStatus::settings_refused);
        parity_in_effect = line.parity == Parity::even && (now.c_cflag & PARENB);
        marked = (now.c_iflag & PARMRK) != 0;
        const bool frame = (now.c_cflag & FRAME_BITS) == (wanted.c_cflag & FRAME_BITS) &&
                           cfgetispeed(&now) == cfgetispeed(&wanted) && cfgetospeed(&now) == cfgetospeed(&wanted);
        if (!frame)
            return fail_open(opened, true,
                             "the device did not take the line settings (" + std::to_string(line.baud) +
                                 " baud, 8 data bits, 1 stop bit, no flow control)",
                             0, OpenStatus::settings_refused);
        // A pseudo-terminal has no parity to set; a real adapter that drops it is faulty.
        if (line.parity == Parity::even && !parity_in_effect && !simulated)
            return fail_open(opened, true,
                             "the adapter did not take even parity, which the bootstrap loader needs; "
                             "use an adapter that supports parity (most USB serial adapters do)",
                             0, OpenStatus::settings_refused);
        return OpenStatus::ok;
    }

    ReadResult device_gone(int error) {
        fail(error ? "reading failed" : "the device hung up (adapter unplugged, or the analyzer switched off?)",
             error);
        return {0, ReadEnd::device_gone, false};
    }
};

SerialPort::SerialPort(PortSystem& system) : state_(std::make_unique<State>(system)) {}

SerialPort::~SerialPort() {
    if (is_open()) (void)close();  // nobody is left to tell about a failed close
}

bool SerialPort::is_open() const { return state_->fd >= 0; }
bool SerialPort::parity_in_effect() const { return state_->parity_in_effect; }
bool SerialPort::may_be_simulated() const { return state_->simulated; }
const std::string& SerialPort::failure_reason() const { return state_->failure; }
const PortDevice& SerialPort::device() const { return state_->device; }

OpenStatus SerialPort::open(const PortName& name, const LineSettings& line, const ReadPolicy& policy) {
    State& s = *state_;
    if (s.fd >= 0) {
        s.failure = s.device.path + ": the port is already open";
        return OpenStatus::open_failed;
    }
    s.failure.clear();
    s.device = port_device(name);
    s.line = line;
    s.policy = policy;
    speed_t speed;
    if (!speed_for(line.baud, speed)) {
        s.fail("unsupported speed " + std::to_string(line.baud), 0);
        return OpenStatus::settings_refused;
    }
    const int fd = s.system.open(s.device.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        s.fail("cannot open", errno);
        return OpenStatus::open_failed;
    }
    if (!s.system.is_terminal(fd)) return s.fail_open(fd, false, "cannot use it", ENOTTY, OpenStatus::open_failed);
    // Lock before claiming exclusive use, so a failed attempt never clears
    // the flag of the program that holds the port.
    if (s.system.lock(fd, LOCK_EX | LOCK_NB) != 0)
        return s.fail_open(fd, false, "cannot use it", EBUSY, OpenStatus::open_failed);
    s.system.exclusive_use(fd, true);
    if (s.system.get_attributes(fd, s.found) != 0)
        return s.fail_open(fd, false, "cannot read the line settings", errno, OpenStatus::open_failed);
    s.simulated = is_pseudo_terminal_name(s.system.terminal_name(fd));
    const termios wanted = line_termios(s.found, line);
    if (s.system.set_attributes(fd, wanted) != 0)
        return s.fail_open(fd, true, "the line settings were refused", errno, OpenStatus::settings_refused);
    const OpenStatus took = s.check_settings_took(fd, wanted);
    if (took != OpenStatus::ok) return took;
    s.fd = fd;
    // Refused by devices without modem lines (a pseudo-terminal); the line works without them.
    (void)set_modem_lines(line.dtr_on, line.rts_on);
    s.system.flush(fd, TCOFLUSH);
    s.system.flush(fd, TCIFLUSH);
    return OpenStatus::ok;
}

WriteStatus SerialPort::write(const void* bytes, std::size_t length) {
    State& s = *state_;
    if (s.fd < 0) return WriteStatus::failed;
    const auto* next = static_cast<const unsigned char*>(bytes);
    const long wire_ms = static_cast<long>(length) * 11 * 1000 / static_cast<long>(s.line.baud);
    const Deadline deadline = Deadline::after(s.system.now(), std::chrono::milliseconds(1000 + 2 * wire_ms));
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = s.system.write(s.fd, next + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            s.fail("writing failed", errno);
            return WriteStatus::failed;
        }
        const auto now = s.system.now();
        if (deadline.passed(now)) {
            s.fail("the device did not take the bytes in time", 0);
            return WriteStatus::failed;
        }
        if (s.system.wait(s.fd, true, deadline.wait_ms(now)) < 0 && errno != EINTR) {
            s.fail("writing failed", errno);
            return WriteStatus::failed;
        }
    }
    return WriteStatus::ok;
}

namespace {

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

}  // namespace

ReadResult SerialPort::read(void* buffer, std::size_t limit) {
    State& s = *state_;
    if (s.fd < 0) return {0, ReadEnd::device_gone, false};
    const ReadPolicy& p = s.policy;
    const auto start = s.system.now();
    const Deadline total = Deadline::after(
        start, std::chrono::milliseconds(static_cast<long>(p.total_per_byte_ms) * static_cast<long>(limit) +
                                         p.total_constant_ms));
    Deadline deadline = total;
    const bool marked = s.marked;
    std::string got, pending;
    bool line_error = false;
    unsigned char chunk[512];
    while (got.size() < limit) {
        const auto now = s.system.now();
        if (deadline.passed(now)) break;
        const int ready = s.system.wait(s.fd, false, deadline.wait_ms(now));
        if (ready < 0 && errno != EINTR) return s.device_gone(errno);
        if (ready <= 0) continue;  // the loop looks at the deadline again
        const std::size_t want = limit - got.size();
        const ssize_t n = s.system.read(s.fd, chunk, want < sizeof chunk ? want : sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0) return s.device_gone(errno);
        if (n == 0) return s.device_gone(0);  // readable, yet nothing: hung up
        if (marked) {
            unmark(chunk, static_cast<std::size_t>(n), got, pending, line_error);
        } else {
            got.append(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(n));
        }
        if (p.interval_ms > 0)
            deadline = total.earlier(Deadline::after(s.system.now(), std::chrono::milliseconds(p.interval_ms)));
    }
    if (!pending.empty()) line_error = true;  // a mark without the byte it marks
    std::memcpy(buffer, got.data(), got.size());
    return {got.size(), got.size() == limit ? ReadEnd::limit : ReadEnd::time_rule, line_error};
}

void SerialPort::set_read_policy(const ReadPolicy& policy) { state_->policy = policy; }

void SerialPort::discard_input() {
    if (is_open()) state_->system.flush(state_->fd, TCIFLUSH);
}

bool SerialPort::drain() { return is_open() && state_->system.drain(state_->fd) == 0; }

// RTS first: when DTR drives a reset, the other line is already in place.
bool SerialPort::set_modem_lines(bool dtr_on, bool rts_on) {
    State& s = *state_;
    if (s.fd < 0) return false;
    if (s.system.modem_lines(s.fd, rts_on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS) != 0 ||
        s.system.modem_lines(s.fd, dtr_on ? TIOCMBIS : TIOCMBIC, TIOCM_DTR) != 0) {
        s.fail("cannot drive the modem lines DTR and RTS", errno);
        return false;
    }
    return true;
}

bool SerialPort::set_speed(unsigned baud) {
    State& s = *state_;
    speed_t speed;
    termios t{};
    if (s.fd < 0 || !speed_for(baud, speed) || s.system.get_attributes(s.fd, t) != 0) return false;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    termios now{};
    if (s.system.set_attributes(s.fd, t) != 0 || s.system.get_attributes(s.fd, now) != 0 ||
        cfgetospeed(&now) != speed) {
        s.fail("the device did not take " + std::to_string(baud) + " baud", errno);
        return false;
    }
    s.line.baud = baud;
    return true;
}

CloseStatus SerialPort::close() {
    State& s = *state_;
    if (s.fd < 0) return CloseStatus::not_open;
    const int fd = s.fd;
    s.fd = -1;
    s.system.exclusive_use(fd, false);  // on a pseudo-terminal the flag would outlive the close
    if (s.line.drain_output_on_close) {
        s.system.drain(fd);
    } else {
        s.system.flush(fd, TCOFLUSH);
    }
    s.system.flush(fd, TCIFLUSH);
    termios back = s.found;
    if (!s.line.restore_settings_on_close && s.system.get_attributes(fd, back) == 0) {
        back.c_cc[VMIN] = s.found.c_cc[VMIN];
        back.c_cc[VTIME] = s.found.c_cc[VTIME];
    }
    if (!s.line.hang_up_on_close) back.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    s.system.set_attributes(fd, back);
    return s.system.close(fd) == 0 ? CloseStatus::ok : CloseStatus::failed;
}
