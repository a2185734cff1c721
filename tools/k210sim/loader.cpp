// The microcontroller's serial bootstrap loader: sync, checked frames,
// password, mass and segment erase, block write and read, over a memory
// model whose flash erases to 0xFF and can only clear bits when written.
#include <poll.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim.h"

namespace {

constexpr std::uint8_t SYNC = 0x80, ACK = 0x90, NAK = 0xA0;
constexpr std::uint32_t FLASH_START = 0x1000;  // information memory, then main flash from 0x1100
constexpr std::uint32_t ROM_START = 0x0C00;    // the loader itself
constexpr std::uint32_t RAM_START = 0x0200, RAM_END = 0x0A00;
constexpr double WRITE_MS_PER_BYTE = 0.042;    // flash programming time
constexpr double MASS_ERASE_MS = 35;

std::vector<std::uint8_t> g_memory(0x10000, 0xFF);
std::vector<bool> g_programmed(0x10000, false);
bool g_active = false;    // the loader runs, not the analyzer's firmware
bool g_unlocked = false;
std::string g_frame;      // a frame being received
double g_frame_start = 0;
bool g_nak_pending = false, g_corrupt_pending = false;

std::uint8_t at(const std::string& frame, std::size_t i) { return static_cast<std::uint8_t>(frame[i]); }
// A little-endian 16-bit field.
std::uint32_t word_at(const std::string& frame, std::size_t i) {
    return static_cast<std::uint32_t>(at(frame, i)) | static_cast<std::uint32_t>(at(frame, i + 1)) << 8;
}

void checksum(const std::string& bytes, std::uint8_t& low, std::uint8_t& high) {
    std::uint8_t even = 0, odd = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) (i % 2 ? odd : even) ^= static_cast<std::uint8_t>(bytes[i]);
    low = static_cast<std::uint8_t>(~even);
    high = static_cast<std::uint8_t>(~odd);
}

// Replies no sooner than the frame could have crossed a real line.
void reply(int fd, const std::string& bytes, double processing_ms) {
    const double wire = g_options.slow ? static_cast<double>(g_frame.size()) * LOADER_MS_PER_BYTE : 0;
    const double ready = g_frame_start + wire;
    sleep_ms(processing_ms);
    if (elapsed_ms() < ready) sleep_ms(ready - elapsed_ms());
    transmit(fd, bytes, g_options.slow ? LOADER_MS_PER_BYTE : 0);
}

void mass_erase() {
    for (std::uint32_t a = FLASH_START; a < 0x10000; ++a) g_memory[a] = 0xFF;
    log_line("ERASED", "all flash");
    if (g_options.old_unit) restore_factory_settings();
}

void erase_segment(std::uint32_t address) {
    const std::uint32_t size = address < 0x1100 ? 128 : 512;
    const std::uint32_t start = address & ~(size - 1);
    for (std::uint32_t a = start; a < start + size && a < 0x10000; ++a) g_memory[a] = 0xFF;
}

bool write_block(std::uint32_t address, const std::string& data) {
    if (address % 2 || data.size() % 2 || address < RAM_START || address + data.size() > 0x10000) return false;
    bool verified = true;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(i);
        const auto byte = static_cast<std::uint8_t>(data[i]);
        if (a >= ROM_START && a < FLASH_START) return false;
        if (a < RAM_END) {
            g_memory[a] = byte;
        } else if (a >= FLASH_START) {
            g_memory[a] &= byte;  // programming only clears bits
            g_programmed[a] = true;
        }
        verified = verified && (a < RAM_END || g_memory[a] == byte);
    }
    return verified || g_options.loader_no_write_check;
}

std::string data_frame(std::uint32_t address, std::size_t length) {
    std::string frame = {static_cast<char>(0x80), 0, static_cast<char>(length), static_cast<char>(length)};
    for (std::size_t i = 0; i < length; ++i) frame += static_cast<char>(g_memory[(address + i) & 0xFFFF]);
    std::uint8_t low, high;
    checksum(frame, low, high);
    if (g_corrupt_pending) {
        g_corrupt_pending = false;
        low = static_cast<std::uint8_t>(low ^ 0x5A);
        log_line("LOADER", "sent a damaged block");
    }
    return frame + static_cast<char>(low) + static_cast<char>(high);
}

bool frame_is_sound() {
    if (g_frame.size() < 8 || at(g_frame, 2) != at(g_frame, 3)) return false;
    std::uint8_t low, high;
    checksum(g_frame.substr(0, g_frame.size() - 2), low, high);
    return at(g_frame, g_frame.size() - 2) == low && at(g_frame, g_frame.size() - 1) == high;
}

