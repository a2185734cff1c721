#include "settings/settings_text.h"

#include "settings/query_table.h"

namespace k210 {

namespace {

// Letters, digits and '-' stay; anything else becomes '_'.
std::string safe_for_a_file_name(const std::string& text) {
    std::string safe;
    for (char c : text.substr(0, 32)) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        safe += plain ? c : '_';
    }
    return safe.empty() ? "unknown" : safe;
}

}  // namespace

LineSplit split_settings_lines(const std::string& content, std::vector<std::string>& lines) {
    lines.clear();
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        if (end - start > SETTINGS_LINE_LIMIT) return LineSplit::line_too_long;
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return LineSplit::ok;
}

std::string serial_from_reply(const std::string& reply) {
    const std::size_t cr = reply.find('\r');
    if (cr == std::string::npos) return "unknown";
    const std::size_t colon = reply.find(':');
    if (colon == std::string::npos || colon > cr) return "unknown";
    std::string serial = reply.substr(colon + 1, cr - colon - 1);
    while (!serial.empty() && serial.back() == ' ') serial.pop_back();
    return serial.empty() ? "unknown" : serial;
}

std::string settings_serial(const std::string& content) {
    std::vector<std::string> lines;
    if (split_settings_lines(content, lines) != LineSplit::ok) return "unknown";
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        if (query_index_of(lines[i].c_str()) == QUERY_SRAL) return serial_from_reply(lines[i + 1]);
    return "unknown";
}

std::string local_time_text(std::time_t when, bool compact) {
    char text[32] = "";
    const std::tm* local = std::localtime(&when);
    if (local) std::strftime(text, sizeof text, compact ? "%Y%m%d-%H%M%S" : "%Y-%m-%d %H:%M:%S", local);
    return text;
}

std::string archive_file_name(const std::string& serial, std::time_t when) {
    return "SETTINGS-" + safe_for_a_file_name(serial) + "-" + local_time_text(when, true) + ".TXT";
}

}  // namespace k210
