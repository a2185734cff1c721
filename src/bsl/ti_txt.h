// Firmware images in TI-TXT form: "@ADDR" lines start a section, data lines
// hold hexadecimal byte pairs, "q" ends the file.
#pragma once

#include <cstddef>
#include <string>

#include "bsl/flash_image.h"

namespace k210::bsl {

// The largest image file read: an image of all 64 KiB takes about 200 KB of
// TI-TXT, so anything near this is not an image for the analyzer.
constexpr std::size_t IMAGE_FILE_LIMIT = std::size_t{4} << 20;

// Reads image text into `image`, each byte with its line. On failure
// returns false, leaves `image` empty and sets `error` to "NAME:LINE: what
// was wrong" (NAME is `name`), quoting at most a few dozen characters.
[[nodiscard]] bool parse_ti_txt(const std::string& text, const std::string& name, FlashImage& image,
                                std::string& error);

// Reads and parses an image file. A missing or unreadable file, one that is
// not a regular file, or one larger than IMAGE_FILE_LIMIT is an error too
// ("PATH: why" or "PATH is a FIFO, not an image file").
[[nodiscard]] bool read_ti_txt(const std::string& path, FlashImage& image, std::string& error);

// The image as TI-TXT text: a section for each run of bytes, 16 bytes a line.
std::string write_ti_txt(const FlashImage& image);

}  // namespace k210::bsl
