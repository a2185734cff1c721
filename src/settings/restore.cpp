#include "settings/restore.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "serial_link/serial_link.h"
#include "settings/query_table.h"

namespace {

constexpr int NO_HEADER_YET = 255;

int g_command_index = NO_HEADER_YET;
int g_line_counter = 0;      // data lines since the header, for FACT and OFFS
std::string g_pending;       // the set command being built

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

// The set command is the query's first characters with a space where the
// fifth character was.
void start_command(int index) {
    g_command_index = index;
    g_line_counter = 0;
    g_pending.assign(QUERY_TEXTS[index], 4);
    g_pending += ' ';
}

// Appends what follows the first colon; a line without one sends nothing.
bool apply_colon_rule(const char* line, std::string& command) {
    const char* colon = std::strchr(line, ':');
    if (!colon) return false;
    g_pending += colon + 1;
    command = g_pending;
    return true;
}

void number_next_line() {
    g_pending.resize(6);
    g_pending[4] = static_cast<char>(static_cast<unsigned char>('0' + g_line_counter));
    g_pending[5] = ' ';
    ++g_line_counter;
}

bool translate_data_line(const char* line, std::string& command) {
    switch (g_command_index) {
        case NO_HEADER_YET:
        case QUERY_LOGO:
        case QUERY_VERS:
            return false;
        case QUERY_CUST:
            g_pending += line;
            command = g_pending;
            return true;
        case QUERY_SRAL:
        case QUERY_OPTI:
            g_pending += ACCESS_WORD;
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

}  // namespace

void reset_translator() {
    g_command_index = NO_HEADER_YET;
    g_line_counter = 0;
    g_pending.clear();
}

bool next_set_command(const char* line, std::string& command) {
    const int header = header_index(line);
    if (header >= 0) {
        start_command(header);
        return false;
    }
    return translate_data_line(line, command);
}

int translate_line(const char* line) {
    std::string command;
    if (!next_set_command(line, command)) return SEND_OK;
    return send_command(command.data(), command.size());
}

bool read_settings_line(std::FILE* file, std::string& line) {
    line.clear();
    int c = std::getc(file);
    if (c == EOF) return false;
    for (; c != EOF && c != '\n'; c = std::getc(file)) line += static_cast<char>(c);
    return true;
}

int restore_settings() {
    std::FILE* file = std::fopen(SETTINGS_FILE_NAME, "rb");
    if (!file) return RESTORE_OK;
    std::printf("Downloading Data...\n");
    std::string line;
    int status = RESTORE_OK;
    while (status == RESTORE_OK && read_settings_line(file, line)) {
        std::printf("%s", line.c_str());  // a line holding a NUL is the text before it
        const int sent = translate_line(line.c_str());
        const auto translated = std::chrono::steady_clock::now();
        if (sent != SEND_OK) {
            status = RESTORE_WRITE_FAILED;
        } else {
            std::this_thread::sleep_until(translated + std::chrono::milliseconds(RESTORE_PAUSE_MS));
        }
    }
    std::fclose(file);
    return status;
}
