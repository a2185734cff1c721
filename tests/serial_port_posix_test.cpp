// The POSIX port layer against a device that exists only in the test: bytes
// arrive at set times on a clock that runs only while the port waits, so the
// read rules hold to the millisecond, and every call can fail the way real
// adapters fail (which a pseudo-terminal never does).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "fake_device.h"
#include "harness.h"
#include "serial_link/port_latency.h"
#include "serial_link/port_termios.h"
#include "serial_link/serial_link.h"
#include "serial_link/serial_port.h"

using namespace k210;
using namespace k210::test;
using namespace k210::harness;

namespace {

const PortName COM3 = *PortName::from_text("COM3");

LineSettings parity_line() {
    LineSettings line;
    line.parity = Parity::even;
    line.hang_up_on_close = false;
    line.drain_output_on_close = true;
    line.restore_settings_on_close = true;
    return line;
}

struct Opened {
    explicit Opened(FakeDevice& device, const LineSettings& line = analyzer_line()) : port(device) {
        status = port.open(COM3, line, analyzer_read_policy());
    }
    SerialPort port;
    OpenStatus status;
};

struct TimedRead {
    ReadResult result;
    std::string bytes;
    long ended_ms;
};

TimedRead read_from(FakeDevice& device, SerialPort& port, std::size_t limit = REPLY_LIMIT) {
    std::string buffer(limit, '\0');
    const ReadResult r = port.read(buffer.data(), limit);
    return {r, buffer.substr(0, r.count), device.now_ms()};
}

TEST(PortTiming, ReadRulesHoldToTheMillisecond) {
    struct Case {
        const char* what;
        std::vector<std::pair<long, std::string>> arrivals;
        std::size_t limit;
        std::string expected;
        ReadEnd end;
        long ended_ms;
    };
    std::vector<std::pair<long, std::string>> trickle;
    for (long t = 0; t < 10000; t += 200) trickle.emplace_back(t, "x");
    const std::vector<Case> cases = {
        {"a reply ends 250 ms after its last byte", {{0, "AB"}, {150, "CD\r"}}, 256, "ABCD\r", ReadEnd::time_rule, 400},
        {"a gap just under 250 ms keeps the reply going", {{20, "A"}, {269, "B"}}, 256, "AB", ReadEnd::time_rule, 519},
        {"nothing at all: 10 ms per byte asked plus 1000 ms", {}, 256, "", ReadEnd::time_rule, 3560},
        {"the total time caps a device that keeps trickling", trickle, 256, std::string(18, 'x'), ReadEnd::time_rule,
         3560},
        {"the limit ends it at once", {{100, std::string(300, 'z')}}, 256, std::string(256, 'z'), ReadEnd::limit, 100},
        {"a short limit has a short total", {}, 20, "", ReadEnd::time_rule, 1200},
    };
    for (const Case& c : cases) {
        FakeDevice device;
        Opened opened(device);
        ASSERT_EQ(opened.status, OpenStatus::ok);
        for (const auto& a : c.arrivals) device.arrive(a.first, a.second);
        const TimedRead r = read_from(device, opened.port, c.limit);
        EXPECT_EQ(r.bytes, c.expected) << c.what;
        EXPECT_EQ(r.result.end, c.end) << c.what;
        EXPECT_EQ(r.ended_ms, c.ended_ms) << c.what;
    }
}

TEST(PortFaults, AFailedOpenUndoesWhatItDidAndSaysWhy) {
    struct Case {
        const char* what;
        void (*fault)(FakeDevice&);
        LineSettings line;
        OpenStatus status;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"no device", [](FakeDevice& d) { d.open_error = ENOENT; }, analyzer_line(), OpenStatus::open_failed,
         "is the adapter plugged in"},
        {"no permission", [](FakeDevice& d) { d.open_error = EACCES; }, analyzer_line(), OpenStatus::open_failed,
         "dialout"},
        {"settings that cannot be read", [](FakeDevice& d) { d.failing_attribute_read = 1; }, analyzer_line(),
         OpenStatus::open_failed, "cannot read the line settings"},
        {"settings that cannot be read back", [](FakeDevice& d) { d.failing_attribute_read = 2; }, analyzer_line(),
         OpenStatus::settings_refused, "cannot read the line settings back"},
        {"settings refused", [](FakeDevice& d) { d.refuse_settings = true; }, analyzer_line(),
         OpenStatus::settings_refused, "refused"},
        {"settings silently not taken", [](FakeDevice& d) { d.drop_speed = true; }, analyzer_line(),
         OpenStatus::settings_refused, "did not take the line settings (9600 baud"},
        {"an adapter that drops parity", [](FakeDevice& d) { d.drop_parity = true; }, parity_line(),
         OpenStatus::settings_refused, "did not take even parity"},
    };
    for (const Case& c : cases) {
        FakeDevice device;
        c.fault(device);
        Opened opened(device, c.line);
        EXPECT_EQ(opened.status, c.status) << c.what;
        EXPECT_NE(opened.port.failure_reason().find(c.reason), std::string::npos)
            << c.what << ": " << opened.port.failure_reason();
        EXPECT_FALSE(opened.port.is_open()) << c.what;
        if (device.open_error) continue;
        EXPECT_EQ(device.calls.back(), "close") << c.what;
        if (!device.refuse_settings) {  // what the device took is put back
            EXPECT_EQ(device.settings.c_cc[VMIN], device.found.c_cc[VMIN]) << c.what;
            EXPECT_EQ(device.settings.c_cc[VTIME], device.found.c_cc[VTIME]) << c.what;
        }
    }
    // A pseudo-terminal has no parity to drop: the line works without it,
    // also where the system refuses a request that only asks for parity.
    for (bool refused : {false, true}) {
        FakeDevice pseudo;
        pseudo.name = "/dev/pts/4";
        pseudo.drop_parity = true;
        pseudo.refuse_settings = refused;  // left at 9600 baud by the run before
        cfsetispeed(&pseudo.settings, B9600);
        cfsetospeed(&pseudo.settings, B9600);
        Opened opened(pseudo, parity_line());
        EXPECT_EQ(opened.status, OpenStatus::ok) << opened.port.failure_reason();
        EXPECT_FALSE(opened.port.parity_in_effect());
        EXPECT_TRUE(opened.port.may_be_simulated());
    }
    FakeDevice speed;  // unsupported speeds are refused before the device is touched
    SerialPort port(speed);
    LineSettings fast = parity_line();
    fast.baud = 57600;
    EXPECT_EQ(port.open(COM3, fast, analyzer_read_policy()), OpenStatus::settings_refused);
    EXPECT_TRUE(speed.calls.empty());
}

