// A test-only library, preloaded (LD_PRELOAD) into a program that drives a
// pseudo-terminal as its serial port, to make the terminal behave as a
// serial port where the program under Wine needs it to.
//
// The modem lines: Wine's serial layer drives DTR and RTS with the
// modem-line requests (TIOCMGET, then TIOCMSET), which a pseudo-terminal
// refuses, so under Wine a Windows program finds no DTR and RTS on the
// simulator's port. When K210_LINES_FIFO names the simulator's lines FIFO
// (k210sim --lines), those requests on a pseudo-terminal are answered here:
// DTR and RTS are kept (both asserted at first, as a serial port opens), and
// each change is written to the FIFO as the simulator reads it, "DTR 1 RTS
// 0\n", with the levels as the port drives them (the adapter's inverters are
// the simulator's to model). One port a process, as the programs under test
// use.
//
// Parity: a pseudo-terminal has none, and Linux refuses (EINVAL) a change of
// its settings whose only change is parity. Wine sets the speed and then the
// parity in two steps, so a speed change with even parity fails there, where
// a serial port takes it. Such a change is made here without the parity, as
// the terminal would have dropped it anyway.
//
// Everything else goes to the system unchanged, and nothing changes at all
// without K210_LINES_FIFO.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

bool shim_wanted() {
    const char* fifo = std::getenv("K210_LINES_FIFO");
    return fifo != nullptr && *fifo != '\0';
}

// The pseudo-terminals' slave sides (Unix98: majors 136 to 143).
bool is_pseudo_terminal(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

bool is_modem_line_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

int system_ioctl(int fd, unsigned long request, void* argument) {
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, request, argument);
}

int system_tcsetattr(int fd, int actions, const termios* settings) {
    using Tcsetattr = int (*)(int, int, const termios*);
    static const auto next = reinterpret_cast<Tcsetattr>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    return next(fd, actions, settings);
}

class ModemLines {
  public:
    // Answers one modem-line request, as the system would for a serial port.
    int answer(unsigned long request, int* bits) {
        if (!bits) {
            errno = EFAULT;
            return -1;
        }
        const std::lock_guard<std::mutex> hold(mutex_);
        if (request == TIOCMGET) {
            *bits = state_;
            return 0;
        }
        int next = state_;
        if (request == TIOCMSET) next = *bits & (TIOCM_DTR | TIOCM_RTS);
        if (request == TIOCMBIS) next |= *bits & (TIOCM_DTR | TIOCM_RTS);
        if (request == TIOCMBIC) next &= ~(*bits & (TIOCM_DTR | TIOCM_RTS));
        if (told_ && next == state_) return 0;
        if (!tell(next)) {
            errno = EIO;  // the simulator would not learn of it: the lines failed
            return -1;
        }
        state_ = next;
        told_ = true;
        return 0;
    }

  private:
    bool tell(int lines) {
        if (fifo_ < 0) fifo_ = open(std::getenv("K210_LINES_FIFO"), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fifo_ < 0) return false;
        char event[32];
        const int n = std::snprintf(event, sizeof event, "DTR %d RTS %d\n", (lines & TIOCM_DTR) ? 1 : 0,
                                    (lines & TIOCM_RTS) ? 1 : 0);
        return write(fifo_, event, static_cast<std::size_t>(n)) == n;
    }

    std::mutex mutex_;
    int state_ = TIOCM_DTR | TIOCM_RTS;
    bool told_ = false;  // the simulator has heard of the lines at least once
    int fifo_ = -1;
};

ModemLines& modem_lines() {
    static ModemLines lines;
    return lines;
}

}  // namespace

// Every request of the program (and of the libraries it loads) comes here
// first; a modem-line request has a pointer to an int as its argument.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (shim_wanted() && is_modem_line_request(request) && is_pseudo_terminal(fd))
        return modem_lines().answer(request, static_cast<int*>(argument));
    return system_ioctl(fd, request, argument);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's names are reserved ones
extern "C" int tcsetattr(int fd, int actions, const termios* settings) noexcept {
    const int result = system_tcsetattr(fd, actions, settings);
    if (result == 0 || errno != EINVAL || !settings || !shim_wanted() || !is_pseudo_terminal(fd)) return result;
    termios now{};
    if (tcgetattr(fd, &now) != 0) {
        errno = EINVAL;
        return result;
    }
    constexpr tcflag_t PARITY = PARENB | PARODD | CMSPAR;
    termios without_parity = *settings;
    without_parity.c_cflag = (settings->c_cflag & ~PARITY) | (now.c_cflag & PARITY);
    return system_tcsetattr(fd, actions, &without_parity);
}
