// k210sim: plays a K210 analyzer on a pseudo-terminal, for tests and demos.
//
// It links the terminal as COMn in a folder, answers the sixteen settings
// queries from a settings profile, applies the set commands it receives,
// and, when a byte 0x80 comes (the programming switches are on), answers as
// the microcontroller's bootstrap loader with a model of its flash. A
// pseudo-terminal has no modem lines; with --lines, the host's DTR and RTS
// come through a FIFO instead, and so does its request for low latency to a
// USB adapter's driver (--usb-latency models one), and only they start the
// loader. It logs queries, set commands and programming with timestamps
// (milliseconds on the monotonic clock since start).
//
// SIGUSR1 asks it to take everything the host has sent so far: once the
// terminal and the FIFO have both been quiet for a moment it logs "SYNC n"
// (n: the signals so far) and prints "sync n" on standard output, so a
// reader of the log knows it holds all that. On SIGTERM or SIGINT it takes
// what is still pending the same way, then logs its final state ("FINAL NAME
// value", "PROGRAMMED ...") and removes the link.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Set by the signals; a signal handler can reach nothing else. The signals
// are blocked except while the simulator waits for input, so that none comes
// between a look at these and the wait.
volatile std::sig_atomic_t g_stop = 0;           // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
volatile std::sig_atomic_t g_sync_requests = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)
volatile std::sig_atomic_t g_switches_off = 0;   // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void on_stop(int) { g_stop = 1; }
void on_sync(int) { g_sync_requests = g_sync_requests + 1; }
void on_switches_off(int) { g_switches_off = 1; }

// A pseudo-terminal passes the bytes written on one side to the other
// through a kernel work queue, not at once: only a quiet moment on both
// inputs says that everything sent before it has arrived. A host that goes
// on sending cannot hold the simulator longer than the limit.
constexpr double QUIET_MS = 10;
constexpr double SETTLE_LIMIT_MS = 3000;

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
    {"--silent-queries", [](SimOptions& o, const char* v) { o.silent_queries = std::atoi(v); }},
    {"--silent-after-queries", [](SimOptions& o, const char* v) { o.silent_after_queries = std::atoi(v); }},
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
    {"--switches-left-on", &SimOptions::switches_left_on},
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
                 "               [--lines FIFO] [--old-unit] [--slow] [--silent] [--silent-queries N]\n"
                 "               [--silent-after-queries N] [--switches-left-on] [--ignore NAME,...]\n"
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

// The host's bytes and line events, taken as they come.
class Server {
  public:
    Server(Line& line, Analyzer& analyzer, Loader& loader, int lines)
        : line_(line), analyzer_(analyzer), loader_(loader), lines_(lines) {}
    // Serves until a stop signal or until the analyzer vanishes, answering
    // each sync request; on a stop, takes what is still pending first.
    void run();

  private:
    bool take_what_comes(double wait_ms, const sigset_t& waiting_mask);
    void take_line_events();
    void take_bytes();
    void settle(const sigset_t& waiting_mask);

    Line& line_;
    Analyzer& analyzer_;
    Loader& loader_;
    int lines_;
    std::string text_;    // analyzer text not yet ended by its CR
    std::string events_;  // a line event not yet ended by its LF
    int syncs_answered_ = 0;
};

void Server::take_line_events() {
    char buf[256];
    const ssize_t n = read(lines_, buf, sizeof buf);
    if (n <= 0) return;
    events_.append(buf, static_cast<std::size_t>(n));
    std::size_t nl = 0;
    while ((nl = events_.find('\n')) != std::string::npos) {
        int dtr = 0;
        int rts = 0;
        int low = 0;
        const std::string event = events_.substr(0, nl);
        if (std::sscanf(event.c_str(), "DTR %d RTS %d", &dtr, &rts) == 2) {
            if (!dtr) text_.clear();  // a reset clears whatever the chip was receiving
            loader_.modem_lines(dtr != 0, rts != 0);
        } else if (std::sscanf(event.c_str(), "LATENCY %d", &low) == 1) {
            loader_.host_latency(low != 0);
        }
        events_.erase(0, nl + 1);
    }
}

void Server::take_bytes() {
    char buf[1024];
    const ssize_t n = read(line_.master(), buf, sizeof buf);
    if (n <= 0) return;  // no program has the port open right now
    const double arrived = line_.elapsed_ms();
    const std::string chunk(buf, static_cast<std::size_t>(n));
    if (text_.empty() && loader_.wants(static_cast<std::uint8_t>(chunk[0]))) {
        loader_.take(chunk, arrived);
        return;
    }
    text_ += chunk;
    std::size_t cr = 0;
    while (!analyzer_.vanished() && (cr = text_.find('\r')) != std::string::npos) {
        analyzer_.handle_text_line(text_.substr(0, cr));
        text_.erase(0, cr + 1);
    }
}

// Waits up to `wait_ms` for the terminal or the FIFO, with the signals let
// through only meanwhile; true when something came and was taken.
bool Server::take_what_comes(double wait_ms, const sigset_t& waiting_mask) {
    pollfd p[2] = {{line_.master(), POLLIN, 0}, {lines_, POLLIN, 0}};
    const auto ns = static_cast<long>(wait_ms * 1e6);
    const timespec wait{ns / 1000000000L, ns % 1000000000L};
    if (ppoll(p, lines_ >= 0 ? 2 : 1, &wait, &waiting_mask) <= 0) return false;
    const bool events = lines_ >= 0 && (p[1].revents & POLLIN) != 0;
    const bool bytes = (p[0].revents & POLLIN) != 0;
    if (events) take_line_events();  // the lines first: they were set before the bytes that follow them
    if (bytes) take_bytes();
    return events || bytes;
}

// Takes everything pending until both inputs have been quiet for QUIET_MS,
// or the limit has passed.
void Server::settle(const sigset_t& waiting_mask) {
    const double limit = line_.elapsed_ms() + SETTLE_LIMIT_MS;
    double quiet_since = line_.elapsed_ms();
    while (!analyzer_.vanished()) {
        const double now = line_.elapsed_ms();
        const double wait = std::min(quiet_since + QUIET_MS, limit) - now;
        if (wait <= 0) return;
        if (take_what_comes(wait, waiting_mask)) quiet_since = line_.elapsed_ms();
    }
}

void Server::run() {
    sigset_t waiting_mask;
    sigprocmask(SIG_SETMASK, nullptr, &waiting_mask);
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&held, sig);
    sigprocmask(SIG_BLOCK, &held, nullptr);
    for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigdelset(&waiting_mask, s);
    bool switched_off = false;
    while (!g_stop && !analyzer_.vanished()) {
        if (g_switches_off && !switched_off) {  // before a sync asked for after it
            loader_.switches_turned_off();
            switched_off = true;
        }
        const int requested = g_sync_requests;
        if (requested != syncs_answered_) {
            settle(waiting_mask);
            syncs_answered_ = requested;
            line_.log("SYNC", std::to_string(requested));
            std::printf("sync %d\n", requested);
            std::fflush(stdout);
            continue;
        }
        (void)take_what_comes(1000, waiting_mask);  // wakes for a signal at once
    }
    if (g_stop) settle(waiting_mask);
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
    std::signal(SIGTERM, on_stop);
    std::signal(SIGINT, on_stop);
    std::signal(SIGUSR1, on_sync);
    std::signal(SIGUSR2, on_switches_off);
    // The start time lets a reader turn log times into monotonic clock times.
    std::printf("ready %s %.3f\n", slave_path.c_str(), line.start_ms());
    std::fflush(stdout);
    Server(line, analyzer, loader, lines).run();
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
