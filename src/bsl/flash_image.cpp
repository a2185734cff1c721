#include "bsl/flash_image.h"

namespace k210::bsl {

namespace {

constexpr int ABSENT = -1;

}  // namespace

FlashImage::FlashImage() : bytes_(ADDRESS_SPACE, 0xFF), lines_(ADDRESS_SPACE, ABSENT) {}

Placed FlashImage::place(std::uint32_t address, const Bytes& bytes, int line) {
    if (address > ADDRESS_SPACE || bytes.size() > ADDRESS_SPACE - address) return Placed::past_the_end;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (holds(address + static_cast<std::uint32_t>(i))) return Placed::overlaps;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes_[address + i] = bytes[i];
        lines_[address + i] = line;
    }
    size_ += bytes.size();
    return Placed::ok;
}

bool FlashImage::holds(std::uint32_t address) const { return address < ADDRESS_SPACE && lines_[address] != ABSENT; }

std::uint8_t FlashImage::byte_at(std::uint32_t address) const { return holds(address) ? bytes_[address] : 0xFF; }

int FlashImage::line_of(std::uint32_t address) const { return holds(address) ? lines_[address] : 0; }

std::vector<ImageRun> FlashImage::runs() const {
    std::vector<ImageRun> runs;
    for (std::uint32_t address = 0; address < ADDRESS_SPACE; ++address) {
        if (!holds(address)) continue;
        if (runs.empty() || !holds(address - 1)) runs.push_back(ImageRun{address, {}});
        runs.back().bytes.push_back(bytes_[address]);
    }
    return runs;
}

bool FlashImage::operator==(const FlashImage& other) const {
    for (std::uint32_t address = 0; address < ADDRESS_SPACE; ++address)
        if (holds(address) != other.holds(address) || byte_at(address) != other.byte_at(address)) return false;
    return true;
}

}  // namespace k210::bsl
