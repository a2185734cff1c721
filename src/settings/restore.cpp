#include "settings/restore.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "settings/query_table.h"
#include "settings/settings_store.h"

namespace {

char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (upper_ascii(*a) != upper_ascii(*b)) return false;
    return *a == *b;
}

int header_index(const char* line) {
    for (std::size_t i = 0; i < QUERY_COUNT; ++i)
        if (equal_ignoring_case(line, QUERY_TEXTS[i])) return static_cast<int>(i);
    return -1;
}

}  // namespace

// The set command is the query's first characters with a space where the
// fifth character was.
void Translator::start_command(int index) {
    command_index_ = index;
    line_counter_ = 0;
    pending_.assign(QUERY_TEXTS[index], 4);
    pending_ += ' ';
}

// Appends what follows the first colon; a line without one sends nothing.
bool Translator::apply_colon_rule(const char* line, std::string& command) {
    const char* colon = std::strchr(line, ':');
    if (!colon) return false;
    pending_ += colon + 1;
    command = pending_;
    return true;
}

void Translator::number_next_line() {
    pending_.resize(6);
    pending_[4] = static_cast<char>(static_cast<unsigned char>('0' + line_counter_));
    pending_[5] = ' ';
    ++line_counter_;
}

bool Translator::translate_data_line(const char* line, std::string& command) {
    switch (command_index_) {
        case NO_HEADER_YET:
        case QUERY_LOGO:
        case QUERY_VERS:
            return false;
        case QUERY_CUST:
            pending_ += line;
            command = pending_;
            return true;
        case QUERY_SRAL:
        case QUERY_OPTI:
            pending_ += ACCESS_WORD;
            return apply_colon_rule(line, command);
        case QUERY_FACT:
        case QUERY_OFFS:
            number_next_line();
            return apply_colon_rule(line, command);
        case QUERY_PUMP: {
            const char* first_colon = std::strchr(line, ':');
            return apply_colon_rule(first_colon ? first_colon + 1 : line, command);
        }
        default:
            return apply_colon_rule(line, command);
    }
}

bool Translator::next_set_command(const char* line, std::string& command) {
    const int header = header_index(line);
    if (header >= 0) {
        start_command(header);
        return false;
    }
    return translate_data_line(line, command);
}

SendStatus translate_line(Translator& translator, const char* line) {
    std::string command;
    if (!translator.next_set_command(line, command)) return SendStatus::ok;
    return send_command(command.data(), command.size());
}

RestoreStatus restore_settings() {
    std::string content, error;
    std::vector<std::string> lines;
    const SettingsRead read = read_settings_file(SETTINGS_FILE_NAME, content, error);
    if (read == SettingsRead::missing) return RestoreStatus::ok;
    if (read == SettingsRead::refused || !split_settings_lines(content, lines, error)) {
        std::fflush(stdout);
        std::fprintf(stderr, "k210prog: %s; no settings were sent\n", error.c_str());
        return RestoreStatus::file_refused;
    }
    std::printf("Downloading Data...\n");
    Translator translator;
    for (const std::string& line : lines) {
        std::printf("%s", line.c_str());  // a line holding a NUL is the text before it
        const SendStatus sent = translate_line(translator, line.c_str());
        const auto translated = std::chrono::steady_clock::now();
        if (sent != SendStatus::ok) return RestoreStatus::write_failed;
        std::this_thread::sleep_until(translated + std::chrono::milliseconds(RESTORE_PAUSE_MS));
    }
    return RestoreStatus::ok;
}
