#include "bsl/ti_txt.h"

#include <cstdio>
#include <sstream>

#include "bsl/quote.h"
#include "files/file_steps.h"

namespace k210::bsl {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Without trailing blanks, and without the CR of a CR LF line end.
std::string trimmed(const std::string& line) {
    std::size_t end = line.size();
    while (end > 0 && (is_blank(line[end - 1]) || line[end - 1] == '\r')) --end;
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

// The byte pairs of one data line; false with the bad token in `bad`.
bool parse_data(const std::string& line, Bytes& bytes, std::string& bad) {
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_blank(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !is_blank(line[i])) ++i;
        if (start == i) break;
        if (i - start != 2 || hex_value(line[start]) < 0 || hex_value(line[start + 1]) < 0) {
            bad = line.substr(start, i - start);
            return false;
        }
        bytes.push_back(static_cast<std::uint8_t>(hex_value(line[start]) * 16 + hex_value(line[start + 1])));
    }
    return true;
}

// Places a data line's bytes where its section has got to; what is wrong
// with the line, or nothing.
std::string place_data(const std::string& line, int number, std::uint32_t& next, FlashImage& image) {
    Bytes bytes;
    std::string bad;
    if (!parse_data(line, bytes, bad)) return "bad hex byte " + quoted(bad);
    switch (image.place(next, bytes, number)) {
        case Placed::ok: break;
        case Placed::overlaps: return "sections overlap";
        case Placed::past_the_end: return "section runs past address FFFF";
    }
    next += static_cast<std::uint32_t>(bytes.size());
    return "";
}

}  // namespace

Verdict ImageReader::refuse(const std::string& why, FlashImage& image) {
    failure_ = why;
    image = FlashImage();
    return Verdict::refused;
}

Verdict ImageReader::parse(const std::string& text, const std::string& name, FlashImage& image) {
    image = FlashImage();
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    bool in_section = false;
    bool ended = false;
    std::uint32_t next = 0;  // where the next data byte goes
    auto fail = [&](const std::string& what) {
        return refuse(name + ":" + std::to_string(number) + ": " + what, image);
    };
    while (std::getline(in, raw)) {
        ++number;
        const std::string line = trimmed(raw);
        if (line.empty()) continue;
        if (ended) return fail("text after the final 'q'");
        if (line.find('\r') != std::string::npos)
            return fail("a line ends in a CR alone; the lines of an image end in LF or CR LF");
        if (line == "q" || line == "Q") {
            ended = true;
            image.set_end_line(number);
        } else if (line[0] == '@') {
            if (!parse_address(line.substr(1), next)) return fail("bad section address " + quoted(line));
            in_section = true;
        } else {
            if (!in_section) return fail("data before the first @address line");
            const std::string problem = place_data(line, number, next, image);
            if (!problem.empty()) return fail(problem);
        }
    }
    if (!ended) {
        number = number > 0 ? number : 1;
        return fail("missing the final 'q'");
    }
    return Verdict::ok;
}

Verdict ImageReader::read(FileSystem& files, const std::string& path, FlashImage& image) {
    const FileContent file = read_regular_file(files, path, IMAGE_FILE_LIMIT);
    switch (file.outcome) {
        case FileRead::ok: return parse(file.bytes, path, image);
        case FileRead::missing:
        case FileRead::cannot_open:
            return refuse(path + ": cannot open the image file (" + files.reason() + ")", image);
        case FileRead::not_a_file: return refuse(path + " is " + kind_text(file.kind) + ", not an image file", image);
        case FileRead::too_large:
            return refuse(path + " is too large for an image file (" + std::to_string(file.size) +
                              " bytes; all 64 KiB of flash take about 200 KB of TI-TXT)",
                          image);
        case FileRead::cannot_read:
            return refuse(path + ": cannot read the image file (" + files.reason() + ")", image);
    }
    return refuse(path + ": cannot read the image file", image);
}

std::string write_ti_txt(const FlashImage& image) {
    std::string text;
    char piece[16];
    for (const ImageRun& run : image.runs()) {
        std::snprintf(piece, sizeof piece, "@%04X\n", run.address);
        text += piece;
        for (std::size_t i = 0; i < run.bytes.size(); ++i) {
            std::snprintf(piece, sizeof piece, "%02X", run.bytes[i]);
            text += piece;
            text += (i % 16 == 15 || i + 1 == run.bytes.size()) ? '\n' : ' ';
        }
    }
    return text + "q\n";
}

}  // namespace k210::bsl