// A programmer killed on a pseudo-terminal leaves it raw with parity marks;
// Linux then refuses the next run's request, whose only change is parity.
TEST(PortFaults, APseudoTerminalLeftWithParityOpensAgain) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const TempDir dir;
    const WorkingFolder here(dir.path);
    ASSERT_EQ(symlink(ptsname(master), "COM3"), 0);
    for (int run = 0; run < 2; ++run) {
        termios left{};
        const int fd = open(ptsname(master), O_RDWR | O_NOCTTY);
        {
            SerialPort port;
            EXPECT_EQ(port.open(COM3, parity_line(), ReadPolicy{0, 0, 100}), OpenStatus::ok)
                << "run " << run << ": " << port.failure_reason();
            tcgetattr(fd, &left);
        }
        left.c_cflag |= PARENB;  // killed: the line stays as that run set it
        tcsetattr(fd, TCSANOW, &left);
        close(fd);
    }
    close(master);
}

TEST(PortFaults, WritesFinishOrFailWithinTheirTime) {
    const std::string command = "CUST NORTHSIDE HEATING 555-0142\r";
    FakeDevice chunked;
    chunked.write_chunk = 3;
    chunked.interruptions = 50;
    Opened a(chunked);
    EXPECT_EQ(a.port.write(command.data(), command.size()), PortResult::ok);
    EXPECT_EQ(chunked.written, command);

    FakeDevice stalled;  // takes the first bytes, then no more: within 1 s plus twice the wire time
    stalled.write_chunk = 4;
    stalled.write_stalls = true;
    Opened b(stalled);
    EXPECT_EQ(b.port.write(command.data(), command.size()), PortResult::failed);
    EXPECT_GE(stalled.now_ms(), 1000 + 2 * 33);  // 32 bytes take 33 to 37 ms at 9600 baud
    EXPECT_LE(stalled.now_ms(), 1000 + 2 * 37);
    EXPECT_NE(b.port.failure_reason().find("in time"), std::string::npos);

    FakeDevice broken;
    broken.write_error = EIO;
    Opened c(broken);
    EXPECT_EQ(c.port.write(command.data(), command.size()), PortResult::failed);
    EXPECT_EQ(broken.now_ms(), 0);
    EXPECT_NE(c.port.failure_reason().find(std::strerror(EIO)), std::string::npos);

    FakeDevice unwaitable;  // the wait itself fails: writing and reading fail, at once
    unwaitable.write_chunk = 4;
    unwaitable.write_stalls = true;
    Opened d(unwaitable);
    unwaitable.wait_fails = true;
    EXPECT_EQ(d.port.write(command.data(), command.size()), PortResult::failed);
    char buffer[8];
    EXPECT_EQ(d.port.read(buffer, sizeof buffer).end, ReadEnd::device_gone);
    EXPECT_EQ(unwaitable.now_ms(), 0);

    FakeDevice slow_only;  // a speed the device does not take is said so
    Opened e(slow_only);
    slow_only.drop_speed = true;
    EXPECT_EQ(e.port.set_speed(38400), PortResult::failed);
    EXPECT_NE(e.port.failure_reason().find("did not take 38400 baud"), std::string::npos);
}

