// Deadlines on the monotonic clock, for every wait of the port layer.
#pragma once

#include <chrono>

namespace k210 {

using PortClock = std::chrono::steady_clock;

// The kernel may let a wait overshoot by a thousandth of its time-out
// (3.5 ms on an empty read of the analyzer), so long waits are taken in slices.
constexpr int LONGEST_WAIT_MS = 200;

class Deadline {
  public:
    static Deadline after(PortClock::time_point now, std::chrono::milliseconds span) { return Deadline(now + span); }
    bool passed(PortClock::time_point now) const { return now >= at_; }
    // Milliseconds to wait from `now`, rounded up so a wait never ends
    // early, at most `longest_ms`; 0 once the deadline has passed.
    int wait_ms(PortClock::time_point now, int longest_ms = LONGEST_WAIT_MS) const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - now).count();
        if (left <= 0) return 0;
        return left > longest_ms ? longest_ms : static_cast<int>(left);
    }
    Deadline earlier(const Deadline& other) const { return other.at_ < at_ ? other : *this; }
    PortClock::time_point at() const { return at_; }

  private:
    explicit Deadline(PortClock::time_point at) : at_(at) {}
    PortClock::time_point at_;
};

// Sleeps until `now()` has reached `when`. A system's sleep may end early,
// or round a short span down, so after each `sleep(span)` the clock is read
// again and what is left is slept: no wait ends before its deadline.
template <typename Now, typename Sleep>
void sleep_until_reached(PortClock::time_point when, Now now, Sleep sleep) {
    for (PortClock::time_point at = now(); at < when; at = now()) sleep(when - at);
}

}  // namespace k210
