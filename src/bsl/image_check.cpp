#include "bsl/image_check.h"

#include <cstdio>
#include <map>

#include "bsl/bsl_protocol.h"

namespace {

const char* region_of(std::uint32_t address) {
    if (address < 0x0200) return "the peripheral registers";
    if (address < 0x0C00) return "RAM";
    return "the boot ROM (the loader itself)";
}

std::string where(const std::string& name, int line) {
    return line > 0 ? name + ":" + std::to_string(line) + ": " : name + ": ";
}

struct Located {
    std::uint8_t byte;
    int line;
};

std::map<std::uint32_t, Located> bytes_by_address(const Image& image) {
    std::map<std::uint32_t, Located> memory;
    for (const ImageSection& section : image)
        for (std::size_t i = 0; i < section.bytes.size(); ++i)
            memory[section.address + static_cast<std::uint32_t>(i)] = {section.bytes[i],
                                                                       i < section.lines.size() ? section.lines[i] : 0};
    return memory;
}

}  // namespace

std::string image_problem(const Image& image, const std::string& name, int last_line, bool erase, bool unlock) {
    const std::map<std::uint32_t, Located> memory = bytes_by_address(image);
    if (memory.empty()) return where(name, last_line) + "the image holds no data: there is nothing to program";
    const auto first = memory.begin();
    if (first->first < FLASH_START) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "address %04X is in %s, not in the flash (1000-FFFF): this is not firmware for the analyzer",
                      first->first, region_of(first->first));
        return where(name, first->second.line) + text;
    }
    const auto low = memory.find(RESET_VECTOR), high = memory.find(RESET_VECTOR + 1);
    if (erase && (low == memory.end() || high == memory.end()))
        return where(name, last_line) +
               "the image has no reset vector (FFFE-FFFF): after the mass erase the analyzer could not start";
    if (erase && low->second.byte == 0xFF && high->second.byte == 0xFF)
        return where(name, low->second.line) +
               "the reset vector (FFFE-FFFF) is FFFF, erased flash: after the mass erase the analyzer could not start";
    for (std::uint32_t a = VECTORS_ADDRESS; unlock && a < VECTORS_ADDRESS + PASSWORD_SIZE; ++a)
        if (memory.find(a) == memory.end())
            return where(name, last_line) +
                   "the interrupt vectors (FFE0-FFFF) are incomplete; without m (mass erase) they are the loader's "
                   "password, and a wrong password can make a loader erase the whole flash";
    return "";
}
