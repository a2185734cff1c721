// The loader link and the programmer's actions against a loader that exists
// only in the test, on a clock that runs only while the link waits: every
// timing rule holds to the microsecond, and the loader answers wrongly,
// late or not at all when a case asks it to.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "bsl/loader_actions.h"
#include "bsl/programmer.h"
#include "serial_link/port_system_posix.h"

using namespace k210;
using namespace k210::bsl;

namespace {

enum class Fault { none, silent, late, nak, bad_byte, parity_error, damaged_block, hang_up };

template <typename T>
T next(std::deque<T>& queue, T otherwise) {
    if (queue.empty()) return otherwise;
    const T first = queue.front();
    queue.pop_front();
    return first;
}

// A port whose far end is a bootstrap loader that answers on the test's clock.
class FakeLoader : public PortSystem {
  public:
    std::deque<Fault> faults;     // for each sync or frame it answers, in turn (then none)
    std::deque<double> erase_ms;  // each mass erase's time (then 20 ms)
    std::deque<double> late_ms;   // each frame's reply held back this much more (then 0)
    double delay_ms = 0;          // the adapter holds every reply back this long
    double tick_ms = 0;           // and passes it on at the next tick of its timer (0: at once)
    Bytes memory = Bytes(0x10000, 0xFF);
    std::vector<std::pair<double, Bytes>> sent;  // what the host wrote, and when
    std::vector<std::string> broken;             // the time rules the host broke
    double erased_ms = 0;                        // erase the flash really had
    double now_ms = 0;

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
        t = settings_;
        return 0;
    }
    int set_attributes(int, const termios& t) override {
        settings_ = t;
        return 0;
    }
    int flush(int, int queue) override {
        while (queue == TCIFLUSH && arrived()) replies_.pop_front();
        return 0;
    }
    PortClock::time_point now() override {
        return PortClock::time_point(
            std::chrono::duration_cast<PortClock::duration>(std::chrono::duration<double, std::milli>(now_ms)));
    }
    void sleep_until(PortClock::time_point when) override {
        now_ms = std::max(now_ms, std::chrono::duration<double, std::milli>(when.time_since_epoch()).count());
    }
    int wait(int, bool for_writing, int timeout_ms) override {
        if (for_writing || hung_up_ || arrived()) return 1;
        const bool comes = !replies_.empty() && replies_.front().first <= now_ms + timeout_ms;
        now_ms = comes ? replies_.front().first : now_ms + timeout_ms;
        return comes ? 1 : 0;
    }
    ssize_t read(int, void* buffer, std::size_t count) override {
        if (hung_up_) return 0;
        std::size_t n = 0;
        for (; n < count && arrived(); replies_.pop_front())
            static_cast<std::uint8_t*>(buffer)[n++] = replies_.front().second;
        if (n == 0) errno = EAGAIN;
        return n ? static_cast<ssize_t>(n) : -1;
    }
    ssize_t write(int, const void* bytes, std::size_t count) override {
        const auto* first = static_cast<const std::uint8_t*>(bytes);
        sent.emplace_back(now_ms, Bytes(first, first + count));
        if (now_ms < quiet_until_ms_) broken.push_back(rule_ + " at " + std::to_string(now_ms) + " ms");
        if (cfgetospeed(&settings_) != (baud_ == 9600 ? B9600 : B38400)) broken.emplace_back("sent at the wrong speed");
        for (std::size_t i = 0; i < count; ++i) take(first[i], now_ms + static_cast<double>(i + 1) * byte_ms());
        return static_cast<ssize_t>(count);
    }
    std::size_t frames_of(std::uint8_t command) const {
        std::size_t n = 0;
        for (const auto& s : sent)
            if (s.second.size() > 1 && s.second[1] == command) ++n;
        return n;
    }

  private:
    std::deque<std::pair<double, std::uint8_t>> replies_;  // bytes on their way to the host, with their time
    termios settings_{};
    Bytes frame_;
    bool synced_ = false, hung_up_ = false;
    unsigned baud_ = 9600;
    double quiet_until_ms_ = 0;
    std::string rule_;

    bool arrived() const { return !replies_.empty() && replies_.front().first <= now_ms; }
    double byte_ms() const { return 11000.0 / baud_; }

