// POSIX port layer: a raw 9600-8-N-1 terminal line with the read time-outs
// built on poll() against deadlines on the monotonic clock.
#include "serial_link/serial_link.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

int g_fd = -1;
termios g_saved_settings;  // as found at open; its time-out fields go back on close
std::string g_failure_reason;

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

void record_failure(const std::string& path, int error) {
    g_failure_reason = path + ": " + std::strerror(error);
    std::string hint = hint_for(error);
    if (!hint.empty()) g_failure_reason += " (" + hint + ")";
}

int fail_open(int fd, bool exclusive_set, const std::string& path, int error, int status) {
    if (exclusive_set) ioctl(fd, TIOCNXCL);
    close(fd);
    record_failure(path, error);
    return status;
}

// Raw 8-bit line: no translation, no echo, no signals, no flow control.
termios raw_line_settings(const termios& found) {
    termios t = found;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                          ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;  // reads never block; poll() does the waiting
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return t;
}

bool line_settings_took(int fd, const termios& wanted) {
    termios now;
    if (tcgetattr(fd, &now) != 0) return false;
    const tcflag_t frame = CSIZE | PARENB | CSTOPB | CRTSCTS;
    return (now.c_cflag & frame) == (wanted.c_cflag & frame) &&
           cfgetispeed(&now) == B9600 && cfgetospeed(&now) == B9600;
}

// The kernel may let a poll() overshoot by a thousandth of its time-out
// (3.5 ms on an empty read), so long waits are taken in slices.
constexpr long LONGEST_WAIT_MS = 200;

int wait_ms_until(Clock::time_point deadline) {
    auto left = std::chrono::ceil<Millis>(deadline - Clock::now()).count();
    if (left > LONGEST_WAIT_MS) left = LONGEST_WAIT_MS;
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

std::string port_failure_reason() { return g_failure_reason; }

int open_port(const char* port_name) {
    g_failure_reason.clear();
    if (g_fd >= 0) return PORT_OPEN_FAILED;
    const std::string path = port_device_path(port_name);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        record_failure(path, errno);
        return PORT_OPEN_FAILED;
    }
    if (!isatty(fd)) return fail_open(fd, false, path, ENOTTY, PORT_OPEN_FAILED);
    // Lock before claiming exclusive use, so a failed attempt never clears
    // the flag of the program that holds the port.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail_open(fd, false, path, EBUSY, PORT_OPEN_FAILED);
    ioctl(fd, TIOCEXCL);
    if (tcgetattr(fd, &g_saved_settings) != 0)
        return fail_open(fd, true, path, errno, PORT_OPEN_FAILED);
    const termios wanted = raw_line_settings(g_saved_settings);
    if (tcsetattr(fd, TCSANOW, &wanted) != 0 || !line_settings_took(fd, wanted))
        return fail_open(fd, true, path, EINVAL, PORT_SETTINGS_REFUSED);
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIS, &lines);  // refused by devices without modem lines; harmless
    tcflush(fd, TCOFLUSH);
    tcflush(fd, TCIFLUSH);
    g_fd = fd;
    return PORT_OK;
}

int send_command(const char* bytes, std::size_t length) {
    if (g_fd < 0) return SEND_FAILED;
    tcflush(g_fd, TCIFLUSH);  // a late part of an earlier reply is not part of the next
    const auto deadline = Clock::now() + Millis(1000 + 2 * static_cast<long>(length));
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = write(g_fd, bytes + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return SEND_FAILED;
        if (Clock::now() >= deadline) return SEND_FAILED;
        pollfd p{g_fd, POLLOUT, 0};
        if (poll(&p, 1, wait_ms_until(deadline)) < 0 && errno != EINTR) return SEND_FAILED;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return SEND_FAILED;
    }
    return SEND_OK;
}

std::size_t read_reply(char* buffer, std::size_t limit) {
    if (g_fd < 0) return 0;
    std::string got;
    const auto total_deadline =
        Clock::now() + Millis(READ_TOTAL_PER_BYTE_MS * static_cast<long>(limit) +
                              READ_TOTAL_CONSTANT_MS);
    auto deadline = total_deadline;
    char chunk[512];
    while (got.size() < limit) {
        if (Clock::now() >= deadline) break;
        pollfd p{g_fd, POLLIN, 0};
        int ready = poll(&p, 1, wait_ms_until(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 0;
        if (ready == 0) continue;  // the loop re-checks the deadline
        if (!(p.revents & POLLIN)) return 0;  // hang-up or error: the device is gone
        std::size_t want = limit - got.size();
        ssize_t n = read(g_fd, chunk, want < sizeof chunk ? want : sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return 0;
        got.append(chunk, static_cast<std::size_t>(n));
        const auto gap_deadline = Clock::now() + Millis(READ_INTERVAL_MS);
        deadline = gap_deadline < total_deadline ? gap_deadline : total_deadline;
    }
    std::memcpy(buffer, got.data(), got.size());
    buffer[got.size()] = '\0';
    return got.size();
}

int close_port() {
    if (g_fd < 0) return PORT_CLOSE_FAILED;
    const int fd = g_fd;
    g_fd = -1;
    ioctl(fd, TIOCNXCL);  // on a pseudo-terminal the flag would outlive the close
    tcflush(fd, TCOFLUSH);
    tcflush(fd, TCIFLUSH);
    termios now;
    if (tcgetattr(fd, &now) == 0) {
        now.c_cc[VMIN] = g_saved_settings.c_cc[VMIN];
        now.c_cc[VTIME] = g_saved_settings.c_cc[VTIME];
        tcsetattr(fd, TCSANOW, &now);
    }
    return close(fd) == 0 ? PORT_OK : PORT_CLOSE_FAILED;
}
