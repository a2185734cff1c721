// The microcontroller's serial bootstrap loader: sync, checked frames,
// password, mass and segment erase with the flash's erase-time rule, block
// write and read, the speed change, and the pins that start it, over a
// memory model whose flash erases to 0xFF and can only clear bits when
// written. Written from the loader's documentation, not from the programmer.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim.h"

namespace k210sim {

namespace {

constexpr std::uint8_t SYNC = 0x80, BSL_HEADER = 0x80, ACK = 0x90, NAK = 0xA0;
constexpr std::uint32_t FLASH_START = 0x1000;  // information memory, then main flash from 0x1100
constexpr std::uint32_t ROM_START = 0x0C00;    // the loader itself
constexpr std::uint32_t RAM_START = 0x0200, RAM_END = 0x0A00;
constexpr double WRITE_MS_PER_BYTE = 0.042;  // flash programming time
constexpr double SPEED_SETTLING_MS = 10;     // the host waits this long after the speed change
constexpr double TURNAROUND_MS = 1.2;        // the loader listens again this long after its reply

// The documented clock settings of the speed change: D3 picks the rate,
// D1 and D2 set the clock (F1xx: DCOCTL, BCSCTL1; F4xx: SCFI0, SCFI1).
struct SpeedSetting {
    unsigned baud;
    std::uint8_t d3, f1_d1, f1_d2, f4_d1, f4_d2;
};
const SpeedSetting SPEEDS[] = {
    {9600, 0, 0x80, 0x85, 0x00, 0x98},
    {19200, 1, 0xE0, 0x86, 0x00, 0xB0},
    {38400, 2, 0xE0, 0x87, 0x80, 0xC8},
};

std::uint8_t at(const std::string& frame, std::size_t i) { return static_cast<std::uint8_t>(frame[i]); }

// A little-endian 16-bit field of a frame.
std::uint32_t word_at(const std::string& frame, std::size_t i) {
    return static_cast<std::uint32_t>(at(frame, i)) | static_cast<std::uint32_t>(at(frame, i + 1)) << 8;
}

void checksum(const std::string& bytes, std::uint8_t& low, std::uint8_t& high) {
    std::uint8_t even = 0;
    std::uint8_t odd = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) (i % 2 ? odd : even) ^= static_cast<std::uint8_t>(bytes[i]);
    low = static_cast<std::uint8_t>(~even);
    high = static_cast<std::uint8_t>(~odd);
}

// "1.61" as BCD 0x0161.
unsigned bcd_version(const std::string& text) {
    unsigned value = 0;
    for (char c : text)
        if (c >= '0' && c <= '9') value = value * 16 + static_cast<unsigned>(c - '0');
    return value;
}

// Cut, not rounded, to two decimals: a wait that is too short never reads as the floor itself.
double hundredths_down(double ms) { return std::floor(ms * 100) / 100; }

std::string one(std::uint8_t byte) {
    std::string text(1, static_cast<char>(byte));
    return text;
}

}  // namespace

Loader::Loader(Line& line, const SimOptions& options, Analyzer& analyzer)
    : line_(line),
      options_(options),
      analyzer_(analyzer),
      memory_(0x10000, 0xFF),
      programmed_(0x10000, false),
      version_(bcd_version(options.version)),
      nak_pending_(options.loader_nak_once),
      corrupt_pending_(options.loader_corrupt_once),
      bad_sync_pending_(options.loader_bad_sync_once) {
    // The analyzer's present firmware, so programming over it without an
    // erase leaves the wrong bits.
    for (std::uint32_t a = 0x1100; a < 0x9000; ++a) memory_[a] = static_cast<std::uint8_t>((a * 7) ^ (a >> 8));
    for (std::uint32_t a = 0xFFE0; a < 0x10000; a += 2) {
        memory_[a] = 0x00;
        memory_[a + 1] = 0x11;
    }
    const unsigned chip = static_cast<unsigned>(std::strtoul(options.chip.c_str() + 1, nullptr, 16)) | 0xF000;
    memory_[0x0FF0] = static_cast<std::uint8_t>(chip >> 8);  // chip identity, e.g. F1 49
    memory_[0x0FF1] = static_cast<std::uint8_t>(chip & 0xFF);
    memory_[0x0FFA] = static_cast<std::uint8_t>(version_ >> 8);  // loader version, e.g. 01 61
    memory_[0x0FFB] = static_cast<std::uint8_t>(version_ & 0xFF);
    family_ = memory_[0x0FF0];
    const bool old_flash = version_ == 0x0110;
    erase_ms_ = options.erase_ms >= 0 ? options.erase_ms : (old_flash ? 17.2 : 35);
    erase_needs_ms_ = options.erase_needs_ms >= 0 ? options.erase_needs_ms : (old_flash ? 200 : 0);
}

