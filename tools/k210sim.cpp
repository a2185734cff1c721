// k210sim: plays a K210 analyzer on a pseudo-terminal, for tests and demos.
//
// It links the terminal as COMn in a folder, answers the sixteen settings
// queries from a settings profile, applies the set commands it receives, and
// logs every query and set command with a timestamp (milliseconds on the
// monotonic clock since start). On SIGTERM or SIGINT it logs its final
// settings ("FINAL NAME value") and removes the link.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string dir = ".";
    int port = 3;
    std::string log_path;
    bool silent = false;
    bool silent_after_first = false;
    bool slow = false;            // bytes paced at 9600 baud, 8N1
    int split_ms = 0;             // the last line of multi-line replies comes this late
    bool long_reply = false;      // the first reply is longer than 256 bytes
    int reply_delay_ms = 20;      // the analyzer's time to start answering
    int vanish_after = -1;        // disappear after this many set commands
};

struct Setting {
    std::string name;
    std::vector<std::string> values;
};

Options g_options;
std::vector<Setting> g_settings;
std::FILE* g_log = nullptr;
std::string g_link_path;
timespec g_start;
volatile std::sig_atomic_t g_stop = 0;
int g_queries_answered = 0;
int g_sets_received = 0;

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

Setting* find_setting(const std::string& name) {
    for (Setting& s : g_settings)
        if (s.name == name) return &s;
    return nullptr;
}

double elapsed_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - g_start.tv_sec) * 1000.0 +
           static_cast<double>(now.tv_nsec - g_start.tv_nsec) / 1e6;
}

std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

void log_line(const char* kind, const std::string& text) {
    if (!g_log) return;
    std::fprintf(g_log, "%.3f %s %s\n", elapsed_ms(), kind, printable(text).c_str());
    std::fflush(g_log);
}

void sleep_until(timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void add_ms(timespec& t, double ms) {
    long ns = t.tv_nsec + static_cast<long>(ms * 1e6);
    t.tv_sec += ns / 1000000000L;
    t.tv_nsec = ns % 1000000000L;
}

void write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) return;
        bytes += n;
        length -= static_cast<std::size_t>(n);
    }
}

// Sends text as a line would carry it: at once, or one byte per character time.
void transmit(int fd, const std::string& text) {
    if (!g_options.slow) {
        write_all(fd, text.data(), text.size());
        return;
    }
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (char c : text) {
        write_all(fd, &c, 1);
        add_ms(next, 10.0 / 9.6);  // ten bits per byte at 9600 baud
        sleep_until(next);
    }
}

std::vector<std::string> reply_lines(const Setting& s) {
    std::vector<std::string> lines;
    if (s.name == "CUST") {
        lines.push_back(s.values[0]);
    } else if (s.name == "FACT" || s.name == "OFFS") {
        for (std::size_t i = 0; i < s.values.size(); ++i)
            lines.push_back(s.name + std::to_string(i) + ":" + s.values[i]);
    } else if (s.name == "PUMP") {
        lines.push_back("PUMP:" + s.values[0] + ":" + s.values[1]);
    } else if (s.name == "LOGO" && g_options.long_reply) {
        lines.push_back("LOGO:" + s.values[0] + std::string(300, '*'));
    } else {
        lines.push_back(s.name + ":" + s.values[0]);
    }
    return lines;
}

void answer_query(int fd, const std::string& name) {
    const bool answer = !g_options.silent && !(g_options.silent_after_first && g_queries_answered > 0);
    log_line(answer ? "QUERY" : "IGNORED", name + "?");
    Setting* s = find_setting(name);
    if (!answer || !s) return;
    ++g_queries_answered;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    add_ms(start, g_options.reply_delay_ms);
    sleep_until(start);
    std::vector<std::string> lines = reply_lines(*s);
    std::string head, tail;
    for (std::size_t i = 0; i < lines.size(); ++i)
        ((g_options.split_ms > 0 && i + 1 == lines.size() && i > 0) ? tail : head) += lines[i] + "\r";
    transmit(fd, head);
    if (!tail.empty()) {
        timespec later;
        clock_gettime(CLOCK_MONOTONIC, &later);
        add_ms(later, g_options.split_ms);
        sleep_until(later);
        transmit(fd, tail);
    }
}

// "NAME value", "FACTn value", "SRAL BRISKETvalue", "PUMP value", "CUST text".
bool apply_set(const std::string& command) {
    if (command.size() < 5) return false;
    Setting* s = find_setting(command.substr(0, 4));
    if (!s) return false;
    if (s->name == "FACT" || s->name == "OFFS") {
        if (command.size() < 6 || command[5] != ' ' || command[4] < '0') return false;
        std::size_t index = static_cast<std::size_t>(command[4] - '0');
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

void handle_line(int fd, const std::string& line) {
    if (line.empty()) return;
    if (line.back() == '?' && line.size() == 5) {
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

void on_signal(int) { g_stop = 1; }

int make_terminal(std::string& slave_path, int& slave_fd) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    slave_path = ptsname(master);
    // Holding the other side open keeps the terminal alive while the program
    // under test closes and reopens it.
    slave_fd = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd < 0) return -1;
    termios t;
    tcgetattr(slave_fd, &t);
    cfmakeraw(&t);
    tcsetattr(slave_fd, TCSANOW, &t);
    return master;
}

bool parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&](void) -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--dir" && (v = next())) g_options.dir = v;
        else if (a == "--port" && (v = next())) g_options.port = std::atoi(v);
        else if (a == "--log" && (v = next())) g_options.log_path = v;
        else if (a == "--split" && (v = next())) g_options.split_ms = std::atoi(v);
        else if (a == "--reply-delay" && (v = next())) g_options.reply_delay_ms = std::atoi(v);
        else if (a == "--vanish-after" && (v = next())) g_options.vanish_after = std::atoi(v);
        else if (a == "--silent") g_options.silent = true;
        else if (a == "--silent-after-first") g_options.silent_after_first = true;
        else if (a == "--slow") g_options.slow = true;
        else if (a == "--long") g_options.long_reply = true;
        else return false;
    }
    return g_options.port >= 1 && g_options.port <= 9;
}

void usage() {
    std::fprintf(stderr,
                 "usage: k210sim [--dir DIR] [--port N] [--log FILE] [--silent]\n"
                 "               [--silent-after-first] [--slow] [--split MS] [--long]\n"
                 "               [--reply-delay MS] [--vanish-after N]\n");
}

void serve(int master) {
    std::string pending;
    while (!g_stop) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[512];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) continue;  // no program has the port open right now
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t cr;
        while (!g_stop && (cr = pending.find('\r')) != std::string::npos) {
            handle_line(master, pending.substr(0, cr));
            pending.erase(0, cr + 1);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (!parse_options(argc, argv)) {
        usage();
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    load_profile();
    if (!g_options.log_path.empty()) g_log = std::fopen(g_options.log_path.c_str(), "a");
    std::string slave_path;
    int slave_fd = -1;
    int master = make_terminal(slave_path, slave_fd);
    if (master < 0) {
        std::perror("k210sim: pseudo-terminal");
        return 1;
    }
    g_link_path = g_options.dir + "/COM" + std::to_string(g_options.port);
    unlink(g_link_path.c_str());
    if (symlink(slave_path.c_str(), g_link_path.c_str()) != 0) {
        std::perror("k210sim: link");
        return 1;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::printf("ready %s\n", slave_path.c_str());
    std::fflush(stdout);
    serve(master);
    log_final_settings();
    unlink(g_link_path.c_str());
    close(slave_fd);
    close(master);
    return 0;
}
