// A bootstrap loader that exists only in the test, answering on a clock
// that runs only while the host waits: every timing rule holds to the
// microsecond, and the loader answers wrongly, late or not at all when a
// test asks it to. FakeLoaderPort puts it behind this system's port calls
// (fake_loader_<platform>.cpp), so the same loader tests run on every system.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bsl/flash_image.h"
#include "serial_link/deadline.h"

namespace k210 {
class PortSystem;
}

namespace k210::test {

enum class Fault { none, silent, late, nak, bad_byte, parity_error, damaged_block, hang_up };

// One byte of a reply, and when it reaches the host.
struct ReplyByte {
    double at_ms = 0;
    std::uint8_t byte = 0;
    bool parity_error = false;
};

class FakeLoader {
  public:
    std::deque<Fault> faults;     // for each sync or frame it answers, in turn (then none)
    std::deque<double> erase_ms;  // each mass erase's time (then 20 ms)
    std::deque<double> late_ms;   // each frame's reply held back this much more (then 0)
    double delay_ms = 0;          // the adapter holds every reply back this long
    double tick_ms = 0;           // and passes it on at the next tick of its timer (0: at once)
    bsl::Bytes memory = bsl::Bytes(0x10000, 0xFF);
    std::vector<std::pair<double, bsl::Bytes>> sent;  // what the host wrote, and when
    std::vector<std::string> broken;                  // the time rules the host broke
    double erased_ms = 0;                             // erase the flash really had
    double now_ms = 0;
    long bad_cell = -1;  // a flash cell that keeps a wrong bit of whatever is written to it

    // The host writes `count` bytes now, its port at `host_baud`.
    void host_writes(const std::uint8_t* bytes, std::size_t count, unsigned host_baud);
    // The next reply byte, if it has reached the host by now.
    bool reply_arrived() const { return !replies_.empty() && replies_.front().at_ms <= now_ms; }
    ReplyByte take_reply_byte();
    // When the next reply byte reaches the host; a negative time when none comes.
    double next_reply_ms() const { return replies_.empty() ? -1 : replies_.front().at_ms; }
    // The host drops whatever has reached it.
    void drop_arrived();
    bool hung_up() const { return hung_up_; }

    PortClock::time_point now() const {
        return PortClock::time_point(
            std::chrono::duration_cast<PortClock::duration>(std::chrono::duration<double, std::milli>(now_ms)));
    }
    void sleep_until(PortClock::time_point when);
    std::size_t frames_of(std::uint8_t command) const;

  private:
    std::deque<ReplyByte> replies_;  // bytes on their way to the host
    bsl::Bytes frame_;
    bool synced_ = false, hung_up_ = false;
    unsigned baud_ = 9600;
    double quiet_until_ms_ = 0;
    std::string rule_;

    double byte_ms() const { return 11000.0 / baud_; }
    void answer(const bsl::Bytes& bytes, double came_ms, double work_ms, Fault fault);
    void take(std::uint8_t byte, double came_ms);
    void handle_frame(double came_ms, Fault fault);
};

// The loader behind this system's port calls, for a SerialPort to open.
class FakeLoaderPort {
  public:
    explicit FakeLoaderPort(FakeLoader& loader);
    ~FakeLoaderPort();
    FakeLoaderPort(const FakeLoaderPort&) = delete;
    FakeLoaderPort& operator=(const FakeLoaderPort&) = delete;
    PortSystem& system();

  private:
    struct Calls;
    std::unique_ptr<Calls> calls_;
};

}  // namespace k210::test
