// The operating system's calls that the POSIX port layer makes, behind
// virtual functions so that a test can replace any of them: refuse the
// settings, cut a write short, fail a read half-way, interrupt every call,
// hang up, or run the clock. The defaults make the real calls.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <string>

#include "serial_link/deadline.h"

namespace k210 {

class PortSystem {
  public:
    PortSystem() = default;
    virtual ~PortSystem() = default;
    PortSystem(const PortSystem&) = delete;
    PortSystem& operator=(const PortSystem&) = delete;
    PortSystem(PortSystem&&) = delete;
    PortSystem& operator=(PortSystem&&) = delete;
    virtual int open(const char* path, int flags);
    virtual int close(int fd);
    virtual ssize_t read(int fd, void* buffer, std::size_t count);
    virtual ssize_t write(int fd, const void* bytes, std::size_t count);
    // Waits until fd is readable (or writable): 1, 0 after timeout_ms, -1 with errno.
    // A hung-up device counts as readable.
    virtual int wait(int fd, bool for_writing, int timeout_ms);
    virtual int get_attributes(int fd, termios& settings);
    virtual int set_attributes(int fd, const termios& settings);
    virtual int flush(int fd, int queue);
    virtual int drain(int fd);
    // TIOCMBIS / TIOCMBIC with the DTR and RTS bits.
    virtual int modem_lines(int fd, unsigned long request, int lines);
    // TIOCEXCL / TIOCNXCL.
    virtual int exclusive_use(int fd, bool on);
    virtual int lock(int fd, int operation);
    // The driver's low-latency mode (Linux: ASYNC_LOW_LATENCY; macOS: the
    // receive latency, which cannot be read, so it reads as the default);
    // -1 with errno where the device or the system has none.
    virtual int get_low_latency(int fd, bool& on);
    virtual int set_low_latency(int fd, bool on);
    virtual bool is_terminal(int fd);
    virtual std::string terminal_name(int fd);
    virtual PortClock::time_point now();
    virtual void sleep_until(PortClock::time_point when);
};

}  // namespace k210