TEST(PortFaults, AGoneDeviceIsNotSilence) {
    FakeDevice failing;  // EIO in the middle of a reply
    Opened a(failing);
    failing.arrive(10, "MODE:2\r");
    failing.read_fails_after = 3;
    char buffer[REPLY_LIMIT + 1] = "untouched";
    ReadResult r = a.port.read(buffer, REPLY_LIMIT);
    EXPECT_EQ(r.end, ReadEnd::device_gone);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_NE(a.port.failure_reason().find(std::strerror(EIO)), std::string::npos);

    FakeDevice unplugged;
    Opened b(unplugged);
    unplugged.arrive(10, "MO");
    unplugged.hung_up = true;
    r = b.port.read(buffer, REPLY_LIMIT);
    EXPECT_EQ(r.end, ReadEnd::device_gone);
    EXPECT_NE(b.port.failure_reason().find("hung up"), std::string::npos);

    FakeDevice stormy;  // interrupted over and over: the reply and its timing are kept
    Opened c(stormy);
    stormy.arrive(100, "VERS:3.7\r");
    stormy.interruptions = 1000;
    const TimedRead t = read_from(stormy, c.port);
    EXPECT_EQ(t.bytes, "VERS:3.7\r");
    EXPECT_EQ(t.result.end, ReadEnd::time_rule);
    EXPECT_GE(t.ended_ms, 350);
    EXPECT_LE(t.ended_ms, 360);
}

TEST(PortFaults, ParityMarksAreUndoneAndReported) {
    FakeDevice device;
    Opened opened(device, parity_line());
    ASSERT_EQ(opened.status, OpenStatus::ok);
    ASSERT_TRUE(opened.port.parity_in_effect());
    EXPECT_TRUE(device.settings.c_iflag & INPCK);
    device.arrive(0, std::string("\x90\xFF\xFF\x01", 4));  // an FF in the data comes doubled
    TimedRead r = read_from(device, opened.port, 3);
    EXPECT_EQ(r.bytes, std::string("\x90\xFF\x01", 3));
    EXPECT_FALSE(r.result.line_error);
    device.arrive(10, std::string("\x80\xFF", 2));  // a mark cut across two chunks
    device.arrive(20, std::string("\x00\x41", 2));  // ... marks a byte with a parity error
    r = read_from(device, opened.port, 2);
    EXPECT_EQ(r.bytes,
              "\x80"
              "A");
    EXPECT_TRUE(r.result.line_error);
}

