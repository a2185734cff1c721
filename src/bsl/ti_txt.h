// Firmware images in TI-TXT form: "@ADDR" lines start a section, data lines
// hold hexadecimal byte pairs, "q" ends the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ImageSection {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> bytes;
};

using Image = std::vector<ImageSection>;

// Parses image text. On failure returns false and sets `error` to
// "NAME:LINE: what was wrong" (NAME is `name`).
bool parse_ti_txt(const std::string& text, const std::string& name, Image& image, std::string& error);

// Reads and parses an image file; a missing or unreadable file is an error too.
bool read_ti_txt(const std::string& path, Image& image, std::string& error);

// The image as TI-TXT text, 16 bytes per line.
std::string write_ti_txt(const Image& image);

// Total number of image bytes.
std::size_t image_size(const Image& image);