void Loader::enter(const char* how) {
    active_ = true;
    unlocked_ = false;  // the loader starts locked after every reset
    answers_ = true;
    baud_ = 9600;
    speed_changed_ms_ = -1;
    frame_.clear();
    replied_ms_ = -1;
    line_.log("LOADER", std::string("entered (") + how + ")");
}

// RST low holds the chip in reset. While it is low the loader counts edges
// on its entry pin: two rising edges on TEST, or two falling edges on TCK.
// When RST rises with TEST high (TCK low) after them the loader starts;
// otherwise the firmware does.
void Loader::modem_lines(bool dtr, bool rts) {
    const bool reset_high = dtr;
    const bool pin_high = !rts;
    const bool tck = options_.pins == "tck";
    if (!pins_known_ || reset_high != reset_high_) {
        if (!reset_high) {
            entry_edges_ = 0;
            active_ = false;
            frame_.clear();
            replied_ms_ = -1;  // whatever the host sends next follows a reset, not a reply
        } else if (pins_known_) {
            const bool level_right = tck ? !pin_high : pin_high;
            if (entry_edges_ >= 2 && level_right) {
                enter(tck ? "TCK pins" : "TEST pins");
            } else {
                leave();
                line_.log("STARTED", "the firmware runs");
            }
        }
    } else if (!reset_high && pin_high != entry_pin_high_ && pin_high != tck) {
        ++entry_edges_;
    }
    pins_known_ = true;
    reset_high_ = reset_high;
    entry_pin_high_ = pin_high;
}

void Loader::host_latency(bool low) {
    host_low_latency_ = low;
    line_.log("LATENCY", low ? "low (1 ms)" : "the adapter's default");
}

// Works on a frame only once it could have crossed a real line, replies
// when the work is done, and notes a host that sends while the loader is
// still busy (the line is half duplex).
void Loader::wait_for_the_whole_frame() const {
    const double wire = options_.slow ? static_cast<double>(frame_.size()) * ms_per_byte() : 0;
    const double arrived = frame_start_ + wire;
    if (line_.elapsed_ms() < arrived) Line::sleep_ms(arrived - line_.elapsed_ms());
}

void Loader::reply(const std::string& bytes, double processing_ms) {
    wait_for_the_whole_frame();
    Line::sleep_ms(processing_ms);
    if (line_.input_pending()) line_.log("LOADER", "busy: the host sent while the loader was still working");
    Line::sleep_ms(options_.adapter_latency_ms);  // the adapter holds the bytes back a while
    const double pace = options_.slow ? ms_per_byte() : 0;
    replied_ms_ = options_.usb_latency_ms > 0
                      ? line_.transmit_through_usb(bytes, pace, host_low_latency_ ? 1.0 : options_.usb_latency_ms)
                      : line_.transmit(bytes, pace);
}

// After each of its replies the loader needs 1.2 ms before it listens
// again. The host's wait is measured from the last byte's write to the
// moment its next bytes were read here, which can only make it look longer.
void Loader::check_turnaround(double first_byte_ms) {
    if (replied_ms_ < 0) return;
    const double waited = first_byte_ms - replied_ms_;
    replied_ms_ = -1;
    turnarounds_ms_.push_back(waited);
    if (waited >= TURNAROUND_MS) return;
    char text[96];
    std::snprintf(text, sizeof text, "turnaround: the host sent %.2f ms after the loader's reply",
                  hundredths_down(waited));
    line_.log("LOADER", text);
}

// The flash is erased for as long as the erase really took.
void Loader::mass_erase() {
    wait_for_the_whole_frame();
    const double start = line_.elapsed_ms();
    Line::sleep_ms(erase_ms_);
    erase_done_ms_ += line_.elapsed_ms() - start;
    ++erase_commands_;
    char what[96];
    if (erase_done_ms_ + 1e-6 < erase_needs_ms_) {
        std::snprintf(what, sizeof what, "partly: %.1f of %.1f ms of erase", erase_done_ms_, erase_needs_ms_);
        line_.log("ERASE", what);
        return;  // the cells keep what they held until the erase time is reached
    }
    for (std::uint32_t a = FLASH_START; a < 0x10000; ++a) memory_[a] = 0xFF;
    std::snprintf(what, sizeof what, "all flash (%d commands, %.1f ms of erase)", erase_commands_, erase_done_ms_);
    line_.log("ERASED", what);
    if (options_.old_unit) analyzer_.restore_factory_settings();
}

void Loader::erase_segment(std::uint32_t address) {
    const std::uint32_t size = address < 0x1100 ? 128 : 512;
    const std::uint32_t start = address & ~(size - 1);
    for (std::uint32_t a = start; a < start + size && a < 0x10000; ++a) memory_[a] = 0xFF;
}