// The terminal settings for each line, from a device left cooked, slow and with flow control.
TEST(LineTermios, AreARawEightBitLineAsAskedAndGoBackAsFound) {
    termios found{};
    found.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | IGNPAR;
    found.c_oflag = OPOST;
    found.c_lflag = ECHO | ICANON | ISIG;
    found.c_cflag = CS7 | CSTOPB | PARODD | CRTSCTS;
    found.c_cc[VMIN] = 5;
    found.c_cc[VTIME] = 7;
    cfsetispeed(&found, B1200);
    cfsetospeed(&found, B1200);
    LineSettings fast_parity = parity_line();
    fast_parity.baud = 38400;
    for (const LineSettings& line : {analyzer_line(), fast_parity}) {
        const bool parity = line.parity == Parity::even;
        const termios t = line_termios(found, line);
        EXPECT_EQ(t.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP | IGNPAR), 0u);
        EXPECT_EQ(t.c_iflag & (INPCK | PARMRK), parity ? INPCK | PARMRK : 0u);  // damaged bytes come marked
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
        EXPECT_EQ(t.c_cflag & (CSIZE | CSTOPB | PARODD | CRTSCTS | CLOCAL | CREAD), CS8 | CLOCAL | CREAD);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, parity);
        EXPECT_EQ((t.c_cflag & HUPCL) != 0, line.hang_up_on_close);
        EXPECT_EQ(t.c_cc[VMIN], 1);
        EXPECT_EQ(t.c_cc[VTIME], 0);
        const LineTaken taken = taken_from(t);
        EXPECT_EQ(taken.baud, line.baud);
        EXPECT_TRUE(taken.eight_bits && taken.one_stop_bit && taken.no_flow_control);
        EXPECT_EQ(taken.even_parity, parity);

        const termios whole = for_close(found, t, true, false);
        EXPECT_EQ(whole.c_cflag, found.c_cflag);
        EXPECT_EQ(whole.c_iflag, found.c_iflag);
        EXPECT_EQ(cfgetospeed(&whole), cfgetospeed(&found));
        const termios kept = for_close(found, t, false, !line.hang_up_on_close);
        EXPECT_EQ(cfgetospeed(&kept), speed_for(line.baud));  // the line as it is, its read settings as found
        EXPECT_EQ(kept.c_cc[VMIN], 5);
        EXPECT_EQ(kept.c_cc[VTIME], 7);
        EXPECT_EQ((kept.c_cflag & HUPCL) != 0, line.hang_up_on_close);
    }
    EXPECT_EQ(taken_from(found).baud, 0u);  // a speed no line here uses
}

TEST(PortClose, PutsBackWhatTheLineSettingsSay) {
    FakeDevice analyzer;
    {
        Opened opened(analyzer);
        ASSERT_EQ(opened.status, OpenStatus::ok);
        EXPECT_TRUE(analyzer.settings.c_cflag & HUPCL);
        analyzer.calls.clear();
        EXPECT_EQ(opened.port.close(), CloseStatus::ok);
        EXPECT_EQ(opened.port.close(), CloseStatus::not_open);
    }
    EXPECT_EQ(analyzer.calls, (std::vector<std::string>{"not exclusive", "flush out", "flush in", "set", "close"}));
    EXPECT_EQ(analyzer.settings.c_cc[VMIN], 5);  // only the time-outs go back
    EXPECT_EQ(analyzer.settings.c_cc[VTIME], 7);
    EXPECT_EQ(cfgetospeed(&analyzer.settings), static_cast<speed_t>(B9600));

    FakeDevice loader;  // closed by going out of scope; keeps the modem lines
    loader.found.c_cflag |= HUPCL;
    loader.settings = loader.found;
    {
        Opened opened(loader, parity_line());
        ASSERT_EQ(opened.status, OpenStatus::ok);
        loader.calls.clear();
    }
    EXPECT_EQ(loader.calls, (std::vector<std::string>{"not exclusive", "drain", "flush in", "set", "close"}));
    EXPECT_FALSE(loader.settings.c_cflag & HUPCL);
    EXPECT_FALSE(loader.settings.c_cflag & PARENB);  // the rest as found

    FakeDevice failing;  // a close that fails is said so, and the port counts as closed
    Opened opened(failing);
    failing.close_fails = true;
    EXPECT_EQ(opened.port.close(), CloseStatus::failed);
    EXPECT_FALSE(opened.port.is_open());
    EXPECT_EQ(opened.port.close(), CloseStatus::not_open);
}

