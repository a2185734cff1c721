#include "settings/settings_store.h"

#include <cstring>

#include "settings/query_table.h"

namespace {

bool is_sral_header(const std::string& line) {
    const char* sral = QUERY_TEXTS[QUERY_SRAL];
    if (line.size() != std::strlen(sral)) return false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if ((c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) != sral[i]) return false;
    }
    return true;
}

// Letters, digits and '-' stay; anything else becomes '_'.
std::string safe_for_a_file_name(const std::string& text) {
    std::string safe;
    for (char c : text.substr(0, 32)) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        safe += plain ? c : '_';
    }
    return safe.empty() ? "unknown" : safe;
}

std::string field(const std::string& content, const std::string& name) {
    const std::string key = "\n" + name + " ";
    const std::size_t at = ("\n" + content).find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size() - 1;
    return content.substr(start, content.find('\n', start) - start);
}

}  // namespace

bool split_settings_lines(const std::string& content, std::vector<std::string>& lines, std::string& error) {
    lines.clear();
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        if (end - start > SETTINGS_LINE_LIMIT) {
            error = std::string(SETTINGS_FILE_NAME) + " line " + std::to_string(lines.size() + 1) +
                    " is longer than " + std::to_string(SETTINGS_LINE_LIMIT) + " bytes: not a settings file";
            lines.clear();
            return false;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

std::string settings_serial(const std::string& content) {
    std::vector<std::string> lines;
    std::string error;
    if (!split_settings_lines(content, lines, error)) return "unknown";
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (!is_sral_header(lines[i])) continue;
        const std::string& data = lines[i + 1];
        const std::size_t colon = data.find(':');
        if (colon == std::string::npos) return "unknown";
        std::string serial = data.substr(colon + 1);
        while (!serial.empty() && (serial.back() == '\r' || serial.back() == ' ')) serial.pop_back();
        return serial.empty() ? "unknown" : serial;
    }
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

std::optional<PendingRestore> pending_restore() {
    std::string record, settings, error;
    if (read_settings_file(PENDING_RESTORE_NAME, record, error) != SettingsRead::ok) return std::nullopt;
    // A record without the file it speaks of has nothing left to protect.
    if (read_settings_file(SETTINGS_FILE_NAME, settings, error) != SettingsRead::ok) return std::nullopt;
    return PendingRestore{field(record, "serial"), field(record, "since")};
}

bool mark_restore_pending(std::string& error) {
    if (pending_restore()) return true;
    std::string settings;
    const std::string serial =
        read_settings_file(SETTINGS_FILE_NAME, settings, error) == SettingsRead::ok ? settings_serial(settings)
                                                                                   : "unknown";
    const std::string record =
        "serial " + serial + "\nsince " + local_time_text(std::time(nullptr), false) +
        "\n\nAn old analyzer was being programmed: SETTINGS.TXT holds its settings, still to be\n"
        "restored. k210prog keeps SETTINGS.TXT as it is until they are back. To start afresh\n"
        "on purpose, delete this file (earlier captures are kept as SETTINGS-*.TXT).\n";
    return replace_small_file(PENDING_RESTORE_NAME, record, error);
}

bool clear_restore_pending() { return remove_file(PENDING_RESTORE_NAME); }
