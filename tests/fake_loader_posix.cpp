// The fake loader behind the POSIX port calls: a terminal line whose bytes
// with a parity error come marked (FF 00 x) and whose FF comes doubled, as
// a line with PARMRK gives them.
#include <termios.h>

#include <cerrno>

#include "fake_loader.h"
#include "serial_link/port_system_posix.h"

namespace k210::test {

namespace {

unsigned baud_of(const termios& settings) { return cfgetospeed(&settings) == B38400 ? 38400 : 9600; }

}  // namespace

struct FakeLoaderPort::Calls : PortSystem {
    explicit Calls(FakeLoader& l) : loader(l) {}
    FakeLoader& loader;
    termios settings{};
    bsl::Bytes marked;  // bytes of a reply as the line gives them, not yet read

    int open(const char*, int) override { return 7; }
    int close(int) override { return 0; }
    bool is_terminal(int) override { return true; }
    std::string terminal_name(int) override { return "/dev/ttyUSB0"; }  // a real port: parity must hold
    int lock(int, int) override { return 0; }
    int exclusive_use(int, bool) override { return 0; }
    int drain(int) override { return 0; }
    int modem_lines(int, unsigned long, int) override { return 0; }
    int get_low_latency(int, bool&) override {  // a driver without the flag: nothing to ask
        errno = ENOTTY;
        return -1;
    }
    int set_low_latency(int, bool) override {
        errno = ENOTTY;
        return -1;
    }
    int get_attributes(int, termios& t) override {
        t = settings;
        return 0;
    }
    int set_attributes(int, const termios& t) override {
        settings = t;
        return 0;
    }
    int flush(int, int queue) override {
        if (queue == TCIFLUSH) {
            marked.clear();
            loader.drop_arrived();
        }
        return 0;
    }
    PortClock::time_point now() override { return loader.now(); }
    void sleep_until(PortClock::time_point when) override { loader.sleep_until(when); }
    int wait(int, bool for_writing, int timeout_ms) override {
        if (for_writing || loader.hung_up() || !marked.empty() || loader.reply_arrived()) return 1;
        const double next = loader.next_reply_ms();
        const bool comes = next >= 0 && next <= loader.now_ms + timeout_ms;
        loader.now_ms = comes ? next : loader.now_ms + timeout_ms;
        return comes ? 1 : 0;
    }
    ssize_t read(int, void* buffer, std::size_t count) override {
        if (loader.hung_up()) return 0;
        while (loader.reply_arrived()) {
            const ReplyByte got = loader.take_reply_byte();
            if (got.parity_error) marked.insert(marked.end(), {0xFF, 0x00});
            if (got.byte == 0xFF) marked.push_back(0xFF);
            marked.push_back(got.byte);
        }
        const std::size_t n = std::min(count, marked.size());
        std::copy(marked.begin(), marked.begin() + static_cast<std::ptrdiff_t>(n), static_cast<std::uint8_t*>(buffer));
        marked.erase(marked.begin(), marked.begin() + static_cast<std::ptrdiff_t>(n));
        if (n == 0) errno = EAGAIN;
        return n ? static_cast<ssize_t>(n) : -1;
    }
    ssize_t write(int, const void* bytes, std::size_t count) override {
        loader.host_writes(static_cast<const std::uint8_t*>(bytes), count, baud_of(settings));
        return static_cast<ssize_t>(count);
    }
};

FakeLoaderPort::FakeLoaderPort(FakeLoader& loader) : calls_(std::make_unique<Calls>(loader)) {}
FakeLoaderPort::~FakeLoaderPort() = default;
PortSystem& FakeLoaderPort::system() { return *calls_; }

}  // namespace k210::test
