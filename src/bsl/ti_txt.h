// Firmware images in TI-TXT form: "@ADDR" lines start a section, data lines
// hold hexadecimal byte pairs, "q" ends the file.
#pragma once

#include <cstddef>
#include <string>

#include "bsl/flash_image.h"
#include "bsl/verdict.h"
#include "files/file_system.h"

namespace k210::bsl {

// The largest image file read: an image of all 64 KiB takes about 200 KB of
// TI-TXT, so anything near this is not an image for the analyzer.
constexpr std::size_t IMAGE_FILE_LIMIT = std::size_t{4} << 20;

// Reads images from their text or their file. On refusal the image is left
// empty and failure_reason() says what was wrong: "NAME:LINE: what", where
// NAME is the name or path given, quoting at most a few dozen characters,
// or, for a file that cannot be read or is none, "PATH: why".
class ImageReader {
  public:
    [[nodiscard]] Verdict parse(const std::string& text, const std::string& name, FlashImage& image);
    // Reads and parses the regular file at `path` when it holds at most IMAGE_FILE_LIMIT bytes.
    [[nodiscard]] Verdict read(FileSystem& files, const std::string& path, FlashImage& image);
    const std::string& failure_reason() const { return failure_; }

  private:
    Verdict refuse(const std::string& why, FlashImage& image);
    std::string failure_;
};

// The image as TI-TXT text: a section for each run of bytes, 16 bytes a line.
std::string write_ti_txt(const FlashImage& image);

}  // namespace k210::bsl
