// k210sim: plays a K210 analyzer on a pseudo-terminal, for tests and demos.
//
// It links the terminal as COMn in a folder, answers the sixteen settings
// queries from a settings profile, applies the set commands it receives,
// and, when a byte 0x80 comes (the programming switches are on), answers as
// the microcontroller's bootstrap loader with a model of its flash. A
// pseudo-terminal has no modem lines; with --lines, the host's DTR and RTS
// come through a FIFO instead, and so does
// its request for low latency to a USB adapter's driver (--usb-latency models one), and only they start the loader. It
// logs queries, set commands and programming with timestamps (milliseconds on the monotonic clock since start). On
// SIGTERM or SIGINT it logs its final state ("FINAL NAME value", "PROGRAMMED ...") and removes the link.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim.h"

namespace {

using k210sim::Analyzer;
using k210sim::Line;
using k210sim::Loader;
using k210sim::SimOptions;

// Set by SIGTERM or SIGINT; a signal handler can reach nothing else.
volatile std::sig_atomic_t g_stop = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void on_signal(int) { g_stop = 1; }

// Options that take a value, and what each sets.
struct ValueOption {
    const char* name;
    void (*set)(SimOptions& o, const char* value);
};
const ValueOption VALUE_OPTIONS[] = {
    {"--dir", [](SimOptions& o, const char* v) { o.dir = v; }},
    {"--port", [](SimOptions& o, const char* v) { o.port = std::atoi(v); }},
    {"--log", [](SimOptions& o, const char* v) { o.log_path = v; }},
    {"--link", [](SimOptions& o, const char* v) { o.link_path = v; }},
    {"--dump", [](SimOptions& o, const char* v) { o.dump_path = v; }},
    {"--lines", [](SimOptions& o, const char* v) { o.lines_path = v; }},
    {"--split", [](SimOptions& o, const char* v) { o.split_ms = std::atoi(v); }},
    {"--ignore", [](SimOptions& o, const char* v) { o.ignored = v; }},
    {"--logo-length", [](SimOptions& o, const char* v) { o.logo_length = std::atoi(v); }},
    {"--reply-delay", [](SimOptions& o, const char* v) { o.reply_delay_ms = std::atoi(v); }},
    {"--vanish-after", [](SimOptions& o, const char* v) { o.vanish_after = std::atoi(v); }},
    {"--vanish-after-queries", [](SimOptions& o, const char* v) { o.vanish_after_queries = std::atoi(v); }},
    {"--chip", [](SimOptions& o, const char* v) { o.chip = v; }},
    {"--loader-version", [](SimOptions& o, const char* v) { o.version = v; }},
    {"--pins", [](SimOptions& o, const char* v) { o.pins = v; }},
    {"--erase-ms", [](SimOptions& o, const char* v) { o.erase_ms = std::atof(v); }},
    {"--erase-needs-ms", [](SimOptions& o, const char* v) { o.erase_needs_ms = std::atof(v); }},
    {"--loader-stop-after-blocks", [](SimOptions& o, const char* v) { o.stop_after_blocks = std::atoi(v); }},
    {"--bad-cell", [](SimOptions& o, const char* v) { o.bad_cell = std::strtol(v, nullptr, 16); }},
    {"--adapter-latency", [](SimOptions& o, const char* v) { o.adapter_latency_ms = std::atof(v); }},
    {"--usb-latency", [](SimOptions& o, const char* v) { o.usb_latency_ms = std::atof(v); }},
    {"--baud-refuse-at", [](SimOptions& o, const char* v) { o.baud_refuse_at = static_cast<unsigned>(std::atoi(v)); }},
};

// Options that switch something on.
struct FlagOption {
    const char* name;
    bool SimOptions::*flag;
};
const FlagOption FLAG_OPTIONS[] = {
    {"--silent", &SimOptions::silent},
    {"--slow", &SimOptions::slow},
    {"--old-unit", &SimOptions::old_unit},
    {"--loader-silent", &SimOptions::loader_silent},
    {"--loader-no-write-check", &SimOptions::loader_no_write_check},
    {"--loader-nak-once", &SimOptions::loader_nak_once},
    {"--loader-corrupt-once", &SimOptions::loader_corrupt_once},
    {"--loader-bad-sync-once", &SimOptions::loader_bad_sync_once},
    {"--baud-refuse", &SimOptions::baud_refuse},
    {"--baud-silent", &SimOptions::baud_silent},
};

// Takes argument `i` (and its value, moving `i` on); false when it is unknown or lacks its value.
bool take_option(int argc, char** argv, int& i, SimOptions& o) {
    const std::string a = argv[i];
    for (const FlagOption& f : FLAG_OPTIONS)
        if (a == f.name) {
            o.*f.flag = true;
            return true;
        }
    for (const ValueOption& v : VALUE_OPTIONS)
        if (a == v.name && i + 1 < argc) {
            v.set(o, argv[++i]);
            return true;
        }
    return false;
}

bool parse_options(int argc, char** argv, SimOptions& o) {
    for (int i = 1; i < argc; ++i)
        if (!take_option(argc, argv, i, o)) return false;
    return o.port >= 1 && o.port <= 9 && (o.pins == "test" || o.pins == "tck") && o.chip.size() == 4 &&
           o.chip[0] == 'F';
}

void usage() {
    std::fprintf(stderr,
                 "usage: k210sim [--dir DIR] [--port N] [--link PATH] [--log FILE] [--dump FILE]\n"
                 "               [--lines FIFO] [--old-unit] [--slow] [--silent] [--ignore NAME,...]\n"
                 "               [--split MS] [--logo-length N] [--reply-delay MS] [--vanish-after N]\n"
                 "               [--vanish-after-queries N] [--chip F149] [--loader-version 1.61]\n"
                 "               [--pins test|tck] [--erase-ms MS] [--erase-needs-ms MS]\n"
                 "               [--loader-silent] [--loader-no-write-check] [--loader-nak-once]\n"
                 "               [--loader-corrupt-once] [--loader-bad-sync-once]\n"
                 "               [--loader-stop-after-blocks N] [--bad-cell HEXADDR] [--adapter-latency MS]\n"
                 "               [--baud-refuse] [--baud-refuse-at BAUD] [--baud-silent] [--usb-latency MS]\n");
}

// The host's modem lines, one event a line: "DTR 1 RTS 0".
int open_lines(const std::string& path) {
    if (path.empty()) return -1;
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0600) != 0) return -1;
    return open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);  // holding both ends: no end of file
}

