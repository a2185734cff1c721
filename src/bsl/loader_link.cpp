#include "bsl/loader_link.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace k210::bsl {

namespace {

const char* const STOPPED_ANSWERING = "the bootstrap loader stopped answering";

PortClock::duration after_ms(double ms) {
    return std::chrono::duration_cast<PortClock::duration>(std::chrono::duration<double, std::milli>(ms));
}

}  // namespace

LoaderLink::LoaderLink(SerialPort& port, bool invert_dtr, bool invert_rts)
    : port_(port), invert_dtr_(invert_dtr), invert_rts_(invert_rts) {}

// 11 bits a byte: start, 8 data, parity, stop.
double LoaderLink::wire_ms(std::size_t bytes) const {
    return static_cast<double>(bytes) * 11000.0 / static_cast<double>(baud_);
}

double LoaderLink::typical_reply_delay_ms() const {
    if (sync_delays_ms_.empty()) return 0;
    return std::accumulate(sync_delays_ms_.begin(), sync_delays_ms_.end(), 0.0) /
           static_cast<double>(sync_delays_ms_.size());
}

void LoaderLink::pause(double ms) { port_.sleep_until(port_.now() + after_ms(ms)); }

void LoaderLink::keep_quiet_for(double ms) { quiet_until_ = std::max(quiet_until_, port_.now() + after_ms(ms)); }

Reply LoaderLink::fail(Reply reply, const std::string& why) {
    failure_ = why;
    return reply;
}

// The pins as the loader sees them, through the usual adapter: DTR asserted
// holds RST high, RTS asserted holds TEST (or TCK) low; the options swap a
// line for an adapter without its inverter.
PortResult LoaderLink::set_pins(bool reset_high, bool entry_pin_high) {
    return port_.set_modem_lines(reset_high != invert_dtr_, !entry_pin_high != invert_rts_);
}

Pins LoaderLink::take_the_pins() {
    pins_driven_ = set_pins(true, false) == PortResult::ok ? Pins::driven : Pins::not_driven;
    return pins_driven_;
}

// Two pulses on the entry pin while RST is low, and the pin away from its
// resting level as RST rises: TEST rests low and pulses high; TCK is the
// opposite.
void LoaderLink::run_entry_sequence(EntryPins pins) {
    const bool rest = pins == EntryPins::tck;
    // Each call drives lines that take_the_pins found working.
    (void)set_pins(true, rest);
    pause(250);
    (void)set_pins(false, rest);
    for (bool level : {rest, !rest, rest, !rest}) {
        (void)set_pins(false, level);
        pause(10);
    }
    (void)set_pins(true, !rest);
    pause(10);
    (void)set_pins(true, rest);
    pause(250);
    port_.discard_input();
    in_sync_ = false;
}

Reply LoaderLink::enter(EntryPins pins) {
    note(pins == EntryPins::test ? "entry: the TEST sequence" : "entry: the TCK sequence");
    run_entry_sequence(pins);
    const Reply reply = synchronise();
    if (reply == Reply::ack) pins_ = pins;
    return reply;
}

LineStep LoaderLink::start_firmware() {
    const bool rest = pins_ == EntryPins::tck;
    for (bool reset_high : {true, false, true}) {
        if (set_pins(reset_high, rest) != PortResult::ok) {
            failure_ = port_.failure_reason();
            return LineStep::failed;
        }
        pause(reset_high ? 250 : 10);
    }
    return LineStep::done;
}

PortResult LoaderLink::send(const Bytes& bytes, bool drop_late_input) {
    port_.sleep_until(quiet_until_);
    // A late answer to an earlier frame must not pass for the answer to this one.
    if (drop_late_input) port_.discard_input();
    sent_at_ = port_.now();
    return port_.write(bytes.data(), bytes.size());
}

double LoaderLink::ms_since_sent() { return std::chrono::duration<double, std::milli>(port_.now() - sent_at_).count(); }

// The first byte comes when the loader is done; the rest follow at the
// line's pace. After the last byte the loader needs its turnaround.
LoaderLink::Received LoaderLink::receive(std::size_t count, double first_byte_ms) {
    Received got;
    Bytes buffer(count);
    std::size_t n = 0;
    auto read = [&](std::size_t want, double wait_ms) {
        port_.set_read_policy(ReadPolicy{0, 0, static_cast<int>(std::ceil(wait_ms))});
        const ReadResult r = port_.read(buffer.data() + n, want);
        got.gone = got.gone || r.end == ReadEnd::device_gone;
        got.line_error = got.line_error || r.line_error;
        if (!got.gone) n += r.count;
    };
    read(1, first_byte_ms);
    if (n == 1 && count > 1 && buffer[0] != BSL_NAK) read(count - 1, wire_ms(count) + COMMAND_BUSY_MS);
    buffer.resize(n);
    got.bytes = std::move(buffer);
    if (n > 0) keep_quiet_for(TURNAROUND_MS);
    return got;
}

