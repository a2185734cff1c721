// The analyzer's text interface: settings queries and set commands.
#include <cctype>
#include <string>
#include <vector>

#include "sim.h"

namespace k210sim {

Analyzer::Analyzer(Line& line, const SimOptions& options) : line_(line), options_(options) {
    settings_ = {
        {"LOGO", {"VORTAN K210 COMBUSTION ANALYZER"}},
        {"VERS", {"3.7"}},
        {"SRAL", {"210457"}},
        {"OPTI", {"0012"}},
        {"FACT", {"1.000", "0.985", "1.020", "0.997"}},
        {"OFFS", {"12", "-3", "0"}},
        {"CUST", {"NORTHSIDE HEATING 555-0142"}},
        {"MODE", {"2"}},
        {"CORF", {"1.00"}},
        {"PUMP", {"RATE", "75"}},
        {"SMOK", {"1"}},
        {"ATOF", {"-0.4"}},
        {"TEFF", {"81.5"}},
        {"DVLT", {"3.9"}},
        {"DATE", {"11/28/26"}},
        {"TIME", {"14:05:33"}},
    };
}

// What a unit whose settings lived in erased flash comes back with.
void Analyzer::restore_factory_settings() {
    settings_ = {
        {"LOGO", {"VORTAN K210 COMBUSTION ANALYZER"}},
        {"VERS", {"4.2"}},
        {"SRAL", {"000000"}},
        {"OPTI", {"0000"}},
        {"FACT", {"1.000", "1.000", "1.000", "1.000"}},
        {"OFFS", {"0", "0", "0"}},
        {"CUST", {"VORTAN"}},
        {"MODE", {"0"}},
        {"CORF", {"1.00"}},
        {"PUMP", {"RATE", "50"}},
        {"SMOK", {"0"}},
        {"ATOF", {"0.0"}},
        {"TEFF", {"80.0"}},
        {"DVLT", {"3.0"}},
        {"DATE", {"01/01/06"}},
        {"TIME", {"00:00:00"}},
    };
    line_.log("FACTORY-SETTINGS", "");
}

Analyzer::Setting* Analyzer::find_setting(const std::string& name) {
    for (Setting& s : settings_)
        if (s.name == name) return &s;
    return nullptr;
}

std::vector<std::string> Analyzer::reply_lines(const Setting& s) const {
    if (s.name == "CUST") return {s.values[0]};
    if (s.name == "PUMP") return {"PUMP:" + s.values[0] + ":" + s.values[1]};
    if (s.name == "LOGO" && options_.logo_length > 0) {
        const std::string line = "LOGO:" + s.values[0];
        const std::size_t length = static_cast<std::size_t>(options_.logo_length) - 1;  // and the CR
        return {line.size() < length ? line + std::string(length - line.size(), '*') : line.substr(0, length)};
    }
    if (s.name != "FACT" && s.name != "OFFS") return {s.name + ":" + s.values[0]};
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < s.values.size(); ++i) lines.push_back(s.name + std::to_string(i) + ":" + s.values[i]);
    return lines;
}

void Analyzer::answer_query(const std::string& name) {
    if (options_.vanish_after_queries >= 0 && queries_answered_ >= options_.vanish_after_queries) {
        line_.log("VANISHED", name + "?");  // unplugged before it could answer
        vanished_ = true;
        return;
    }
    const int asked = ++queries_asked_;
    const bool silent_now = asked <= options_.silent_queries ||
                            (options_.silent_after_queries >= 0 && asked > options_.silent_after_queries);
    const bool answer =
        !options_.silent && !silent_now && ("," + options_.ignored + ",").find("," + name + ",") == std::string::npos;
    line_.log(answer ? "QUERY" : "IGNORED", name + "?");
    const Setting* s = find_setting(name);
    if (!answer || !s) return;
    ++queries_answered_;
    Line::sleep_ms(options_.reply_delay_ms);
    const std::vector<std::string> lines = reply_lines(*s);
    std::string head;
    std::string tail;
    for (std::size_t i = 0; i < lines.size(); ++i)
        ((options_.split_ms > 0 && i > 0 && i + 1 == lines.size()) ? tail : head) += lines[i] + "\r";
    const double pace = options_.slow ? TEXT_MS_PER_BYTE : 0;
    line_.transmit(head, pace);
    if (!tail.empty()) {
        Line::sleep_ms(options_.split_ms);
        line_.transmit(tail, pace);
    }
    line_.log("REPLIED", name + "?");  // the reply's last byte is on its way
}

// "NAME value", "FACTn value", "SRAL BRISKETvalue", "PUMP value", "CUST text".
bool Analyzer::apply_set(const std::string& command) {
    if (command.size() < 5) return false;
    Setting* s = find_setting(command.substr(0, 4));
    if (!s) return false;
    if (s->name == "FACT" || s->name == "OFFS") {
        if (command.size() < 6 || command[5] != ' ' || command[4] < '0') return false;
        const auto index = static_cast<std::size_t>(command[4] - '0');
        if (index >= s->values.size()) s->values.resize(index + 1);
        s->values[index] = command.substr(6);
        return true;
    }
    if (command[4] != ' ') return false;
    std::string value = command.substr(5);
    if (s->name == "SRAL" || s->name == "OPTI") {
        if (value.compare(0, 7, "BRISKET") != 0) return false;
        value = value.substr(7);
    }
    s->values[s->name == "PUMP" ? 1 : 0] = value;
    return true;
}

void Analyzer::handle_text_line(const std::string& line) {
    if (line.empty()) return;
    if (line.size() == 5 && line.back() == '?') {
        std::string name = line.substr(0, 4);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        answer_query(name);
        return;
    }
    line_.log(apply_set(line) ? "SET" : "UNKNOWN", line);
    ++sets_received_;
    if (options_.vanish_after >= 0 && sets_received_ >= options_.vanish_after) {
        line_.log("VANISHED", "");
        vanished_ = true;
    }
}

void Analyzer::log_final_settings() const {
    for (const Setting& s : settings_) {
        std::string joined;
        for (std::size_t i = 0; i < s.values.size(); ++i) joined += (i ? "|" : "") + s.values[i];
        line_.log("FINAL", s.name + " " + joined);
    }
}

}  // namespace k210sim