bool Loader::write_block(std::uint32_t address, const std::string& data) {
    if (address % 2 || data.size() % 2 || address < RAM_START || address + data.size() > 0x10000) return false;
    const bool checks = version_ >= 0x0140 && !options_.loader_no_write_check;
    bool verified = true;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(i);
        const auto byte = static_cast<std::uint8_t>(data[i]);
        if (a >= ROM_START && a < FLASH_START) return false;
        if (a < RAM_END) {
            memory_[a] = byte;
        } else if (a >= FLASH_START) {
            memory_[a] &= byte;  // programming only clears bits
            if (static_cast<long>(a) == options_.bad_cell) memory_[a] = static_cast<std::uint8_t>(byte ^ 0x10);
            programmed_[a] = true;
        }
        verified = verified && (a < RAM_END || memory_[a] == byte);
    }
    return verified || !checks;
}

std::string Loader::data_frame(std::uint32_t address, std::size_t length) {
    std::string frame = {static_cast<char>(0x80), 0, static_cast<char>(length), static_cast<char>(length)};
    for (std::size_t i = 0; i < length; ++i) frame += static_cast<char>(memory_[(address + i) & 0xFFFF]);
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    checksum(frame, low, high);
    if (corrupt_pending_ && address >= FLASH_START) {
        corrupt_pending_ = false;
        low = static_cast<std::uint8_t>(low ^ 0x5A);
        line_.log("LOADER", "sent a damaged block");
    }
    return frame + static_cast<char>(low) + static_cast<char>(high);
}

bool Loader::frame_is_sound() const {
    if (frame_.size() < 8 || at(frame_, 2) != at(frame_, 3)) return false;
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    checksum(frame_.substr(0, frame_.size() - 2), low, high);
    return at(frame_, frame_.size() - 2) == low && at(frame_, frame_.size() - 1) == high;
}

// From version 1.60, on the families the documentation gives settings for.
bool Loader::change_speed(std::uint8_t d1, std::uint8_t d2, std::uint8_t d3) {
    if (options_.baud_refuse || version_ < 0x0160 || version_ >= 0x0200) return false;
    for (const SpeedSetting& s : SPEEDS) {
        if (s.d3 != d3) continue;
        if (s.baud == options_.baud_refuse_at) return false;
        const bool right =
            (family_ == 0xF1 && d1 == s.f1_d1 && d2 == s.f1_d2) || (family_ == 0xF4 && d1 == s.f4_d1 && d2 == s.f4_d2);
        if (!right) return false;
        reply(one(ACK), 0.5);  // at the old rate
        baud_ = s.baud;
        speed_changed_ms_ = line_.elapsed_ms();
        answers_ = !options_.baud_silent;
        line_.log("SPEED", std::to_string(baud_) + (answers_ ? "" : " (and no answer from now on)"));
        return true;
    }
    return false;
}

// The password is the interrupt vectors; the ACK only says the frame was sound.
void Loader::take_password(const std::string& data) {
    unlocked_ = data.size() == 32;
    for (std::size_t i = 0; unlocked_ && i < 32; ++i)
        unlocked_ = static_cast<std::uint8_t>(data[i]) == memory_[0xFFE0 + i];
    line_.log("PASSWORD", unlocked_ ? "accepted" : "wrong");
    reply(one(ACK), 0.5);
}

// A block to write on an unlocked loader; false when it is refused once (a fault option).
bool Loader::take_block(std::uint32_t address, const std::string& data) {
    if (++blocks_written_ > options_.stop_after_blocks && options_.stop_after_blocks >= 0) {
        answers_ = false;  // as if the switches were turned off in the middle
        line_.log("LOADER", "stopped answering");
        return true;
    }
    if (nak_pending_) {
        nak_pending_ = false;
        line_.log("LOADER", "refused a block once");
        return false;
    }
    const bool ok = write_block(address, data);
    reply(one(ok ? ACK : NAK), WRITE_MS_PER_BYTE * static_cast<double>(data.size()));
    return true;
}

