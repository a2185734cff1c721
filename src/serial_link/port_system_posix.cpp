// The POSIX system calls behind PortSystem, made for real.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "serial_link/port_system_posix.h"
#include "serial_link/serial_port.h"

namespace k210 {

int PortSystem::open(const char* path, int flags) { return ::open(path, flags); }
int PortSystem::close(int fd) { return ::close(fd); }
ssize_t PortSystem::read(int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); }
ssize_t PortSystem::write(int fd, const void* bytes, std::size_t count) { return ::write(fd, bytes, count); }

// select works on terminal devices everywhere; poll() does not on macOS.
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
void PortSystem::sleep_until(PortClock::time_point when) {
    sleep_until_reached(when, PortClock::now, [](PortClock::duration span) { std::this_thread::sleep_for(span); });
}

PortSystem& real_port_system() {
    static PortSystem system;
    return system;
}

}  // namespace k210
