#include "bsl/image_check.h"

#include <cstdio>

#include "bsl/bsl_protocol.h"

namespace k210::bsl {

namespace {

const char* region_of(std::uint32_t address) {
    if (address < 0x0200) return "the peripheral registers";
    if (address < 0x0C00) return "RAM";
    return "the boot ROM (the loader itself)";
}

std::string where(const std::string& name, int line) {
    return line > 0 ? name + ":" + std::to_string(line) + ": " : name + ": ";
}

}  // namespace

Verdict ImageChecker::refuse(const std::string& why) {
    failure_ = why;
    return Verdict::refused;
}

Verdict ImageChecker::check(const FlashImage& image, const std::string& name, bool erase, bool unlock) {
    const std::string at_end = where(name, image.end_line());
    if (image.empty()) return refuse(at_end + "the image holds no data: there is nothing to program");
    const std::uint32_t first = image.runs().front().address;
    if (first < FLASH_START) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "address %04X is in %s, not in the flash (1000-FFFF): this is not firmware for the analyzer",
                      first, region_of(first));
        return refuse(where(name, image.line_of(first)) + text);
    }
    if (erase && !(image.holds(RESET_VECTOR) && image.holds(RESET_VECTOR + 1)))
        return refuse(at_end +
                      "the image has no reset vector (FFFE-FFFF): after the mass erase the analyzer could not start");
    if (erase && image.byte_at(RESET_VECTOR) == 0xFF && image.byte_at(RESET_VECTOR + 1) == 0xFF)
        return refuse(where(name, image.line_of(RESET_VECTOR)) +
                      "the reset vector (FFFE-FFFF) is FFFF, erased flash: after the mass erase the analyzer could "
                      "not start");
    for (std::uint32_t a = VECTORS_ADDRESS; unlock && a < VECTORS_ADDRESS + PASSWORD_SIZE; ++a)
        if (!image.holds(a))
            return refuse(at_end +
                          "the interrupt vectors (FFE0-FFFF) are incomplete; without m (mass erase) they are the "
                          "loader's password, and a wrong password can make a loader erase the whole flash");
    return Verdict::ok;
}

}  // namespace k210::bsl
