// The fake loader behind the Windows communications calls: reads end as
// the driver's time-outs say, and a byte with a parity error shows in the
// line's error state, as ClearCommError gives it.
#include <windows.h>

#include <algorithm>

#include "fake_loader.h"
#include "serial_link/port_system_win32.h"

namespace k210::test {

namespace {

HANDLE const PORT = reinterpret_cast<HANDLE>(0x77);  // NOLINT(performance-no-int-to-ptr): a handle only compared

}  // namespace

struct FakeLoaderPort::Calls : PortSystem {
    explicit Calls(FakeLoader& l) : loader(l) { state.DCBlength = sizeof state; }
    FakeLoader& loader;
    COMMTIMEOUTS timeouts{};
    DCB state{};
    DWORD errors = 0;

    HANDLE create_file(const char*) override { return PORT; }
    BOOL setup_comm(HANDLE, DWORD, DWORD) override { return TRUE; }
    BOOL get_comm_timeouts(HANDLE, COMMTIMEOUTS& t) override {
        t = timeouts;
        return TRUE;
    }
    BOOL set_comm_timeouts(HANDLE, const COMMTIMEOUTS& t) override {
        timeouts = t;
        return TRUE;
    }
    BOOL set_comm_mask(HANDLE, DWORD) override { return TRUE; }
    BOOL get_comm_state(HANDLE, DCB& dcb) override {
        dcb = state;
        return TRUE;
    }
    BOOL set_comm_state(HANDLE, const DCB& dcb) override {
        state = dcb;
        return TRUE;
    }
    BOOL purge_comm(HANDLE, DWORD flags) override {
        if (flags & PURGE_RXCLEAR) loader.drop_arrived();
        return TRUE;
    }
    // Ends with `count` bytes, or when the total time (or the interval after a byte) has passed.
    BOOL read_file(HANDLE, void* buffer, DWORD count, DWORD& done) override {
        done = 0;
        if (loader.hung_up()) return FALSE;
        const double total = static_cast<double>(timeouts.ReadTotalTimeoutMultiplier) * count +
                             static_cast<double>(timeouts.ReadTotalTimeoutConstant);
        const double deadline = total > 0 ? loader.now_ms + total : 1e300;
        for (;;) {
            while (done < count && loader.reply_arrived()) {
                const ReplyByte got = loader.take_reply_byte();
                if (got.parity_error) errors |= CE_RXPARITY;
                static_cast<std::uint8_t*>(buffer)[done++] = got.byte;
            }
            if (done == count) return TRUE;
            double until = deadline;
            if (timeouts.ReadIntervalTimeout > 0 && done > 0)
                until = std::min(until, loader.now_ms + timeouts.ReadIntervalTimeout);
            const double next = loader.next_reply_ms();
            if (next < 0 || next > until) {
                if (until < 1e300) loader.now_ms = std::max(loader.now_ms, until);
                return TRUE;
            }
            loader.now_ms = std::max(loader.now_ms, next);
        }
    }
    BOOL write_file(HANDLE, const void* bytes, DWORD count, DWORD& done) override {
        loader.host_writes(static_cast<const std::uint8_t*>(bytes), count, state.BaudRate);
        done = count;
        return TRUE;
    }
    BOOL clear_comm_error(HANDLE, DWORD& found, COMSTAT&) override {
        found = errors;
        errors = 0;
        return TRUE;
    }
    BOOL escape_comm_function(HANDLE, DWORD) override { return TRUE; }
    BOOL flush_file_buffers(HANDLE) override { return TRUE; }
    BOOL close_handle(HANDLE) override { return TRUE; }
    DWORD last_error() override { return ERROR_GEN_FAILURE; }
    PortClock::time_point now() override { return loader.now(); }
    void sleep_until(PortClock::time_point when) override { loader.sleep_until(when); }
    bool runs_under_wine() override { return false; }  // a real port: parity must hold
};

FakeLoaderPort::FakeLoaderPort(FakeLoader& loader) : calls_(std::make_unique<Calls>(loader)) {}
FakeLoaderPort::~FakeLoaderPort() = default;
PortSystem& FakeLoaderPort::system() { return *calls_; }

}  // namespace k210::test
