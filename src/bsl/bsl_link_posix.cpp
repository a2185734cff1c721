#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <thread>

#include "bsl/bsl_link.h"
#include "serial_link/serial_link.h"

namespace {

using Clock = std::chrono::steady_clock;

int g_fd = -1;
termios g_found;

void set_line(int line, bool on) {
    if (g_fd >= 0) ioctl(g_fd, on ? TIOCMBIS : TIOCMBIC, &line);  // refused by a pseudo-terminal
}

bool fail(int fd, const std::string& path, const char* what, std::string& error) {
    error = path + ": " + what + (errno ? std::string(": ") + std::strerror(errno) : "");
    close(fd);
    return false;
}

bool is_pseudo_terminal(int fd) {
    const char* name = ttyname(fd);
    return name && std::strncmp(name, "/dev/pts/", 9) == 0;
}

}  // namespace

bool bsl_open(const char* port_name, std::string& error) {
    const std::string path = port_device_path(port_name);
    errno = 0;
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!isatty(fd)) return fail(fd, path, "not a serial device", error);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(fd, path, "the port is held by another program", error);
    if (tcgetattr(fd, &g_found) != 0) return fail(fd, path, "cannot read the line settings", error);
    termios t = g_found;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CRTSCTS | PARODD);
    t.c_cflag |= CS8 | PARENB | CLOCAL | CREAD;  // even parity
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        // A pseudo-terminal (a simulated analyzer) has no parity to set.
        t.c_cflag &= ~static_cast<tcflag_t>(PARENB);
        if (tcsetattr(fd, TCSANOW, &t) != 0) return fail(fd, path, "the line settings were refused", error);
        if (!is_pseudo_terminal(fd))
            std::printf("note: %s does not take even parity; going on without it\n", path.c_str());
    }
    ioctl(fd, TIOCEXCL);
    g_fd = fd;
    return true;
}

void bsl_close() {
    if (g_fd < 0) return;
    ioctl(g_fd, TIOCNXCL);
    tcdrain(g_fd);
    tcsetattr(g_fd, TCSANOW, &g_found);
    close(g_fd);
    g_fd = -1;
}

bool bsl_write(const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (done < bytes.size()) {
        ssize_t n = write(g_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR) && Clock::now() < deadline) {
            pollfd p{g_fd, POLLOUT, 0};
            poll(&p, 1, 50);
        } else {
            return false;
        }
    }
    return true;
}

Bytes bsl_read(std::size_t count, int timeout_ms) {
    Bytes got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::uint8_t chunk[512];
    while (got.size() < count) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{g_fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        if (!(p.revents & POLLIN)) break;  // the device is gone
        const std::size_t want = std::min(count - got.size(), sizeof chunk);
        ssize_t n = read(g_fd, chunk, want);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

void bsl_discard_input() {
    if (g_fd >= 0) tcflush(g_fd, TCIFLUSH);
}

void bsl_set_dtr(bool on) { set_line(TIOCM_DTR, on); }
void bsl_set_rts(bool on) { set_line(TIOCM_RTS, on); }

void bsl_pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool bsl_output_is_terminal() { return isatty(1) != 0; }
