#include "bsl/bsl_protocol.h"

#include <map>

void bsl_checksum(const std::uint8_t* bytes, std::size_t length, std::uint8_t& low, std::uint8_t& high) {
    std::uint8_t even = 0, odd = 0;
    for (std::size_t i = 0; i < length; ++i) (i % 2 == 0 ? even : odd) ^= bytes[i];
    low = static_cast<std::uint8_t>(~even);
    high = static_cast<std::uint8_t>(~odd);
}

Bytes make_frame(std::uint8_t command, std::uint16_t address, std::uint16_t length_field, const Bytes& data) {
    const auto size = static_cast<std::uint8_t>(4 + data.size());
    Bytes frame;
    frame.reserve(data.size() + 10);
    for (std::uint8_t byte : {BSL_HEADER, command, size, size, static_cast<std::uint8_t>(address & 0xFF),
                              static_cast<std::uint8_t>(address >> 8),
                              static_cast<std::uint8_t>(length_field & 0xFF),
                              static_cast<std::uint8_t>(length_field >> 8)})
        frame.push_back(byte);
    for (std::uint8_t byte : data) frame.push_back(byte);
    std::uint8_t low, high;
    bsl_checksum(frame.data(), frame.size(), low, high);
    frame.push_back(low);
    frame.push_back(high);
    return frame;
}

bool parse_data_frame(const Bytes& frame, std::size_t expected, Bytes& data) {
    if (frame.size() != expected + 6 || frame[0] != BSL_HEADER) return false;
    if (frame[2] != expected || frame[3] != expected) return false;
    std::uint8_t low, high;
    bsl_checksum(frame.data(), frame.size() - 2, low, high);
    if (frame[frame.size() - 2] != low || frame[frame.size() - 1] != high) return false;
    data.assign(frame.begin() + 4, frame.end() - 2);
    return true;
}

std::vector<WriteBlock> plan_write_blocks(const Image& image) {
    std::map<std::uint32_t, std::uint8_t> memory;
    for (const ImageSection& section : image)
        for (std::size_t i = 0; i < section.bytes.size(); ++i)
            memory[section.address + static_cast<std::uint32_t>(i)] = section.bytes[i];
    std::vector<WriteBlock> blocks;
    std::uint32_t last_word = 0;
    for (const auto& entry : memory) {
        const std::uint32_t word = entry.first & ~1u;
        if (!blocks.empty() && word == last_word) continue;  // both bytes of a word
        if (blocks.empty() || word != last_word + 2 || blocks.back().bytes.size() == MAX_BLOCK)
            blocks.push_back(WriteBlock{static_cast<std::uint16_t>(word), {}, {}});
        for (std::uint32_t a = word; a < word + 2; ++a) {
            auto found = memory.find(a);
            blocks.back().bytes.push_back(found == memory.end() ? 0xFF : found->second);
            blocks.back().from_image.push_back(found != memory.end());
        }
        last_word = word;
    }
    return blocks;
}

Bytes password_for(const Image& image, bool erased) {
    Bytes password(PASSWORD_SIZE, 0xFF);
    if (erased) return password;
    for (const ImageSection& section : image)
        for (std::size_t i = 0; i < section.bytes.size(); ++i) {
            const std::uint32_t address = section.address + static_cast<std::uint32_t>(i);
            if (address >= VECTORS_ADDRESS && address < VECTORS_ADDRESS + PASSWORD_SIZE)
                password[address - VECTORS_ADDRESS] = section.bytes[i];
        }
    return password;
}
