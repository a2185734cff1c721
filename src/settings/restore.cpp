#include "settings/restore.h"

#include <chrono>
#include <cstring>
#include <vector>

#include "dialogue/dialogue.h"
#include "settings/query_table.h"

namespace k210 {

// The set command is the query's first characters with a space where the
// fifth character was.
void Translator::start_command(int index) {
    command_index_ = index;
    line_counter_ = 0;
    pending_.assign(QUERY_TEXTS[index], 4);
    pending_ += ' ';
}

// Appends what follows the first colon; a line without one sends nothing.
std::optional<std::string> Translator::apply_colon_rule(const char* line) {
    const char* colon = std::strchr(line, ':');
    if (!colon) return std::nullopt;
    pending_ += colon + 1;
    return pending_;
}

void Translator::number_next_line() {
    pending_.resize(6);
    pending_[4] = static_cast<char>(static_cast<unsigned char>('0' + line_counter_));
    pending_[5] = ' ';
    ++line_counter_;
}

std::optional<std::string> Translator::translate_data_line(const char* line) {
    switch (command_index_) {
        case NO_HEADER_YET:
        case QUERY_LOGO:
        case QUERY_VERS: return std::nullopt;
        case QUERY_CUST: pending_ += line; return pending_;
        case QUERY_SRAL:
        case QUERY_OPTI: pending_ += ACCESS_WORD; return apply_colon_rule(line);
        case QUERY_FACT:
        case QUERY_OFFS: number_next_line(); return apply_colon_rule(line);
        case QUERY_PUMP: {
            const char* first_colon = std::strchr(line, ':');
            return apply_colon_rule(first_colon ? first_colon + 1 : line);
        }
        default: return apply_colon_rule(line);
    }
}

std::optional<std::string> Translator::next_set_command(const char* line) {
    if (const std::optional<QueryIndex> header = query_index_of(line)) {
        start_command(*header);
        return std::nullopt;
    }
    return translate_data_line(line);
}

PortResult translate_line(AnalyzerLink& link, Translator& translator, const char* line) {
    const std::optional<std::string> command = translator.next_set_command(line);
    if (!command) return PortResult::ok;
    return link.send_command(command->data(), command->size());
}

RestoreStatus restore_settings(AnalyzerLink& link, SettingsStore& store, Dialogue& dialogue) {
    std::vector<std::string> lines;
    switch (store.read_lines(SETTINGS_FILE_NAME, lines)) {
        case SettingsRead::missing: return RestoreStatus::ok;
        case SettingsRead::refused:
            dialogue.report(store.failure_reason() + "; no settings were sent");
            return RestoreStatus::file_refused;
        case SettingsRead::ok: break;
    }
    dialogue.say("Downloading Data...\n");
    Translator translator;
    for (const std::string& line : lines) {
        dialogue.say(line.c_str());  // a line holding a NUL is the text before it
        const PortResult sent = translate_line(link, translator, line.c_str());
        const auto translated = link.now();
        if (sent != PortResult::ok) return RestoreStatus::write_failed;
        link.sleep_until(translated + std::chrono::milliseconds(RESTORE_PAUSE_MS));
    }
    return RestoreStatus::ok;
}

}  // namespace k210
