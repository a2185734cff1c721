// The port link on a real pseudo-terminal: the test holds the other side,
// as the analyzer would, and the link opens it through a COMn link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"
#include "serial_link/serial_link.h"
#include "system/standard_streams.h"

using namespace k210;
using namespace k210::harness;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A pseudo-terminal linked as COM5 in a temporary folder, which becomes the
// working directory for the test.
class PortLink : public ::testing::Test {
  protected:
    void SetUp() override {
        if (wine_build()) GTEST_SKIP() << "the POSIX port layer";
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        device = ptsname(master);
        termios t{};
        int slave = open(device.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(slave, &t);
        t.c_cc[VMIN] = 5;  // time-out fields the link must put back
        t.c_cc[VTIME] = 7;
        tcsetattr(slave, TCSANOW, &t);
        close(slave);
        ASSERT_EQ(symlink(device.c_str(), "COM5"), 0);
    }
    void TearDown() override {
        if (master >= 0) close(master);
    }
    void analyzer_sends(const std::string& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string analyzer_receives() {
        std::string got;
        char buf[256];
        pollfd p{master, POLLIN, 0};
        while (poll(&p, 1, 100) > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    TempDir dir;
    WorkingFolder here{dir.path};
    int master = -1;
    std::string device;
    const PortName COM5 = *PortName::from_text("COM5");
    AnalyzerLink link;
};

TEST_F(PortLink, OpensARawNineSixHundredEightNOneLine) {
    ASSERT_EQ(link.open_port(COM5), OpenStatus::ok);
    termios t{};
    ASSERT_EQ(tcgetattr(master, &t), 0);  // the far side sees the slave's settings
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);

    // Eight-bit clean both ways: CR, LF, NUL and 0xFF pass unchanged.
    const std::string bytes("A\r\n\0\xFF\x11\x13Z", 8);
    ASSERT_EQ(link.send_command(bytes.data(), bytes.size()), PortResult::ok);
    EXPECT_EQ(analyzer_receives(), bytes);
    analyzer_sends(bytes);
    char reply[REPLY_LIMIT + 1];
    ASSERT_EQ(link.read_reply(reply, 8).count, 8u);
    EXPECT_EQ(std::string(reply, 8), bytes);
}

TEST_F(PortLink, ReadEndsAtTheLimitAfterAGapOrAtTheTotalTime) {
    ASSERT_EQ(link.open_port(COM5), OpenStatus::ok);
    char reply[REPLY_LIMIT + 1];

    analyzer_sends("0123456789");
    auto start = Clock::now();
    ReadResult r = link.read_reply(reply, 4);  // at the limit, at once
    EXPECT_LT(ms_since(start), 100);
    EXPECT_EQ(r.count, 4u);
    EXPECT_EQ(r.end, ReadEnd::limit);
    EXPECT_STREQ(reply, "0123");

    // Bytes 150 ms apart belong to one reply; it ends 250 ms after the last.
    // (The exact times are checked against a fake clock in serial_port_posix_test.)
    ASSERT_EQ(link.send_command("x", 1), PortResult::ok);  // drops the rest of the earlier reply, "456789"
    std::thread late([&] {
        analyzer_sends("AB");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        analyzer_sends("CD\r");
    });
    start = Clock::now();
    r = link.read_reply(reply, REPLY_LIMIT);
    const double gap_read = ms_since(start);
    late.join();
    EXPECT_EQ(r.count, 5u);
    EXPECT_STREQ(reply, "ABCD\r");
    EXPECT_GE(gap_read, 395);
    EXPECT_LT(gap_read, 400 + 300);

    // Nothing at all: 10 ms per requested byte plus 1000 ms, buffer emptied.
    std::strcpy(reply, "old");
    start = Clock::now();
    r = link.read_reply(reply, 20);
    const double empty_read = ms_since(start);
    EXPECT_EQ(r.count, 0u);
    EXPECT_EQ(r.end, ReadEnd::time_rule);
    EXPECT_STREQ(reply, "");
    EXPECT_GE(empty_read, 1195);
    EXPECT_LT(empty_read, 1200 + 300);
}

TEST_F(PortLink, AVanishedDeviceIsNotSilence) {
    ASSERT_EQ(link.open_port(COM5), OpenStatus::ok);
    close(master);
    master = -1;
    char reply[REPLY_LIMIT + 1] = "untouched";
    const auto start = Clock::now();
    const ReadResult r = link.read_reply(reply, REPLY_LIMIT);
    EXPECT_LT(ms_since(start), 500);  // no waiting out the 3.56 s time-out
    EXPECT_EQ(r.end, ReadEnd::device_gone);
    EXPECT_EQ(r.count, 0u);
    EXPECT_STREQ(reply, "untouched");
    EXPECT_NE(link.failure_reason().find("hung up"), std::string::npos) << link.failure_reason();
    EXPECT_EQ(link.send_command("MODE 2\r", 7), PortResult::failed);
}

TEST_F(PortLink, ClosePutsBackTheTimeOutsAndFreesThePort) {
    ASSERT_EQ(link.open_port(COM5), OpenStatus::ok);
    int other = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);  // held while open
    EXPECT_EQ(link.close_port(), CloseStatus::ok);
    EXPECT_EQ(link.close_port(), CloseStatus::not_open);  // a second close touches nothing
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    termios t{};
    ASSERT_EQ(tcgetattr(other, &t), 0);
    EXPECT_EQ(t.c_cc[VMIN], 5);
    EXPECT_EQ(t.c_cc[VTIME], 7);
    flock(other, LOCK_UN);
    close(other);
    EXPECT_EQ(link.open_port(COM5), OpenStatus::ok);  // and it opens again
}

TEST_F(PortLink, RefusesWhatIsNotAFreeSerialLine) {
    int holder = open(device.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(link.open_port(COM5), OpenStatus::open_failed);
    EXPECT_NE(link.failure_reason().find("busy"), std::string::npos);
    close(holder);

    write_file("COM6", "a regular file\n");
    EXPECT_EQ(link.open_port(*PortName::from_text("COM6")), OpenStatus::open_failed);
    EXPECT_NE(link.failure_reason().find("not a serial device"), std::string::npos);
    ASSERT_EQ(symlink("/dev/nonexistent-adapter", "COM7"), 0);
    EXPECT_EQ(link.open_port(*PortName::from_text("COM7")), OpenStatus::open_failed);
    EXPECT_NE(link.failure_reason().find("no such device"), std::string::npos);
    EXPECT_EQ(link.close_port(), CloseStatus::not_open);  // no handle was kept

    EXPECT_EQ(link.open_port(COM5), OpenStatus::ok);
    EXPECT_EQ(link.open_port(COM5), OpenStatus::open_failed);  // a second open of an open link
    EXPECT_NE(link.failure_reason().find("already open"), std::string::npos);
    AnalyzerLink second;  // another run on the same port; for root the lock is all that stops it
    EXPECT_EQ(second.open_port(COM5), OpenStatus::open_failed);
    EXPECT_NE(second.failure_reason().find("busy"), std::string::npos) << second.failure_reason();
}

TEST(PortNames, OnlyComOneToNineNameADevice) {
    for (const char* bad : {"", "COM", "COM0", "COM10", "com3", "COMX", "LPT1"})
        EXPECT_FALSE(PortName::from_text(bad)) << bad;
    for (int bad : std::initializer_list<int>{'0', 'a', ' ', -1, 0x100 + '3'})
        EXPECT_FALSE(PortName::from_digit(bad)) << bad;
    EXPECT_EQ(PortName::from_digit('7')->text(), "COM7");
    if (wine_build()) return;
    TempDir dir;
    const WorkingFolder here(dir.path);
    ASSERT_EQ(symlink("/dev/ttyUSB0", "COM4"), 0);
    const PortDevice linked = port_device(*PortName::from_text("COM4"));
    const PortDevice builtin = port_device(*PortName::from_text("COM9"));
    EXPECT_EQ(linked.path, "COM4");
    EXPECT_NE(linked.how.find("link in this folder, to /dev/ttyUSB0"), std::string::npos) << linked.how;
    EXPECT_EQ(port_device(*PortName::from_text("COM1")).path, "/dev/ttyS0");
    EXPECT_EQ(builtin.path, "/dev/ttyS8");
}

TEST(StandardStreams, ClosedOnesAreOpenedOnTheNullDevice) {
    const pid_t child = fork();
    if (child == 0) {  // closes its standard output, then opens a file as a port would
        close(1);
        make_standard_streams_valid();
        const int next = open("/dev/null", O_RDONLY);
        struct stat out {};
        struct stat null {};
        stat("/dev/null", &null);
        const bool on_null = fstat(1, &out) == 0 && out.st_rdev == null.st_rdev;
        _exit(next > 2 && on_null ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
