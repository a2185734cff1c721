// The Windows communications calls behind PortSystem, made for real, and
// the one wait every part of the port uses.
#include <windows.h>
// windows.h first: the multimedia timer header needs its types.
#include <timeapi.h>

#include <chrono>

#include "serial_link/port_system_win32.h"
#include "serial_link/serial_port.h"

namespace k210 {

namespace {

constexpr DWORD HIGH_RESOLUTION_TIMER = 0x00000002;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION: Windows 10 1803 on

// A sleep shorter than the system's timer resolution (15.6 ms by default)
// may last a whole tick or end early, and the loader's turnaround is 1.2 ms.
class WaitTimer {
  public:
    // A high-resolution timer ends within a fraction of a millisecond without changing the
    // whole system's timer; where there is none, 1 ms resolution is asked for until the run ends.
    WaitTimer() : timer_(CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER, TIMER_ALL_ACCESS)) {
        if (timer_ != nullptr) return;
        raised_ = timeBeginPeriod(1) == TIMERR_NOERROR;
        timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    ~WaitTimer() {
        if (timer_ != nullptr) CloseHandle(timer_);
        if (raised_) timeEndPeriod(1);
    }
    WaitTimer(const WaitTimer&) = delete;
    WaitTimer& operator=(const WaitTimer&) = delete;
    WaitTimer(WaitTimer&&) = delete;
    WaitTimer& operator=(WaitTimer&&) = delete;

    // Waits about `span`; it may end a little early, so the caller looks at the clock again.
    void wait(PortClock::duration span) {
        using Units = std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>;  // the timer's 100 ns
        const DWORD ms = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(span).count());
        LARGE_INTEGER due{};
        due.QuadPart = -std::chrono::ceil<Units>(span).count();  // negative: from now
        if (timer_ != nullptr && SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) != FALSE) {
            (void)WaitForSingleObject(timer_, ms + 100);  // bounded: the clock decides either way
            return;
        }
        Sleep(ms);
    }

  private:
    HANDLE timer_;
    bool raised_ = false;
};

}  // namespace

HANDLE PortSystem::create_file(const char* path) {
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}
BOOL PortSystem::setup_comm(HANDLE port, DWORD in_queue, DWORD out_queue) {
    return SetupComm(port, in_queue, out_queue);
}
BOOL PortSystem::get_comm_timeouts(HANDLE port, COMMTIMEOUTS& timeouts) { return GetCommTimeouts(port, &timeouts); }
BOOL PortSystem::set_comm_timeouts(HANDLE port, const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS copy = timeouts;
    return SetCommTimeouts(port, &copy);
}
BOOL PortSystem::set_comm_mask(HANDLE port, DWORD mask) { return SetCommMask(port, mask); }
BOOL PortSystem::get_comm_state(HANDLE port, DCB& dcb) { return GetCommState(port, &dcb); }
BOOL PortSystem::set_comm_state(HANDLE port, const DCB& dcb) {
    DCB copy = dcb;
    return SetCommState(port, &copy);
}
BOOL PortSystem::purge_comm(HANDLE port, DWORD flags) { return PurgeComm(port, flags); }
BOOL PortSystem::read_file(HANDLE port, void* buffer, DWORD count, DWORD& done) {
    return ReadFile(port, buffer, count, &done, nullptr);
}
BOOL PortSystem::write_file(HANDLE port, const void* bytes, DWORD count, DWORD& done) {
    return WriteFile(port, bytes, count, &done, nullptr);
}
BOOL PortSystem::clear_comm_error(HANDLE port, DWORD& errors, COMSTAT& status) {
    return ClearCommError(port, &errors, &status);
}
BOOL PortSystem::escape_comm_function(HANDLE port, DWORD function) { return EscapeCommFunction(port, function); }
BOOL PortSystem::flush_file_buffers(HANDLE port) { return FlushFileBuffers(port); }
BOOL PortSystem::close_handle(HANDLE port) { return CloseHandle(port); }
DWORD PortSystem::last_error() { return GetLastError(); }
PortClock::time_point PortSystem::now() { return PortClock::now(); }
// Never ends before `when`: after each wait the clock says what is left.
void PortSystem::sleep_until(PortClock::time_point when) {
    static WaitTimer timer;  // one for the whole run, given back when the program ends
    sleep_until_reached(when, PortClock::now, [](PortClock::duration span) { timer.wait(span); });
}

bool PortSystem::runs_under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

PortSystem& real_port_system() {
    static PortSystem system;
    return system;
}

}  // namespace k210