// A USB adapter hands received bytes over only when its latency timer runs
// out; a line that asks for low latency gets it where the driver has it,
// and the driver's setting is as it was once the port is closed.
// The flag in the driver's word of flags: found, asked for, and put back,
// with every other bit (a flag the user set among them) left as it was.
TEST(PortClose, TheLatencyFlagIsTheOnlyBitThatChanges) {
    constexpr int FLAG = 1 << 13;  // Linux's ASYNC_LOW_LATENCY
    constexpr int OTHERS = 0x1041;
    struct Case {
        int found;
        bool found_on;
        int asked;  // the flags written to ask for low latency
    };
    const Case cases[] = {{0, false, FLAG}, {OTHERS, false, OTHERS | FLAG}, {OTHERS | FLAG, true, OTHERS | FLAG}};
    for (const Case& c : cases) {
        EXPECT_EQ(has_low_latency(c.found, FLAG), c.found_on) << c.found;
        EXPECT_EQ(with_low_latency(c.found, FLAG, true), c.asked) << c.found;
        EXPECT_EQ(with_low_latency(c.asked, FLAG, c.found_on), c.found) << c.found;  // put back: as found
    }
    EXPECT_FALSE(has_low_latency(~FLAG, FLAG));
}

TEST(PortClose, PutsBackTheLatencyItFound) {
    struct Case {
        const char* what;
        bool has_flag, found_on, asked;
        bool in_effect;
        std::vector<bool> sets;
    };
    const Case cases[] = {
        {"an adapter with the flag", true, false, true, true, {true, false}},
        {"already on: nothing to change or put back", true, true, true, true, {}},
        {"a device without the flag is used as it is", false, false, true, false, {}},
        {"a line that does not ask leaves it alone", true, false, false, false, {}},
    };
    for (const Case& c : cases) {
        FakeDevice device;
        device.has_latency_flag = c.has_flag;
        device.low_latency = c.found_on;
        LineSettings line = parity_line();
        line.low_latency = c.asked;
        {
            Opened opened(device, line);
            ASSERT_EQ(opened.status, OpenStatus::ok) << c.what;
            EXPECT_EQ(opened.port.low_latency_in_effect(), c.in_effect) << c.what;
        }
        EXPECT_EQ(device.latency_sets, c.sets) << c.what;
        EXPECT_EQ(device.low_latency, c.found_on) << c.what;
    }
}

TEST(Deadlines, WaitsRoundUpAndComeInSlices) {
    const PortClock::time_point start{};
    const Deadline d = Deadline::after(start, std::chrono::milliseconds(450));
    EXPECT_EQ(d.wait_ms(start), LONGEST_WAIT_MS);
    EXPECT_EQ(d.wait_ms(start + std::chrono::microseconds(449001)), 1);  // never ends a wait early
    EXPECT_EQ(d.wait_ms(start + std::chrono::milliseconds(450)), 0);
    EXPECT_FALSE(d.passed(start + std::chrono::microseconds(449999)));
    EXPECT_TRUE(d.passed(start + std::chrono::milliseconds(450)));
    EXPECT_EQ(d.wait_ms(start + std::chrono::seconds(9)), 0);
    const Deadline sooner = Deadline::after(start, std::chrono::milliseconds(100));
    EXPECT_EQ(d.earlier(sooner).at(), sooner.at());
    EXPECT_EQ(sooner.earlier(d).at(), sooner.at());
}

}  // namespace