    // The reply leaves `work_ms` after the frame's last byte came in, each byte at the line's pace.
    void answer(const Bytes& bytes, double came_ms, double work_ms, Fault fault) {
        if (fault == Fault::silent) {  // it works on, through the host's whole wait and as long again
            quiet_until_ms_ = came_ms + 2 * WRITE_BUSY_MS;
            rule_ = "sent again while the loader may still be at work";
            return;
        }
        double at = came_ms + work_ms + delay_ms + (fault == Fault::late ? 1.5 * WRITE_BUSY_MS : 0);
        hung_up_ = hung_up_ || fault == Fault::hang_up;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            at += byte_ms();
            if (fault == Fault::parity_error && i == 0) replies_.insert(replies_.end(), {{at, 0xFF}, {at, 0x00}});
            const double host_at = tick_ms > 0 ? (std::floor(at / tick_ms) + 1) * tick_ms : at;
            if (bytes[i] == 0xFF) replies_.emplace_back(host_at, 0xFF);  // a parity line's FF comes doubled
            replies_.emplace_back(host_at, bytes[i]);
        }
        quiet_until_ms_ = at + 1.2;
        rule_ = "no turnaround after the loader's reply";
    }

    void take(std::uint8_t byte, double came_ms) {
        if (frame_.empty() && !synced_) {
            if (byte != BSL_SYNC) return;
            const Fault fault = next(faults, Fault::none);
            synced_ = fault == Fault::none;
            answer({fault == Fault::nak ? BSL_NAK : BSL_ACK}, came_ms, 0, fault);
            return;
        }
        frame_.push_back(byte);
        if (frame_.size() < 4 || frame_.size() < 6u + frame_[2]) return;
        synced_ = false;
        handle_frame(came_ms, next(faults, Fault::none));
        frame_.clear();
    }

    void handle_frame(double came_ms, Fault fault) {
        const std::ptrdiff_t address = frame_[4] | frame_[5] << 8;
        const std::ptrdiff_t length = frame_[6];
        const std::uint8_t command = frame_[1];
        Bytes reply = {fault == Fault::nak ? BSL_NAK : fault == Fault::bad_byte ? std::uint8_t{0x55} : BSL_ACK};
        const double work_ms = command == BSL_MASS_ERASE ? next(erase_ms, 20.0) : 0.5;
        if (command == BSL_MASS_ERASE) erased_ms += work_ms;
        if (command == BSL_RX_DATA_BLOCK && reply[0] == BSL_ACK)
            std::copy(frame_.begin() + 8, frame_.end() - 2, memory.begin() + address);
        if (command == BSL_TX_DATA_BLOCK && reply[0] == BSL_ACK) {
            reply = {BSL_HEADER, 0x00, frame_[6], frame_[6]};  // 80 xx n n data CKL CKH
            reply.insert(reply.end(), memory.begin() + address, memory.begin() + address + length);
            std::uint8_t low = 0;
            std::uint8_t high = 0;
            bsl_checksum(reply.data(), reply.size(), low, high);
            reply.insert(reply.end(), {low, static_cast<std::uint8_t>(fault == Fault::damaged_block ? ~high : high)});
        }
        answer(reply, came_ms, work_ms + next(late_ms, 0.0), fault);
        if (command == BSL_CHANGE_BAUD && reply[0] == BSL_ACK && fault == Fault::none) {
            baud_ = 38400;
            quiet_until_ms_ += 10 - 1.2;
            rule_ = "sent before the loader's clock had settled";
        }
    }
};

const PortName COM3 = *PortName::from_text("COM3");

// The link and the actions on a port open to the fake loader.
struct OnFake {
    explicit OnFake(FakeLoader& loader) : port(loader), link(port, false, false), actions(link, request, console) {
        EXPECT_EQ(port.open(COM3, loader_line(), ReadPolicy{}), OpenStatus::ok) << port.failure_reason();
    }
    ~OnFake() { std::fclose(out); }
    OnFake(const OnFake&) = delete;
    OnFake& operator=(const OnFake&) = delete;
    OnFake(OnFake&&) = delete;
    OnFake& operator=(OnFake&&) = delete;
    SerialPort port;
    LoaderLink link;
    ProgrammerRequest request;
    std::FILE* out = std::tmpfile();
    Console console{out};
    LoaderActions actions;
};

// A sync answered, then `fault` for the frame, on every try.
std::deque<Fault> each_try(Fault fault) {
    std::deque<Fault> faults;
    for (int i = 0; i < FRAME_TRIES; ++i) faults.insert(faults.end(), {Fault::none, fault});
    return faults;
}

