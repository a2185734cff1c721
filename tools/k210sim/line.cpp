// The pseudo-terminal that stands in for the serial port, the monotonic
// clock (milliseconds since start) and the timestamped log.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "sim.h"

namespace k210sim {

namespace {

std::string printable(const std::string& text) {
    std::string out;
    for (char raw : text) {
        const auto c = static_cast<unsigned char>(raw);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

void add_ms(timespec& t, double ms) {
    const long ns = t.tv_nsec + static_cast<long>(ms * 1e6);
    t.tv_sec += ns / 1000000000L;
    t.tv_nsec = ns % 1000000000L;
}

void sleep_until(const timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, bytes, length);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) return;
        bytes += n;
        length -= static_cast<std::size_t>(n);
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

}  // namespace

Line::Line(std::FILE* log) : log_(log) { clock_gettime(CLOCK_MONOTONIC, &start_); }

bool Line::open(std::string& slave_path) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
    slave_path = ptsname(master_);
    // Holding the other side open keeps the terminal alive while the program
    // under test closes and reopens it.
    slave_ = ::open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) return false;
    termios t{};
    tcgetattr(slave_, &t);
    cfmakeraw(&t);
    t.c_cflag |= HUPCL;  // as a serial port starts: closing it drops DTR and RTS
    tcsetattr(slave_, TCSANOW, &t);
    return true;
}

void Line::close() {
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
    slave_ = master_ = -1;
}

double Line::elapsed_ms() const {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start_.tv_sec) * 1000.0 +
           static_cast<double>(now.tv_nsec - start_.tv_nsec) / 1e6;
}

double Line::start_ms() const {
    return static_cast<double>(start_.tv_sec) * 1000.0 + static_cast<double>(start_.tv_nsec) / 1e6;
}

void Line::sleep_ms(double ms) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    add_ms(deadline, ms);
    sleep_until(deadline);
}

void Line::log(const char* kind, const std::string& text) const {
    if (!log_) return;
    std::fprintf(log_, "%.3f %s %s\n", elapsed_ms(), kind, printable(text).c_str());
    std::fflush(log_);
}

// The clock is read before the last write, never after: the host cannot
// have the byte sooner, so a wait measured from here is never too short.
double Line::transmit(const std::string& bytes, double ms_per_byte) const {
    if (ms_per_byte <= 0) {
        const double last_byte_ms = elapsed_ms();
        write_all(master_, bytes.data(), bytes.size());
        return last_byte_ms;
    }
    double last_byte_ms = elapsed_ms();
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (const char& byte : bytes) {  // each byte reaches the other side when it has crossed
        add_ms(next, ms_per_byte);
        sleep_until(next);
        last_byte_ms = elapsed_ms();
        write_all(master_, &byte, 1);
    }
    return last_byte_ms;
}

double Line::transmit_through_usb(const std::string& bytes, double ms_per_byte, double tick_ms) const {
    constexpr std::size_t PACKET = 62;  // data bytes the adapter sends in one packet
    double at = elapsed_ms();
    double last_byte_ms = at;
    std::string waiting;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        at += ms_per_byte;  // this byte has reached the adapter
        waiting += bytes[i];
        const double tick = (std::floor(at / tick_ms) + 1) * tick_ms;
        const bool more_before_the_tick = i + 1 < bytes.size() && at + ms_per_byte <= tick;
        if (waiting.size() < PACKET && more_before_the_tick) continue;
        const double passed_on = waiting.size() >= PACKET ? at : tick;
        if (passed_on > elapsed_ms()) sleep_ms(passed_on - elapsed_ms());
        last_byte_ms = elapsed_ms();
        write_all(master_, waiting.data(), waiting.size());
        waiting.clear();
    }
    return last_byte_ms;
}

bool Line::input_pending() const {
    pollfd p{master_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && ((p.revents & POLLIN) != 0);
}

// The master side of a pseudo-terminal reports the settings of the other side.
unsigned Line::host_baud() const {
    termios t{};
    return tcgetattr(master_, &t) == 0 ? baud_of(cfgetospeed(&t)) : 0;
}

bool Line::host_hangs_up_on_close() const {
    termios t{};
    return tcgetattr(master_, &t) == 0 && ((t.c_cflag & HUPCL) != 0u);
}

}  // namespace k210sim
