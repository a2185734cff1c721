// The analyzer's text interface: settings queries and set commands.
#include <cctype>
#include <string>
#include <vector>

#include "sim.h"

namespace {

struct Setting {
    std::string name;
    std::vector<std::string> values;
};

std::vector<Setting> g_settings;
int g_queries_answered = 0;
int g_sets_received = 0;

Setting* find_setting(const std::string& name) {
    for (Setting& s : g_settings)
        if (s.name == name) return &s;
    return nullptr;
}

std::vector<std::string> reply_lines(const Setting& s) {
    if (s.name == "CUST") return {s.values[0]};
    if (s.name == "PUMP") return {"PUMP:" + s.values[0] + ":" + s.values[1]};
    if (s.name == "LOGO" && g_options.long_reply) return {"LOGO:" + s.values[0] + std::string(300, '*')};
    if (s.name != "FACT" && s.name != "OFFS") return {s.name + ":" + s.values[0]};
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < s.values.size(); ++i)
        lines.push_back(s.name + std::to_string(i) + ":" + s.values[i]);
    return lines;
}

void answer_query(int fd, const std::string& name) {
    if (g_options.vanish_after_queries >= 0 && g_queries_answered >= g_options.vanish_after_queries) {
        log_line("VANISHED", name + "?");  // unplugged before it could answer
        g_stop = 2;
        return;
    }
    const bool answer = !g_options.silent && !(g_options.silent_after_first && g_queries_answered > 0);
    log_line(answer ? "QUERY" : "IGNORED", name + "?");
    Setting* s = find_setting(name);
    if (!answer || !s) return;
    ++g_queries_answered;
    sleep_ms(g_options.reply_delay_ms);
    const std::vector<std::string> lines = reply_lines(*s);
    std::string head, tail;
    for (std::size_t i = 0; i < lines.size(); ++i)
        ((g_options.split_ms > 0 && i > 0 && i + 1 == lines.size()) ? tail : head) += lines[i] + "\r";
    const double pace = g_options.slow ? TEXT_MS_PER_BYTE : 0;
    transmit(fd, head, pace);
    if (!tail.empty()) {
        sleep_ms(g_options.split_ms);
        transmit(fd, tail, pace);
    }
    log_line("REPLIED", name + "?");  // the reply's last byte is on its way
}

// "NAME value", "FACTn value", "SRAL BRISKETvalue", "PUMP value", "CUST text".
bool apply_set(const std::string& command) {
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

}  // namespace

void load_profile() {
    g_settings = {
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
void restore_factory_settings() {
    g_settings = {
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
    log_line("FACTORY-SETTINGS", "");
}

void handle_text_line(int fd, const std::string& line) {
    if (line.empty()) return;
    if (line.size() == 5 && line.back() == '?') {
        std::string name = line.substr(0, 4);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        answer_query(fd, name);
        return;
    }
    log_line(apply_set(line) ? "SET" : "UNKNOWN", line);
    ++g_sets_received;
    if (g_options.vanish_after >= 0 && g_sets_received >= g_options.vanish_after) {
        log_line("VANISHED", "");
        g_stop = 2;
    }
}

void log_final_settings() {
    for (const Setting& s : g_settings) {
        std::string joined;
        for (std::size_t i = 0; i < s.values.size(); ++i) joined += (i ? "|" : "") + s.values[i];
        log_line("FINAL", s.name + " " + joined);
    }
}
