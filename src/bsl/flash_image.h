// A firmware image as the flash will hold it: the byte for each address the
// loader can reach, and the line of the image file each byte came from. The
// image file is read into one of these once; the checks, the write blocks
// and the password all work from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace k210::bsl {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t ADDRESS_SPACE = 0x10000;  // the loader addresses 64 KiB

// Image bytes at consecutive addresses.
struct ImageRun {
    std::uint32_t address = 0;
    Bytes bytes;
};

enum class Placed {
    ok,
    overlaps,      // an address already holds an image byte
    past_the_end,  // the bytes run past FFFF
};

class FlashImage {
  public:
    FlashImage();

    // Puts `bytes` at `address` and on, read from file line `line` (0 for
    // bytes made in code). Places nothing unless the outcome is ok.
    [[nodiscard]] Placed place(std::uint32_t address, const Bytes& bytes, int line = 0);
    // The line of the image file's end (its final 'q'), for what the image lacks.
    void set_end_line(int line) { end_line_ = line; }

    bool holds(std::uint32_t address) const;
    // The image's byte, or 0xFF (erased flash) at an address it leaves alone.
    std::uint8_t byte_at(std::uint32_t address) const;
    // The file line the byte came from; 0 when it has none.
    int line_of(std::uint32_t address) const;
    int end_line() const { return end_line_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // The image's bytes in runs of consecutive addresses, in address order.
    std::vector<ImageRun> runs() const;
    // The same bytes at the same addresses (the lines do not count).
    bool operator==(const FlashImage& other) const;

  private:
    Bytes bytes_;
    std::vector<int> lines_;  // -1 where the image has no byte
    std::size_t size_ = 0;
    int end_line_ = 0;
};

}  // namespace k210::bsl