Reply LoaderLink::synchronise() {
    if (in_sync_) return Reply::ack;
    Reply outcome = Reply::silent;
    for (int attempt = 0; attempt < SYNC_TRIES; ++attempt) {
        if (send({BSL_SYNC}, true) != PortResult::ok)
            return fail(Reply::gone, "the port failed: " + port_.failure_reason());
        const Received got = receive(1, SYNC_WAIT_MS + wire_ms(2));
        const double latency_ms = ms_since_sent();
        if (got.gone) return fail(Reply::gone, "the port went away: " + port_.failure_reason());
        if (got.bytes.empty()) {
            outcome = fail(Reply::silent, STOPPED_ANSWERING);
            if (attempt + 1 < SYNC_TRIES) note("sync again: " + failure_);
            continue;
        }
        sync_delays_ms_.push_back(std::max(0.0, latency_ms - wire_ms(2)));
        char text[64];
        std::snprintf(text, sizeof text, "sync answered %.1f ms after it went out", latency_ms);
        note(text);
        if (got.bytes[0] == BSL_ACK && !got.line_error) {
            in_sync_ = true;
            return Reply::ack;
        }
        outcome = fail(Reply::damaged, "the bootstrap loader answered the sync wrongly");
        if (attempt + 1 < SYNC_TRIES) note("sync again: " + failure_);
    }
    return outcome;
}

Answer LoaderLink::command(const Bytes& frame, double busy_ms) {
    return exchange(frame, Expect::ack, 0, busy_ms, FRAME_TRIES);
}

Answer LoaderLink::read_block(std::uint16_t address, std::size_t length) {
    const Bytes frame = make_frame(BSL_TX_DATA_BLOCK, address, static_cast<std::uint16_t>(length));
    return exchange(frame, Expect::data_block, length, COMMAND_BUSY_MS, FRAME_TRIES);
}

Reply LoaderLink::probe() {
    const Bytes frame = make_frame(BSL_TX_DATA_BLOCK, IDENTITY_ADDRESS, IDENTITY_SIZE);
    return exchange(frame, Expect::data_block, IDENTITY_SIZE, COMMAND_BUSY_MS, 1).reply;
}

// One loop for every frame: refused, damaged and silent replies are asked
// again; a failed sync or a lost port ends it.
Answer LoaderLink::exchange(const Bytes& frame, Expect expect, std::size_t length, double busy_ms, int tries) {
    Answer answer;
    for (int attempt = 0; attempt < tries; ++attempt) {
        const Reply sync = synchronise();
        if (sync != Reply::ack) return Answer{sync, {}, 0};
        answer = send_frame(frame, expect, length, busy_ms);
        if (answer.reply == Reply::ack || answer.reply == Reply::gone) break;
        if (attempt + 1 < tries)
            note("frame again (" + std::to_string(attempt + 2) + " of " + std::to_string(tries) + "): " + failure_);
    }
    return answer;
}

Answer LoaderLink::send_frame(const Bytes& frame, Expect expect, std::size_t length, double busy_ms) {
    in_sync_ = false;
    if (send(frame, false) != PortResult::ok)
        return Answer{fail(Reply::gone, "the port failed: " + port_.failure_reason()), {}, 0};
    const std::size_t reply_bytes = expect == Expect::ack ? 1 : length + 6;
    const Received got = receive(reply_bytes, wire_ms(frame.size() + reply_bytes) + busy_ms);
    Answer answer = judge(got, expect, length);
    answer.latency_ms = ms_since_sent();
    if (answer.reply == Reply::silent) keep_quiet_for(busy_ms);  // the loader may still be at work
    return answer;
}

Answer LoaderLink::judge(const Received& got, Expect expect, std::size_t length) {
    Answer answer;
    if (got.gone) {
        answer.reply = fail(Reply::gone, "the port went away: " + port_.failure_reason());
    } else if (got.bytes.empty()) {
        answer.reply = fail(Reply::silent, STOPPED_ANSWERING);
    } else if (got.line_error) {
        answer.reply = fail(Reply::damaged, "a reply came with a parity error");
    } else if (expect == Expect::ack) {
        answer.reply = got.bytes[0] == BSL_ACK   ? Reply::ack
                       : got.bytes[0] == BSL_NAK ? fail(Reply::refused, "the bootstrap loader refused the command")
                                                 : fail(Reply::damaged, "the bootstrap loader gave a bad reply");
    } else if (got.bytes.size() == 1 && got.bytes[0] == BSL_NAK) {
        answer.reply = fail(Reply::refused, "the bootstrap loader refused to read");
    } else if (parse_data_frame(got.bytes, length, answer.data)) {
        answer.reply = Reply::ack;
    } else {
        answer.reply = fail(Reply::damaged, "the bootstrap loader sent a damaged block");
    }
    return answer;
}

Reply LoaderLink::change_speed(const SpeedSetting& setting) {
    const Answer answer = exchange(speed_frame(setting), Expect::ack, 0, COMMAND_BUSY_MS, 1);
    if (answer.reply != Reply::ack) return answer.reply;
    quiet_until_ += after_ms(SPEED_SETTLING_MS);  // after the turnaround
    baud_ = setting.baud;                         // whatever the port does now, the loader listens at the new speed
    if (port_.drain() != PortResult::ok || port_.set_speed(setting.baud) != PortResult::ok)
        return fail(Reply::gone, "cannot change the port's speed: " + port_.failure_reason());
    return synchronise();  // the frame that follows is the next command's
}

LineStep LoaderLink::return_to_9600() {
    in_sync_ = false;
    if (baud_ == 9600) return LineStep::done;
    if (port_.set_speed(9600) != PortResult::ok) {
        failure_ = "cannot set the port back to 9600 baud: " + port_.failure_reason();
        return LineStep::failed;
    }
    baud_ = 9600;
    return LineStep::done;
}

}  // namespace k210::bsl