TEST(LoaderLink, EveryExchangeEndsInATypedReply) {
    struct Case {
        const char* what;
        std::deque<Fault> faults;
        bool read;  // a block read, else a command
        Reply reply;
        std::size_t frames;  // sent, retries included
        const char* why;
    };
    const Case cases[] = {
        {"a refusal is asked again, and stands", each_try(Fault::nak), false, Reply::refused, 4,
         "the bootstrap loader refused the command"},
        {"a wrong byte", each_try(Fault::bad_byte), false, Reply::damaged, 4, "the bootstrap loader gave a bad reply"},
        {"an ACK with a parity error", each_try(Fault::parity_error), false, Reply::damaged, 4,
         "a reply came with a parity error"},
        {"no reply", each_try(Fault::silent), false, Reply::silent, 4, "the bootstrap loader stopped answering"},
        {"the device hung up: no retry", {Fault::none, Fault::hang_up}, false, Reply::gone, 1, "the port went away"},
        {"a wrong answer to the sync is no refusal",
         {Fault::nak, Fault::nak, Fault::nak},
         false,
         Reply::damaged,
         0,
         "the bootstrap loader answered the sync wrongly"},
        {"a damaged block is asked again", {Fault::none, Fault::damaged_block}, true, Reply::ack, 2, ""},
        {"a read refused", each_try(Fault::nak), true, Reply::refused, 4, "the bootstrap loader refused to read"},
        {"a block damaged every time", each_try(Fault::damaged_block), true, Reply::damaged, 4,
         "the bootstrap loader sent a damaged block"},
    };
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.faults = c.faults;
        loader.memory[0x1101] = 0x42;
        OnFake on(loader);
        const Bytes password = make_frame(BSL_RX_PASSWORD, 0xFFE0, 32, Bytes(32, 0xFF));
        const Answer answer = c.read ? on.link.read_block(0x1100, 2) : on.link.command(password, COMMAND_BUSY_MS);
        EXPECT_EQ(answer.reply, c.reply) << c.what;
        EXPECT_EQ(loader.frames_of(c.read ? BSL_TX_DATA_BLOCK : BSL_RX_PASSWORD), c.frames) << c.what;
        EXPECT_EQ(on.link.failure_reason().find(c.why), 0u) << c.what << ": " << on.link.failure_reason();
        EXPECT_EQ(answer.data, c.reply == Reply::ack ? Bytes({0xFF, 0x42}) : Bytes()) << c.what;
    }
}

TEST(LoaderLink, KeepsTheLoadersTimeRules) {
    const Bytes write = make_frame(BSL_RX_DATA_BLOCK, 0x1102, 2, {3, 4});
    struct Case {
        const char* what;
        std::deque<Fault> faults;
        std::deque<double> erase_ms;
    };
    const Case cases[] = {
        {"a turnaround after every reply, and after a damaged block", {Fault::none, Fault::damaged_block}, {}},
        {"after silence the retry waits the reply's whole time, then as long again",
         {Fault::none, Fault::none, Fault::none, Fault::silent},
         {}},
        {"a reply that comes after the wait is not taken for the retry's",
         {Fault::none, Fault::none, Fault::none, Fault::late},
         {}},
        {"a loader that works nearly as long as allowed is heard", {}, {ERASE_BUSY_MS - 10}},
    };
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.faults = c.faults;
        loader.erase_ms = c.erase_ms;
        OnFake on(loader);
        EXPECT_EQ(on.link.read_block(0x1100, 16).reply, Reply::ack) << c.what;
        EXPECT_EQ(on.link.command(write, WRITE_BUSY_MS).reply, Reply::ack) << c.what;
        EXPECT_EQ(on.link.command(make_frame(BSL_MASS_ERASE, 0xFF00, MASS_ERASE_KEY), ERASE_BUSY_MS).reply, Reply::ack)
            << c.what;
        // The new speed: the loader's clock settles first, and the port follows.
        EXPECT_EQ(on.link.change_speed({38400, 0xE0, 0x87, 2}), Reply::ack) << c.what;
        EXPECT_EQ(on.link.read_block(0x1100, 16).reply, Reply::ack) << c.what;
        EXPECT_EQ(loader.broken, std::vector<std::string>{}) << c.what;
        EXPECT_EQ(loader.memory[0x1102], 3) << c.what;
    }
}

