// A serial device that exists only in a test: bytes arrive at set times on
// a clock that runs only while the port waits or sleeps, so timing rules
// hold to the millisecond, and every call can fail the way real adapters
// fail (which a pseudo-terminal never does). POSIX systems.
#pragma once

#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "serial_link/port_system_posix.h"

namespace k210::test {

constexpr int FD = 42;

class FakeDevice : public PortSystem {
  public:
    // Raw, with time-out fields the port must put back.
    static termios raw_settings() {
        termios t{};
        cfmakeraw(&t);
        t.c_cc[VMIN] = 5;
        t.c_cc[VTIME] = 7;
        return t;
    }
    // Bytes that arrive `at_ms` after the start.
    void arrive(long at_ms, const std::string& bytes) { arrivals.push_back({at_ms * 1000, bytes}); }
    // Called with every write, e.g. to answer it with arrive().
    std::function<void(const std::string&)> on_write;
    long now_ms() const { return now_us / 1000; }

    long now_us = 0;
    struct Arrival {
        long at_us;
        std::string bytes;
    };
    std::deque<Arrival> arrivals;
    std::string written;
    struct Write {
        long at_ms;
        std::string bytes;
    };
    std::vector<Write> writes;
    std::vector<std::string> calls;
    termios settings = raw_settings();
    termios found = raw_settings();
    std::string name = "/dev/ttyUSB0";
    // Faults.
    int open_error = 0;
    bool refuse_settings = false, drop_parity = false, drop_speed = false, no_modem_lines = false;
    int failing_attribute_read = 0;  // this read of the settings (1, 2, ...) fails with EIO
    int attribute_reads = 0;
    bool close_fails = false, wait_fails = false;
    int interruptions = 0;  // so many waits and reads fail with EINTR first
    std::size_t write_chunk = 0;
    bool write_stalls = false;
    int write_error = 0;
    std::size_t read_fails_after = std::string::npos;
    bool hung_up = false;

    int open(const char*, int) override {
        calls.emplace_back("open");
        if (open_error) errno = open_error;
        return open_error ? -1 : FD;
    }
    int close(int) override {
        calls.emplace_back("close");
        if (close_fails) errno = EIO;
        return close_fails ? -1 : 0;
    }
    bool has_latency_flag = true, low_latency = false;
    std::vector<bool> latency_sets;  // every change asked for
    int get_low_latency(int, bool& on) override {
        if (!has_latency_flag) errno = ENOTTY;
        on = low_latency;
        return has_latency_flag ? 0 : -1;
    }
    int set_low_latency(int, bool on) override {
        if (!has_latency_flag) errno = ENOTTY;
        if (has_latency_flag) low_latency = on;
        latency_sets.push_back(on);
        return has_latency_flag ? 0 : -1;
    }
    bool is_terminal(int) override { return true; }
    std::string terminal_name(int) override { return name; }
    int lock(int, int) override { return 0; }
    int exclusive_use(int, bool on) override {
        calls.emplace_back(on ? "exclusive" : "not exclusive");
        return 0;
    }
    int get_attributes(int, termios& t) override {
        if (++attribute_reads == failing_attribute_read) {
            errno = EIO;
            return -1;
        }
        t = settings;
        return 0;
    }
    int set_attributes(int, const termios& t) override {
        calls.emplace_back("set");
        if (refuse_settings) {
            errno = EINVAL;
            return -1;
        }
        settings = t;
        if (drop_parity) settings.c_cflag &= ~static_cast<tcflag_t>(PARENB);
        if (drop_speed) cfsetospeed(&settings, B1200);
        return 0;
    }
    int flush(int, int queue) override {
        calls.emplace_back(queue == TCIFLUSH ? "flush in" : "flush out");
        return 0;
    }
    int drain(int) override {
        calls.emplace_back("drain");
        return 0;
    }
    int modem_lines(int, unsigned long, int) override {
        if (no_modem_lines) errno = ENOTTY;
        return no_modem_lines ? -1 : 0;
    }
    PortClock::time_point now() override { return PortClock::time_point(std::chrono::microseconds(now_us)); }
    void sleep_until(PortClock::time_point when) override {
        const long until =
            static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count());
        now_us = std::max(now_us, until);
    }

    bool interrupted() {
        if (interruptions <= 0) return false;
        --interruptions;
        now_us += 10;  // a signal storm still lets time pass
        errno = EINTR;
        return true;
    }
    bool has_arrived() const { return !arrivals.empty() && arrivals.front().at_us <= now_us; }

    int wait(int, bool for_writing, int timeout_ms) override {
        if (interrupted()) return -1;
        if (wait_fails) {
            errno = EBADF;
            return -1;
        }
        if (for_writing && !write_stalls) return 1;
        const long until = now_us + timeout_ms * 1000L;
        if (!for_writing && (hung_up || has_arrived())) return 1;
        if (!for_writing && !arrivals.empty() && arrivals.front().at_us < until) {
            now_us = arrivals.front().at_us;
            return 1;
        }
        now_us = until;
        return 0;
    }
    ssize_t read(int, void* buffer, std::size_t count) override {
        if (interrupted()) return -1;
        if (read_fails_after == 0) {
            errno = EIO;
            return -1;
        }
        std::string got;
        while (has_arrived() && got.size() < count && got.size() < read_fails_after) {
            Arrival& a = arrivals.front();
            const std::size_t n = std::min({count - got.size(), a.bytes.size(), read_fails_after - got.size()});
            got += a.bytes.substr(0, n);
            a.bytes.erase(0, n);
            if (a.bytes.empty()) arrivals.pop_front();
        }
        if (read_fails_after != std::string::npos) read_fails_after -= got.size();
        if (got.empty() && hung_up) return 0;
        if (got.empty()) {
            errno = EAGAIN;
            return -1;
        }
        std::memcpy(buffer, got.data(), got.size());
        return static_cast<ssize_t>(got.size());
    }
    ssize_t write(int, const void* bytes, std::size_t count) override {
        if (interrupted()) return -1;
        if (write_error) {
            errno = write_error;
            return -1;
        }
        if (write_stalls && !written.empty()) {
            errno = EAGAIN;
            return -1;
        }
        const std::size_t n = write_chunk ? std::min(write_chunk, count) : count;
        written.append(static_cast<const char*>(bytes), n);
        writes.push_back({now_ms(), std::string(static_cast<const char*>(bytes), n)});
        if (on_write) on_write(writes.back().bytes);
        return static_cast<ssize_t>(n);
    }
};

}  // namespace k210::test
