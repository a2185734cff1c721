#include "bsl/ti_txt.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

constexpr std::uint32_t ADDRESS_SPACE = 0x10000;  // the loader addresses 64 KiB

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string trimmed(const std::string& line) {
    std::size_t end = line.size();
    while (end > 0 && is_blank(line[end - 1])) --end;
    return line.substr(0, end);
}

bool parse_address(const std::string& digits, std::uint32_t& address) {
    if (digits.empty() || digits.size() > 8) return false;
    address = 0;
    for (char c : digits) {
        if (hex_value(c) < 0) return false;
        address = address * 16 + static_cast<std::uint32_t>(hex_value(c));
    }
    return address < ADDRESS_SPACE;
}

// Appends the byte pairs of one data line; returns the bad token, if any.
bool parse_data(const std::string& line, std::vector<std::uint8_t>& bytes, std::string& bad) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) ++i;
        std::size_t start = i;
        while (i < line.size() && !is_blank(line[i])) ++i;
        if (start == i) break;
        const std::string token = line.substr(start, i - start);
        if (token.size() != 2 || hex_value(token[0]) < 0 || hex_value(token[1]) < 0) {
            bad = token;
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(hex_value(token[0]) * 16 + hex_value(token[1])));
    }
    return true;
}

bool overlaps(const Image& image) {
    std::vector<std::pair<std::size_t, std::size_t>> spans;
    for (const ImageSection& section : image)
        if (!section.bytes.empty()) spans.emplace_back(section.address, section.address + section.bytes.size());
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return true;
    return false;
}

}  // namespace

bool parse_ti_txt(const std::string& text, const std::string& name, Image& image, std::string& error,
                  int* last_line) {
    image.clear();
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    bool ended = false;
    int end_line = 0;
    auto fail = [&](const std::string& what) {
        error = name + ":" + std::to_string(number) + ": " + what;
        image.clear();
        return false;
    };
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = trimmed(raw);
        if (line.empty()) continue;
        if (ended) return fail("text after the final 'q'");
        if (line == "q" || line == "Q") {
            ended = true;
            end_line = number;
        } else if (line[0] == '@') {
            std::uint32_t address;
            if (!parse_address(line.substr(1), address)) return fail("bad section address '" + line + "'");
            image.push_back(ImageSection{address, {}});
        } else {
            if (image.empty()) return fail("data before the first @address line");
            std::string bad;
            if (!parse_data(line, image.back().bytes, bad)) return fail("bad hex byte '" + bad + "'");
            image.back().lines.resize(image.back().bytes.size(), number);
            if (image.back().address + image.back().bytes.size() > ADDRESS_SPACE)
                return fail("section runs past address FFFF");
        }
    }
    if (!ended) {
        number = number > 0 ? number : 1;
        return fail("missing the final 'q'");
    }
    if (overlaps(image)) return fail("sections overlap");
    if (last_line) *last_line = end_line;
    return true;
}

bool read_ti_txt(const std::string& path, Image& image, std::string& error, int* last_line) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": cannot open the image file";
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parse_ti_txt(text.str(), path, image, error, last_line);
}

std::string write_ti_txt(const Image& image) {
    std::string text;
    char piece[16];
    for (const ImageSection& section : image) {
        std::snprintf(piece, sizeof piece, "@%04X\n", section.address);
        text += piece;
        for (std::size_t i = 0; i < section.bytes.size(); ++i) {
            std::snprintf(piece, sizeof piece, "%02X", section.bytes[i]);
            text += piece;
            text += (i % 16 == 15 || i + 1 == section.bytes.size()) ? '\n' : ' ';
        }
    }
    return text + "q\n";
}

std::size_t image_size(const Image& image) {
    std::size_t total = 0;
    for (const ImageSection& section : image) total += section.bytes.size();
    return total;
}
