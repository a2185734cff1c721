// k210sim: plays a K210 analyzer on a pseudo-terminal, for tests and demos.
//
// It links the terminal as COMn in a folder, answers the sixteen settings
// queries from a settings profile, applies the set commands it receives,
// and, when a byte 0x80 comes (the programming switches are on), answers as
// the microcontroller's bootstrap loader with a model of its flash. It logs
// queries, set commands and programming with timestamps (milliseconds on the
// monotonic clock since start). On SIGTERM or SIGINT it logs its final state
// ("FINAL NAME value", "PROGRAMMED ...") and removes the link.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "sim.h"

SimOptions g_options;
volatile int g_stop = 0;

namespace {

std::FILE* g_log = nullptr;
timespec g_start;

std::string printable(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
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

void add_ms(timespec& t, double ms) {
    long ns = t.tv_nsec + static_cast<long>(ms * 1e6);
    t.tv_sec += ns / 1000000000L;
    t.tv_nsec = ns % 1000000000L;
}

void sleep_until(const timespec& deadline) {
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

void write_all(int fd, const char* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        if (n <= 0) return;
        bytes += n;
        length -= static_cast<std::size_t>(n);
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
    SimOptions& o = g_options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        bool used_value = true;
        if (a == "--dir" && v) o.dir = v;
        else if (a == "--port" && v) o.port = std::atoi(v);
        else if (a == "--log" && v) o.log_path = v;
        else if (a == "--link" && v) o.link_path = v;
        else if (a == "--dump" && v) o.dump_path = v;
        else if (a == "--split" && v) o.split_ms = std::atoi(v);
        else if (a == "--reply-delay" && v) o.reply_delay_ms = std::atoi(v);
        else if (a == "--vanish-after" && v) o.vanish_after = std::atoi(v);
        else {
            used_value = false;
            if (a == "--silent") o.silent = true;
            else if (a == "--silent-after-first") o.silent_after_first = true;
            else if (a == "--slow") o.slow = true;
            else if (a == "--long") o.long_reply = true;
            else if (a == "--old-unit") o.old_unit = true;
            else if (a == "--loader-silent") o.loader_silent = true;
            else if (a == "--loader-no-write-check") o.loader_no_write_check = true;
            else if (a == "--loader-nak-once") o.loader_nak_once = true;
            else if (a == "--loader-corrupt-once") o.loader_corrupt_once = true;
            else return false;
        }
        if (used_value) ++i;
    }
    return o.port >= 1 && o.port <= 9;
}

void usage() {
    std::fprintf(stderr,
                 "usage: k210sim [--dir DIR] [--port N] [--link PATH] [--log FILE] [--dump FILE]\n"
                 "               [--old-unit] [--slow] [--silent] [--silent-after-first]\n"
                 "               [--split MS] [--long] [--reply-delay MS] [--vanish-after N]\n"
                 "               [--loader-silent] [--loader-no-write-check]\n"
                 "               [--loader-nak-once] [--loader-corrupt-once]\n");
}

void serve(int master) {
    std::string text;
    while (!g_stop) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[1024];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) continue;  // no program has the port open right now
        const double arrived = elapsed_ms();
        const std::string chunk(buf, static_cast<std::size_t>(n));
        if (text.empty() && loader_wants(static_cast<std::uint8_t>(chunk[0]))) {
            loader_take(master, chunk, arrived);
            continue;
        }
        text += chunk;
        std::size_t cr;
        while (!g_stop && (cr = text.find('\r')) != std::string::npos) {
            handle_text_line(master, text.substr(0, cr));
            text.erase(0, cr + 1);
        }
    }
}

}  // namespace

double elapsed_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - g_start.tv_sec) * 1000.0 +
           static_cast<double>(now.tv_nsec - g_start.tv_nsec) / 1e6;
}

void sleep_ms(double ms) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    add_ms(deadline, ms);
    sleep_until(deadline);
}

void log_line(const char* kind, const std::string& text) {
    if (!g_log) return;
    std::fprintf(g_log, "%.3f %s %s\n", elapsed_ms(), kind, printable(text).c_str());
    std::fflush(g_log);
}

// Sends bytes at once, or one per character time as a real line would.
void transmit(int fd, const std::string& bytes, double ms_per_byte) {
    if (ms_per_byte <= 0) {
        write_all(fd, bytes.data(), bytes.size());
        return;
    }
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        write_all(fd, &bytes[i], 1);
        if (i + 1 == bytes.size()) break;  // the last byte is out: no wait behind it
        add_ms(next, ms_per_byte);
        sleep_until(next);
    }
}

int main(int argc, char** argv) {
    if (!parse_options(argc, argv)) {
        usage();
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    load_profile();
    loader_init();
    if (!g_options.log_path.empty()) g_log = std::fopen(g_options.log_path.c_str(), "a");
    std::string slave_path;
    int slave_fd = -1;
    const int master = make_terminal(slave_path, slave_fd);
    if (master < 0) {
        std::perror("k210sim: pseudo-terminal");
        return 1;
    }
    const std::string link_path = !g_options.link_path.empty()
                                      ? g_options.link_path
                                      : g_options.dir + "/COM" + std::to_string(g_options.port);
    unlink(link_path.c_str());
    if (symlink(slave_path.c_str(), link_path.c_str()) != 0) {
        std::perror("k210sim: link");
        return 1;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    // The start time lets a reader turn log times into monotonic clock times.
    std::printf("ready %s %.3f\n", slave_path.c_str(),
                static_cast<double>(g_start.tv_sec) * 1000.0 + static_cast<double>(g_start.tv_nsec) / 1e6);
    std::fflush(stdout);
    serve(master);
    log_final_settings();
    loader_report();
    unlink(link_path.c_str());
    close(slave_fd);
    close(master);
    return 0;
}