void handle_frame(int fd) {
    const std::string nak(1, static_cast<char>(NAK)), ack(1, static_cast<char>(ACK));
    if (!frame_is_sound()) {
        log_line("LOADER", "bad frame");
        reply(fd, nak, 0.5);
        return;
    }
    const std::uint8_t command = at(g_frame, 1);
    const std::uint32_t address = word_at(g_frame, 4);
    const std::uint32_t length = word_at(g_frame, 6);
    const std::string data = g_frame.substr(8, g_frame.size() - 10);
    switch (command) {
        case 0x10: {  // password: the interrupt vectors
            g_unlocked = data.size() == 32;
            for (std::size_t i = 0; g_unlocked && i < 32; ++i)
                g_unlocked = static_cast<std::uint8_t>(data[i]) == g_memory[0xFFE0 + i];
            log_line("PASSWORD", g_unlocked ? "accepted" : "wrong");
            reply(fd, g_unlocked ? ack : nak, 0.5);
            return;
        }
        case 0x18:  // mass erase
            if (length != 0xA506) break;
            mass_erase();
            reply(fd, ack, MASS_ERASE_MS);
            return;
        case 0x16:  // segment erase
            if (!g_unlocked || length != 0xA502) break;
            erase_segment(address);
            reply(fd, ack, 15);
            return;
        case 0x12: {  // write a block
            if (!g_unlocked) break;
            if (g_nak_pending) {
                g_nak_pending = false;
                log_line("LOADER", "refused a block once");
                break;
            }
            const bool ok = write_block(address, data);
            reply(fd, ok ? ack : nak, WRITE_MS_PER_BYTE * static_cast<double>(data.size()));
            return;
        }
        case 0x14:  // read a block
            if (!g_unlocked || length > 250) break;
            reply(fd, data_frame(address, length), 0.5);
            return;
        case 0x1A:  // load the program counter: the firmware starts
            if (!g_unlocked) break;
            reply(fd, ack, 0.5);
            g_active = false;
            return;
        default:
            break;
    }
    reply(fd, nak, 0.5);
}

// A 0x80 with nothing behind it is a sync; one followed by more starts a frame.
bool lone_sync_byte(int fd, bool more_in_hand) {
    if (g_frame.size() != 1 || more_in_hand) return false;
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 2) == 0;
}

}  // namespace

void loader_init() {
    // The analyzer's present firmware, so programming over it without an
    // erase leaves the wrong bits.
    for (std::uint32_t a = 0x1100; a < 0x9000; ++a) g_memory[a] = static_cast<std::uint8_t>((a * 7) ^ (a >> 8));
    for (std::uint32_t a = 0xFFE0; a < 0x10000; a += 2) {
        g_memory[a] = 0x00;
        g_memory[a + 1] = 0x11;
    }
    g_memory[0x0FF0] = 0xF1;  // chip identity and loader version
    g_memory[0x0FF1] = 0x49;
    g_memory[0x0FFA] = 0x01;
    g_memory[0x0FFB] = 0x10;
    g_nak_pending = g_options.loader_nak_once;
    g_corrupt_pending = g_options.loader_corrupt_once;
}

bool loader_wants(std::uint8_t first_byte) {
    if (!g_frame.empty()) return true;
    if (first_byte == SYNC) return !g_options.loader_silent;
    if (g_active) log_line("LOADER", "left: the firmware runs");
    g_active = false;
    return false;
}

void loader_take(int fd, const std::string& bytes, double first_byte_ms) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (g_frame.empty() && static_cast<std::uint8_t>(bytes[i]) != SYNC) continue;  // line noise
        if (g_frame.empty()) g_frame_start = first_byte_ms;
        g_frame += bytes[i];
        if (lone_sync_byte(fd, i + 1 < bytes.size())) {
            if (!g_active) {
                g_active = true;
                g_unlocked = false;  // the loader starts locked after every reset
                log_line("LOADER", "entered");
            }
            g_frame.clear();
            reply(fd, std::string(1, static_cast<char>(ACK)), 0);
            continue;
        }
        if (g_frame.size() >= 4 && g_frame.size() == 6u + at(g_frame, 2)) {
            handle_frame(fd);
            g_frame.clear();
        }
    }
}

void loader_report() {
    std::FILE* dump = g_options.dump_path.empty() ? nullptr : std::fopen(g_options.dump_path.c_str(), "w");
    for (std::uint32_t a = 0; a < 0x10000;) {
        if (!g_programmed[a]) {
            ++a;
            continue;
        }
        std::uint32_t end = a, sum = 0;
        while (end < 0x10000 && g_programmed[end]) sum += g_memory[end++];
        char text[64];
        std::snprintf(text, sizeof text, "%04X-%04X sum %08X", a, end - 1, sum);
        log_line("PROGRAMMED", text);
        if (dump) {
            std::fprintf(dump, "@%04X\n", a);
            for (std::uint32_t i = a; i < end; ++i)
                std::fprintf(dump, "%02X%c", g_memory[i], ((i - a) % 16 == 15 || i + 1 == end) ? '\n' : ' ');
        }
        a = end;
    }
    if (dump) {
        std::fprintf(dump, "q\n");
        std::fclose(dump);
    }
}