void take_line_events(int lines, std::string& pending, Loader& loader, std::string& text) {
    char buf[256];
    const ssize_t n = read(lines, buf, sizeof buf);
    if (n <= 0) return;
    pending.append(buf, static_cast<std::size_t>(n));
    std::size_t nl = 0;
    while ((nl = pending.find('\n')) != std::string::npos) {
        int dtr = 0;
        int rts = 0;
        int low = 0;
        const std::string event = pending.substr(0, nl);
        if (std::sscanf(event.c_str(), "DTR %d RTS %d", &dtr, &rts) == 2) {
            if (!dtr) text.clear();  // a reset clears whatever the chip was receiving
            loader.modem_lines(dtr != 0, rts != 0);
        } else if (std::sscanf(event.c_str(), "LATENCY %d", &low) == 1) {
            loader.host_latency(low != 0);
        }
        pending.erase(0, nl + 1);
    }
}

void serve(Line& line, Analyzer& analyzer, Loader& loader, int lines) {
    std::string text;
    std::string events;
    while (!g_stop && !analyzer.vanished()) {
        pollfd p[2] = {{line.master(), POLLIN, 0}, {lines, POLLIN, 0}};
        if (poll(p, lines >= 0 ? 2 : 1, 100) <= 0) continue;
        if (lines >= 0 && (p[1].revents & POLLIN)) take_line_events(lines, events, loader, text);
        if (!(p[0].revents & POLLIN)) continue;
        char buf[1024];
        const ssize_t n = read(line.master(), buf, sizeof buf);
        if (n <= 0) continue;  // no program has the port open right now
        const double arrived = line.elapsed_ms();
        const std::string chunk(buf, static_cast<std::size_t>(n));
        if (text.empty() && loader.wants(static_cast<std::uint8_t>(chunk[0]))) {
            loader.take(chunk, arrived);
            continue;
        }
        text += chunk;
        std::size_t cr = 0;
        while (!g_stop && !analyzer.vanished() && (cr = text.find('\r')) != std::string::npos) {
            analyzer.handle_text_line(text.substr(0, cr));
            text.erase(0, cr + 1);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    if (!parse_options(argc, argv, options)) {
        usage();
        return 2;
    }
    std::FILE* log = options.log_path.empty() ? nullptr : std::fopen(options.log_path.c_str(), "a");
    Line line(log);
    Analyzer analyzer(line, options);
    Loader loader(line, options, analyzer);
    std::string slave_path;
    if (!line.open(slave_path)) {
        std::perror("k210sim: pseudo-terminal");
        return 1;
    }
    const std::string link_path =
        !options.link_path.empty() ? options.link_path : options.dir + "/COM" + std::to_string(options.port);
    unlink(link_path.c_str());
    if (symlink(slave_path.c_str(), link_path.c_str()) != 0) {
        std::perror("k210sim: link");
        return 1;
    }
    const int lines = open_lines(options.lines_path);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    // The start time lets a reader turn log times into monotonic clock times.
    std::printf("ready %s %.3f\n", slave_path.c_str(), line.start_ms());
    std::fflush(stdout);
    serve(line, analyzer, loader, lines);
    analyzer.log_final_settings();
    loader.report();
    unlink(link_path.c_str());
    if (lines >= 0) {
        close(lines);
        unlink(options.lines_path.c_str());
    }
    line.close();
    if (log) std::fclose(log);
    return 0;
}
