#include "bsl/bsl_protocol.h"

#include <cstdio>

namespace k210::bsl {

void bsl_checksum(const std::uint8_t* bytes, std::size_t length, std::uint8_t& low, std::uint8_t& high) {
    std::uint8_t even = 0;
    std::uint8_t odd = 0;
    for (std::size_t i = 0; i < length; ++i) (i % 2 == 0 ? even : odd) ^= bytes[i];
    low = static_cast<std::uint8_t>(~even);
    high = static_cast<std::uint8_t>(~odd);
}

Bytes make_frame(std::uint8_t command, std::uint16_t address, std::uint16_t length_field, const Bytes& data) {
    const auto size = static_cast<std::uint8_t>(4 + data.size());
    Bytes frame;
    frame.reserve(data.size() + 10);
    for (std::uint8_t byte : {BSL_HEADER, command, size, size, static_cast<std::uint8_t>(address & 0xFF),
                              static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(length_field & 0xFF),
                              static_cast<std::uint8_t>(length_field >> 8)})
        frame.push_back(byte);
    for (std::uint8_t byte : data) frame.push_back(byte);
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    bsl_checksum(frame.data(), frame.size(), low, high);
    frame.push_back(low);
    frame.push_back(high);
    return frame;
}

bool parse_data_frame(const Bytes& frame, std::size_t expected, Bytes& data) {
    if (frame.size() != expected + 6 || frame[0] != BSL_HEADER) return false;
    if (frame[2] != expected || frame[3] != expected) return false;
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    bsl_checksum(frame.data(), frame.size() - 2, low, high);
    if (frame[frame.size() - 2] != low || frame[frame.size() - 1] != high) return false;
    data.assign(frame.begin() + 4, frame.end() - 2);
    return true;
}

std::vector<WriteBlock> plan_write_blocks(const FlashImage& image) {
    std::vector<WriteBlock> blocks;
    for (std::uint32_t word = 0; word < ADDRESS_SPACE; word += 2) {
        if (!image.holds(word) && !image.holds(word + 1)) continue;
        if (blocks.empty() || blocks.back().address + blocks.back().bytes.size() != word ||
            blocks.back().bytes.size() == MAX_BLOCK)
            blocks.push_back(WriteBlock{static_cast<std::uint16_t>(word), {}, {}});
        for (std::uint32_t a = word; a < word + 2; ++a) {
            blocks.back().bytes.push_back(image.byte_at(a));
            blocks.back().from_image.push_back(image.holds(a));
        }
    }
    return blocks;
}

Bytes password_for(const FlashImage& image, bool erased) {
    Bytes password(PASSWORD_SIZE, 0xFF);
    for (std::size_t i = 0; !erased && i < PASSWORD_SIZE; ++i)
        password[i] = image.byte_at(VECTORS_ADDRESS + static_cast<std::uint32_t>(i));
    return password;
}

std::string LoaderIdentity::chip() const {
    char text[16];
    std::snprintf(text, sizeof text, "%02X%02X", chip_high, chip_low);
    return text;
}

std::string LoaderIdentity::version_text() const {
    char text[16];
    std::snprintf(text, sizeof text, "%X.%02X", version >> 8, version & 0xFF);
    return text;
}

LoaderIdentity identity_from(const Bytes& boot_rom_top) {
    LoaderIdentity identity;
    if (boot_rom_top.size() < IDENTITY_SIZE) return identity;
    identity.chip_high = boot_rom_top[0];
    identity.chip_low = boot_rom_top[1];
    identity.version = static_cast<unsigned>(boot_rom_top[10]) << 8 | boot_rom_top[11];
    return identity;
}

namespace {

struct DocumentedSpeed {
    unsigned baud;
    std::uint8_t d3, f1_d1, f1_d2, f4_d1, f4_d2;
};
const DocumentedSpeed SPEEDS[] = {
    {9600, 0, 0x80, 0x85, 0x00, 0x98},
    {19200, 1, 0xE0, 0x86, 0x00, 0xB0},
    {38400, 2, 0xE0, 0x87, 0x80, 0xC8},
};

}  // namespace

bool speed_setting_for(const LoaderIdentity& loader, unsigned baud, SpeedSetting& setting) {
    const bool f1 = loader.chip_high == 0xF1;
    const bool f4 = loader.chip_high == 0xF4;
    if (loader.version < 0x0160 || loader.version >= 0x0200 || !(f1 || f4)) return false;
    for (const DocumentedSpeed& s : SPEEDS) {
        if (s.baud != baud) continue;
        setting = {baud, f1 ? s.f1_d1 : s.f4_d1, f1 ? s.f1_d2 : s.f4_d2, s.d3};
        return true;
    }
    return false;
}

Bytes speed_frame(const SpeedSetting& setting) {
    return make_frame(BSL_CHANGE_BAUD, static_cast<std::uint16_t>(setting.d1 | setting.d2 << 8), setting.d3);
}

}  // namespace k210::bsl