TEST(MassErase, CountsTheLeastDelayedEraseTimeAgainstWhatTheFlashNeeds) {
    struct Times {
        const char* what;
        std::vector<double> replies_ms;
        std::vector<double> syncs_ms;
        double erased_ms;
    };
    const Times times[] = {
        {"nothing erased yet", {}, {5}, 0},
        {"each reply less the line's delay and the frame's wire time", {30, 30}, {5, 7, 5}, 2 * 15},
        {"the least delayed reply counts for each", {40, 25, 60}, {5}, 3 * 10},
        {"a reply quicker than the line counts nothing", {12}, {5}, 0},
        {"a timer that spreads the syncs over 16 ms can hold a reply back as long",
         {60},
         {3, 11, 19, 7, 15},
         60 - 10 - 3 - 16},
    };
    for (const Times& t : times) EXPECT_DOUBLE_EQ(erase_time_ms(t.replies_ms, t.syncs_ms, 10), t.erased_ms) << t.what;

    struct Case {
        const char* what;
        std::deque<double> erase_ms;
        double delay_ms;
        std::deque<double> late_ms;
        double tick_ms;
        std::size_t commands;  // 0: as many as it takes
    };
    const std::deque<double> old_flash(30, 17.2);  // version 1.10: 17.2 ms an erase, 200 ms needed
    const std::vector<Case> cases = {
        {"the old flash: 200 ms and a tenth more", old_flash, 0, {}, 0, 13},
        {"an adapter's delay is no erase time", old_flash, 8, {}, 0, 13},
        {"nor is a reply held back now and then", old_flash, 0, {0, 0, 0, 60, 0, 90}, 0, 13},
        {"one erase does", {250}, 0, {}, 0, 1},
        {"nor is the wait for a USB adapter's 16 ms tick", old_flash, 0, {}, 16, 0},
        {"nor for a 5 ms tick", old_flash, 0, {}, 5, 0},
        {"nor for a 10 ms tick", old_flash, 0, {}, 10, 0},
        {"nor for a 15 ms tick", old_flash, 0, {}, 15, 0},
        {"nor for a tick that falls just after each erase", old_flash, 0, {}, 15.5, 0},
    };
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.erase_ms = c.erase_ms;
        loader.delay_ms = c.delay_ms;
        loader.late_ms = c.late_ms;
        loader.tick_ms = c.tick_ms;
        OnFake on(loader);
        ASSERT_EQ(on.link.synchronise(), Reply::ack);  // a sync comes first, as after the entry
        ASSERT_TRUE(on.actions.mass_erase()) << c.what << on.actions.failure_reason();
        if (c.commands) {
            EXPECT_EQ(loader.frames_of(BSL_MASS_ERASE), c.commands) << c.what;
        }
        EXPECT_GE(loader.erased_ms, MASS_ERASE_NEEDS_MS) << c.what;
        EXPECT_LE(loader.frames_of(BSL_MASS_ERASE), MASS_ERASE_MAX_COMMANDS) << c.what;
    }
}

std::string printed(std::FILE* out) {
    std::string text;
    std::rewind(out);
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text += static_cast<char>(c);
    return text;
}

// A USB adapter that holds every reply back costs each frame twice; that is
// said once, with what it costs, and only when it is more than the line's own.
TEST(LoaderActions, SayOnceWhatALateAdapterCosts) {
    struct Case {
        double delay_ms;
        const char* said;  // "" for nothing
    };
    const Case cases[] = {{0, ""}, {2, ""}, {8, "the loader's replies reach this computer 8 ms late"}};
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.delay_ms = c.delay_ms;
        OnFake on(loader);
        ASSERT_TRUE(on.actions.enter_loader());
        ASSERT_TRUE(on.actions.unlock(Bytes(32, 0xFF)));
        on.actions.note_reply_delay(274);
        on.actions.note_reply_delay(274);
        const std::string out = printed(on.out);
        const std::size_t at = out.find("note: ");
        if (*c.said == 0) {
            EXPECT_EQ(at, std::string::npos) << out;
            continue;
        }
        EXPECT_NE(out.find(c.said), std::string::npos) << out;
        EXPECT_NE(out.find("about 4 s of this run; " + latency_timer_advice()), std::string::npos) << out;
        EXPECT_EQ(out.find("note: ", at + 1), std::string::npos) << out;  // once
    }
}

}  // namespace
