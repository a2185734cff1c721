// Firmware images in TI-TXT form: "@ADDR" lines start a section, data lines
// hold hexadecimal byte pairs, "q" ends the file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct ImageSection {
    ImageSection(std::uint32_t at = 0, std::vector<std::uint8_t> data = {}) : address(at), bytes(std::move(data)) {}
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
    std::vector<int> lines;  // the file line each byte came from (empty for images made in code)
};

using Image = std::vector<ImageSection>;

// Parses image text. On failure returns false and sets `error` to
// "NAME:LINE: what was wrong" (NAME is `name`). `last_line`, when given,
// receives the number of the file's last line.
bool parse_ti_txt(const std::string& text, const std::string& name, Image& image, std::string& error,
                  int* last_line = nullptr);

// Reads and parses an image file; a missing or unreadable file is an error too.
bool read_ti_txt(const std::string& path, Image& image, std::string& error, int* last_line = nullptr);

// The image as TI-TXT text, 16 bytes per line.
std::string write_ti_txt(const Image& image);

// Total number of image bytes.
std::size_t image_size(const Image& image);