void Loader::handle_frame() {
    const std::string nak = one(NAK);
    const std::string ack = one(ACK);
    if (!frame_is_sound()) {
        line_.log("LOADER", "bad frame");
        reply(nak, 0.5);
        return;
    }
    const std::uint8_t command = at(frame_, 1);
    const std::uint32_t address = word_at(frame_, 4);
    const std::uint32_t length = word_at(frame_, 6);
    const std::string data = frame_.substr(8, frame_.size() - 10);
    switch (command) {
        case 0x10: take_password(data); return;
        case 0x18:  // mass erase: answered when the erase is over
            if (length != 0xA506) break;
            mass_erase();
            reply(ack, 0);
            return;
        case 0x16:  // segment erase
            if (!unlocked_ || length != 0xA502) break;
            erase_segment(address);
            reply(ack, 15);
            return;
        case 0x12:
            if (!unlocked_ || !take_block(address, data)) break;
            return;
        case 0x14:  // read a block
            if (!unlocked_ || length > 250) break;
            reply(data_frame(address, length), 0.5);
            return;
        case 0x1A:  // load the program counter: the firmware runs (without a reset)
            if (!unlocked_) break;
            reply(ack, 0.5);
            leave();
            line_.log("LOADER", "load PC: the firmware runs");
            return;
        case 0x20:  // change the speed: D1 in AL, D2 in AH, D3 in LL
            if (change_speed(at(frame_, 4), at(frame_, 5), at(frame_, 6))) return;
            line_.log("LOADER", "refused the speed change");
            break;
        default: break;
    }
    reply(nak, 0.5);
}

bool Loader::wants(std::uint8_t first_byte) {
    if (options_.loader_silent) return false;
    if (!frame_.empty() || synced_) return true;
    if (pins_known_) return active_;  // started by its pins; noise is its own to drop
    if (first_byte == SYNC) return true;
    if (active_) line_.log("LOADER", "left: the firmware runs");
    leave();
    return false;
}

// The firmware runs; the loader starts afresh (9600 baud, locked) next time.
void Loader::leave() {
    active_ = false;
    replied_ms_ = -1;
    baud_ = 9600;
    answers_ = true;
    speed_changed_ms_ = -1;
}

// Idle, a 0x80 is a sync; once it is acknowledged, the next bytes are a
// frame, which begins with its header 0x80. Anything else is line noise.
void Loader::take(const std::string& bytes, double first_byte_ms) {
    check_turnaround(first_byte_ms);
    if (!answers_) return;
    const unsigned host = line_.host_baud();
    if (host != baud_) {  // a real loader would see only garbage
        line_.log("LOADER", "speed mismatch: host at " + std::to_string(host) + ", loader at " + std::to_string(baud_));
        return;
    }
    if (speed_changed_ms_ >= 0 && first_byte_ms - speed_changed_ms_ < SPEED_SETTLING_MS) {
        line_.log("LOADER", "the host sent before the clock had settled");
        return;
    }
    std::size_t noise = 0;
    for (char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (frame_.empty() && (!synced_ || byte != BSL_HEADER)) {
            synced_ = false;
            if (byte != SYNC) {
                ++noise;
                continue;
            }
            if (!active_) enter("sync");
            frame_start_ = first_byte_ms;
            frame_ = one(SYNC);
            synced_ = !bad_sync_pending_;
            reply(one(synced_ ? ACK : NAK), 0);
            bad_sync_pending_ = false;
            frame_.clear();
            continue;
        }
        if (frame_.empty()) frame_start_ = first_byte_ms;
        frame_ += c;
        if (frame_.size() >= 4 && frame_.size() == 6u + at(frame_, 2)) {
            handle_frame();
            synced_ = false;
            frame_.clear();
        }
    }
    if (noise) line_.log("LOADER", "noise: " + std::to_string(noise) + " bytes outside a frame");
}

void Loader::report() const {
    std::FILE* dump = options_.dump_path.empty() ? nullptr : std::fopen(options_.dump_path.c_str(), "w");
    for (std::uint32_t a = 0; a < 0x10000;) {
        if (!programmed_[a]) {
            ++a;
            continue;
        }
        std::uint32_t end = a;
        std::uint32_t sum = 0;
        while (end < 0x10000 && programmed_[end]) sum += memory_[end++];
        char text[64];
        std::snprintf(text, sizeof text, "%04X-%04X sum %08X", a, end - 1, sum);
        line_.log("PROGRAMMED", text);
        if (dump) {
            std::fprintf(dump, "@%04X\n", a);
            for (std::uint32_t i = a; i < end; ++i)
                std::fprintf(dump, "%02X%c", memory_[i], ((i - a) % 16 == 15 || i + 1 == end) ? '\n' : ' ');
        }
        a = end;
    }
    if (dump) {
        std::fprintf(dump, "q\n");
        std::fclose(dump);
    }
    line_.log("LINES", line_.host_hangs_up_on_close() ? "the port drops DTR and RTS when closed"
                                                      : "the port keeps DTR and RTS when closed");
    if (turnarounds_ms_.empty()) return;
    std::vector<double> sorted = turnarounds_ms_;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    const double median = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    char text[128];
    std::snprintf(text, sizeof text, "%zu shortest %.2f median %.2f longest %.2f ms", n,
                  hundredths_down(sorted.front()), median, sorted.back());
    line_.log("TURNAROUND", text);
}

}  // namespace k210sim
