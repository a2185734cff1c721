// The port's waits on this system's real clock: the loader's turnaround and
// pulses are short waits, and none may end before its deadline.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "serial_link/serial_port.h"

using namespace k210;

namespace {

double ms_between(PortClock::time_point from, PortClock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A sleep that ends early every time, on a clock of the test's: the wait goes on until the deadline.
TEST(PortWait, SleepsAgainUntilTheDeadlineHasPassed) {
    PortClock::time_point clock{};
    int sleeps = 0;
    const auto now = [&clock] { return clock; };
    const auto sleep_a_third = [&](PortClock::duration span) {
        ++sleeps;
        clock += std::max<PortClock::duration>(span / 3, std::chrono::microseconds(1));
    };
    const PortClock::time_point deadline = clock + std::chrono::microseconds(1300);
    sleep_until_reached(deadline, now, sleep_a_third);
    EXPECT_GE(clock, deadline);
    EXPECT_LT(clock - deadline, std::chrono::microseconds(2));
    EXPECT_GT(sleeps, 1);
    sleeps = 0;
    sleep_until_reached(deadline, now, sleep_a_third);  // passed already: no sleep at all
    EXPECT_EQ(sleeps, 0);
}

TEST(PortWait, NoWaitEndsBeforeItsDeadline) {
    SerialPort port;  // never opened: the system's own clock and waits
    const double waits_ms[] = {0.3, 0.5, 0.8, 1.0, 1.2, 1.3, 1.5, 2.0, 10.0};
    std::vector<double> all;
    for (double wait_ms : waits_ms) {
        std::vector<double> overshoots;
        for (int i = 0; i < 20; ++i) {
            const PortClock::time_point deadline = port.now() + std::chrono::duration_cast<PortClock::duration>(
                                                                    std::chrono::duration<double, std::milli>(wait_ms));
            port.sleep_until(deadline);
            const double late_ms = ms_between(deadline, PortClock::now());
            EXPECT_GE(late_ms, 0) << "a wait of " << wait_ms << " ms ended " << -late_ms << " ms early";
            overshoots.push_back(late_ms);
        }
        std::printf("wait %5.1f ms: median overshoot %.3f ms, longest %.3f ms\n", wait_ms, median(overshoots),
                    *std::max_element(overshoots.begin(), overshoots.end()));
        all.insert(all.end(), overshoots.begin(), overshoots.end());
    }
    // A wait that costs a whole timer tick (15.6 ms by default on Windows) would make each
    // loader frame that much slower; a loaded machine wakes late only now and then.
    EXPECT_LT(median(all), 5.0);
}

}  // namespace
