// k210bench: measures the timing rules of the analyzer link, the restore
// pause, a whole old-unit run and the programmer against k210sim, and prints
// a Markdown table of median, minimum and maximum beside each floor. Given a
// Windows build, its BSL.EXE is measured too, under Wine.
//
//   k210bench [--quick] [--windows BUILD]
//     --quick: fewer repetitions, no 32 KiB programming
//     --windows: the Windows build whose BSL.EXE runs under Wine (WINEPREFIX set)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bsl/ti_txt.h"
#include "harness.h"
#include "serial_link/serial_link.h"
#include "settings/restore.h"

using namespace k210;
using namespace k210::bsl;
using namespace k210::harness;

namespace {

using Clock = std::chrono::steady_clock;

struct Row {
    std::string what;
    std::vector<double> samples;  // milliseconds, or percent for the CPU row
    double floor;
    std::string unit = "ms";
};

constexpr const char* TURNAROUND = "turnaround";  // samples: shortest, median, longest

struct LoaderFloor;

// The measurements, taken in full or (quick) fewer of each and without the programmer's.
class Bench {
  public:
    Bench(bool quick, std::string windows) : quick_(quick), windows_(std::move(windows)) {}
    void run();

  private:
    void empty_reads();
    void reply_ends(const char* what, const std::vector<std::string>& options, const char* query);
    void restore_pauses();
    void whole_runs();
    void programmer_32k();
    void windows_programmer_32k(const std::string& dir, const LoaderFloor& floor);
    void print_table() const;

    std::vector<Row> rows_;
    bool quick_;
    std::string windows_;  // the Windows build, or empty
};
const PortName COM3 = *PortName::from_text("COM3");

double now_ms() { return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs `work` in `dir` as the working folder, with the program's console output dropped.
template <typename Work>
void quietly_in(const std::string& dir, Work work) {
    const WorkingFolder here(dir);
    std::fflush(stdout);
    const int saved = dup(1);
    std::FILE* null = std::fopen("/dev/null", "w");
    dup2(fileno(null), 1);
    work();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::fclose(null);
}

void Bench::empty_reads() {
    TempDir dir;
    Simulator sim(dir.path, 3, {"--silent"});
    Row row{"empty read of 256 bytes (silent analyzer)", {}, 3560};
    quietly_in(dir.path, [&] {
        // The calls are timed here; their results are the tests' business.
        AnalyzerLink link;
        if (link.open_port(COM3) != OpenStatus::ok) return;
        char reply[REPLY_LIMIT + 1];
        for (int i = 0; i < (quick_ ? 2 : 5); ++i) {
            (void)link.send_command("VERS?\r", 6);
            const double start = now_ms();
            (void)link.read_reply(reply, REPLY_LIMIT);
            row.samples.push_back(now_ms() - start);
        }
    });
    rows_.push_back(row);
}

// Time from the reply's last byte to the end of the read.
void Bench::reply_ends(const char* what, const std::vector<std::string>& options, const char* query) {
    TempDir dir;
    Simulator sim(dir.path, 3, options);
    Row row{what, {}, 250};
    std::vector<double> returned;
    const int count = quick_ ? 4 : 15;
    quietly_in(dir.path, [&] {
        AnalyzerLink link;
        if (link.open_port(COM3) != OpenStatus::ok) return;
        char reply[REPLY_LIMIT + 1];
        for (int i = 0; i < count; ++i) {
            (void)link.send_command(query, std::strlen(query));
            (void)link.read_reply(reply, REPLY_LIMIT);
            returned.push_back(now_ms());
        }
    });
    sim.stop();
    const std::vector<double> last_bytes = sim.log_times("REPLIED");
    for (std::size_t i = 0; i < returned.size() && i < last_bytes.size(); ++i)
        row.samples.push_back(returned[i] - (sim.start_ms + last_bytes[i]));
    rows_.push_back(row);
}

void Bench::restore_pauses() {
    TempDir dir;
    Simulator sim(dir.path, 3);
    const int lines = quick_ ? 6 : 20;
    std::string sending = "FACT?\r\n";
    std::string silent = "VERS?\r\n";
    for (int i = 0; i < lines; ++i) {
        sending += "F:" + std::to_string(i) + "\r\n";
        silent += "V:" + std::to_string(i) + "\r\n";
    }
    Row between_sets{"restore: between two set commands", {}, 500};
    Row per_silent_line{"restore: per line that sends nothing", {}, 500};
    quietly_in(dir.path, [&] {
        AnalyzerLink link;
        FileSystem files;
        SettingsStore store(files);
        if (link.open_port(COM3) != OpenStatus::ok) return;
        write_file("SETTINGS.TXT", sending);
        (void)restore_settings(link, store);
        write_file("SETTINGS.TXT", silent);
        const double start = now_ms();
        (void)restore_settings(link, store);
        per_silent_line.samples.push_back((now_ms() - start) / (lines + 1));
    });
    sim.stop();
    const std::vector<double> sets = sim.log_times("SET");
    for (std::size_t i = 1; i < sets.size(); ++i) between_sets.samples.push_back(sets[i] - sets[i - 1]);
    rows_.push_back(between_sets);
    rows_.push_back(per_silent_line);
}

void Bench::whole_runs() {
    Row wall{"old-unit run, whole (stand-in programmer)", {}, 0};
    Row cpu{"old-unit run, CPU of k210prog (% of wall)", {}, 0, "%"};
    for (int run = 0; run < (quick_ ? 1 : 3); ++run) {
        TempDir dir;
        Simulator sim(dir.path, 3);
        const std::string input = dir.file(".in");
        write_file(input, "3\ny\nn\nn\nc\nc\n");
        const double start = now_ms();
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir.path.c_str()) != 0) _exit(127);
            std::freopen(input.c_str(), "r", stdin);
            std::freopen("/dev/null", "w", stdout);
            std::freopen("/dev/null", "w", stderr);
            const std::string path = std::string(STANDIN_DIR) + ":" + std::getenv("PATH");
            setenv("PATH", path.c_str(), 1);
            execl(K210PROG_PATH, K210PROG_PATH, static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const double elapsed = now_ms() - start;
        sim.stop();
        const std::vector<double> asked = sim.log_times("QUERY");
        const std::vector<double> replied = sim.log_times("REPLIED");
        double floor = 16 * 250.0;
        for (std::size_t i = 0; i < asked.size() && i < replied.size(); ++i) floor += replied[i] - asked[i];
        const std::string file = read_file(dir.file("SETTINGS.TXT"));
        floor += 500.0 * static_cast<double>(std::count(file.begin(), file.end(), '\n'));
        wall.floor = floor;
        wall.samples.push_back(elapsed);
        const double cpu_ms = (static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
                               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0);
        cpu.samples.push_back(100.0 * cpu_ms / elapsed);
    }
    rows_.push_back(wall);
    rows_.push_back(cpu);
}

// One programming session at the simulated line rate, at most `baud`, with
// the modem lines that start the loader; returns its wall time.
double programmer_run(const std::string& dir, const char* letters, unsigned baud, const AdapterOptions& adapter = {}) {
    ProgrammerRequest request;
    for (const char* c = letters; *c; ++c) {
        request.erase = request.erase || *c == 'm';
        request.program = request.program || *c == 'p';
        request.verify = request.verify || *c == 'v';
    }
    request.max_baud = baud;
    request.port_name = "COM3";
    request.image_path = "IMAGE.TXT";
    SessionResult r;
    quietly_in(dir, [&] { r = run_session_with_lines(dir + "/lines", request, adapter); });
    if (r.status != 0 || r.out.find("speed: " + std::to_string(baud)) == std::string::npos)
        std::fprintf(stderr, "BSL.EXE %s at %u baud failed or ran at another speed:\n%s\n", letters, baud,
                     r.out.c_str());
    return 1000 * r.seconds;
}

// The least time a run can take: its bytes on the wire, and the loader's
// own time, which no host can shorten. Each exchange is a sync and its ACK,
// then a frame and its reply, with the loader's turnaround of 1.2 ms after
// each of its replies; entering the loader takes 550 ms of pin sequence;
// the simulated loader takes 0.5 ms on a command, 35 ms an erase (the older
// flash needs 200 ms of erase in all, so 6 of them), and its flash 0.042 ms
// a byte to program (10 ms a block of 240). The erase, the password and the
// identification go at 9600 baud, then the speed change, with 10 ms for the
// loader's clock to settle.
struct LoaderFloor {
    std::vector<std::size_t> blocks;  // the image's write blocks, in bytes
    static constexpr double ENTRY_MS = 250 + 4 * 10 + 10 + 250;
    static constexpr double TURNAROUND_MS = 1.2;
    static constexpr double COMMAND_MS = 0.5;
    static constexpr double ERASE_MS = 35;
    static constexpr int ERASES = 6;
    static constexpr double WRITE_MS_PER_BYTE = 0.042;
    static constexpr double SETTLING_MS = 10;

    static double wire(double bytes, unsigned baud) { return bytes * 11000.0 / baud; }
    // A sync and a frame of `frame` bytes whose reply is `reply` bytes, the loader taking `work_ms`.
    static double exchange(double frame, double reply, double work_ms, unsigned baud) {
        return wire(2 + frame + reply, baud) + 2 * TURNAROUND_MS + work_ms;
    }
    static double before_the_passes(bool erase, unsigned baud) {
        double ms = ENTRY_MS;
        if (erase) ms += ERASES * exchange(10, 1, ERASE_MS, 9600);
        ms += exchange(10 + 32, 1, COMMAND_MS, 9600) + exchange(10, 16 + 6, COMMAND_MS, 9600);
        if (baud != 9600) ms += exchange(10, 1, COMMAND_MS, 9600) + SETTLING_MS;
        return ms;
    }
    double program(unsigned baud) const {
        double ms = before_the_passes(true, baud);
        for (std::size_t n : blocks)
            ms += exchange(10 + static_cast<double>(n), 1, WRITE_MS_PER_BYTE * static_cast<double>(n), baud);
        return ms;
    }
    double verify(unsigned baud) const {
        double ms = before_the_passes(false, baud);
        for (std::size_t n : blocks) ms += exchange(10, static_cast<double>(n) + 6, COMMAND_MS, baud);
        return ms;
    }
};

// The TURNAROUND line of a simulator that has ended: shortest, median and
// longest, as a row's samples; none when there is none.
std::vector<double> turnarounds_of(Simulator& sim) {
    const std::vector<std::string> lines = sim.log_lines("TURNAROUND");
    double shortest = 0;
    double median = 0;
    double longest = 0;
    if (lines.empty() ||
        std::sscanf(lines.back().c_str(), "%*d shortest %lf median %lf longest %lf", &shortest, &median, &longest) != 3)
        return {};
    return {shortest, median, longest};
}

// 32 KiB erased and programmed, then verified, at each rate against the
// least time the loader allows, with the turnaround after the loader's
// replies at 38400; then at 38400 through a USB adapter whose latency timer
// ticks every 16 ms: left so (a system where BSL.EXE cannot ask for low
// latency, as on Windows), and with the low latency that BSL.EXE asks for
// (1 ms ticks, as on Linux), against the bare line. Last, the Windows
// BSL.EXE under Wine, when there is a Windows build.
void Bench::programmer_32k() {
    TempDir dir;
    Bytes code;
    for (std::size_t i = 0; i < 32768 - 32; ++i) code.push_back(static_cast<std::uint8_t>(i * 29 + 3));
    FlashImage image;
    if (image.place(0x1100, code) != Placed::ok || image.place(0xFFE0, Bytes(32, 0xA5)) != Placed::ok) return;
    write_file(dir.file("IMAGE.TXT"), write_ti_txt(image));
    LoaderFloor floor;
    for (const WriteBlock& block : plan_write_blocks(image)) floor.blocks.push_back(block.bytes.size());
    double total_9600 = 0;
    double bare_38400 = 0;
    for (unsigned baud : {9600u, 19200u, 38400u}) {
        Simulator sim(dir.path, 3, {"--slow", "--lines", dir.file("lines")});
        const std::string rate = std::to_string(baud) + " 8E1";
        const double programmed = programmer_run(dir.path, "+mp", baud);
        const double verified = programmer_run(dir.path, "+v", baud);
        rows_.push_back({"BSL.EXE: erase + program 32 KiB at " + rate, {programmed}, floor.program(baud)});
        rows_.push_back({"BSL.EXE: verify 32 KiB at " + rate, {verified}, floor.verify(baud)});
        if (baud == 9600) total_9600 = programmed + verified;
        if (baud != 38400) continue;
        bare_38400 = programmed + verified;
        sim.stop();
        rows_.push_back({"BSL.EXE on Linux: turnaround after the loader's replies, program + verify 32 KiB at 38400",
                         turnarounds_of(sim), LoaderFloor::TURNAROUND_MS, TURNAROUND});
    }
    rows_.push_back({"BSL.EXE: program + verify at 38400, share of the 9600 time",
                     {100 * bare_38400 / total_9600},
                     0,
                     "% of 9600"});
    {
        Simulator usb(dir.path, 3, {"--slow", "--lines", dir.file("lines"), "--usb-latency", "16"});
        for (bool low : {false, true}) {
            AdapterOptions adapter;
            adapter.offers_low_latency = low;
            const double both =
                programmer_run(dir.path, "+mp", 38400, adapter) + programmer_run(dir.path, "+v", 38400, adapter);
            rows_.push_back({std::string("BSL.EXE: program + verify 32 KiB at 38400 through a 16 ms USB adapter, ") +
                                 (low ? "low latency" : "default latency"),
                             {both},
                             bare_38400,
                             "ms, bare line"});
        }
    }
    rows_.push_back({"BSL.EXE on Linux: program + verify 32 KiB at 38400",
                     {bare_38400},
                     floor.program(38400) + floor.verify(38400)});
    if (!windows_.empty()) windows_programmer_32k(dir.path, floor);
}

// The seconds BSL.EXE reports in its last line ("... on COM3 in 12.9 s"),
// which leave out Wine's own start; -1 when it did not succeed.
double reported_ms(const RunResult& r) {
    const std::size_t at = r.out.find(" on COM3 in ");
    if (r.exit_status != 0 || r.out.find("BSL: done:") == std::string::npos || at == std::string::npos) return -1;
    return 1000 * std::atof(r.out.c_str() + at + 12);
}

// The Windows BSL.EXE under Wine, its port's modem lines given by the shim,
// as the Linux one ran at 38400: its turnaround and its time.
void Bench::windows_programmer_32k(const std::string& dir, const LoaderFloor& floor) {
    Simulator sim(dir, 3, {"--slow", "--lines", dir + "/lines", "--link", wine_port_link(3)});
    double both = 0;
    for (const char* letters : {"+mp", "+v"}) {
        RunOptions bsl;
        bsl.arguments = {letters, "-cCOM3", "IMAGE.TXT"};
        const RunResult r = run_under_wine(windows_ + "/BSL.EXE", dir, "", bsl, dir + "/lines");
        const double ms = reported_ms(r);
        if (ms < 0 || r.out.find("speed: 38400") == std::string::npos) {
            std::fprintf(stderr, "the Windows BSL.EXE %s failed or ran at another speed:\n%s%s\n", letters,
                         r.out.c_str(), r.err.c_str());
            return;
        }
        both += ms;
    }
    sim.stop();
    rows_.push_back(
        {"BSL.EXE on Windows under Wine: turnaround after the loader's replies, program + verify 32 KiB "
         "at 38400",
         turnarounds_of(sim), LoaderFloor::TURNAROUND_MS, TURNAROUND});
    rows_.push_back({"BSL.EXE on Windows under Wine: program + verify 32 KiB at 38400 (its own time)",
                     {both},
                     floor.program(38400) + floor.verify(38400)});
}

void Bench::print_table() const {
    std::printf("| measurement | median | min | max | floor | median / floor |\n");
    std::printf("|---|---:|---:|---:|---:|---:|\n");
    for (const Row& row : rows_) {
        if (row.samples.empty()) continue;
        const double med = median(row.samples);
        const auto range = std::minmax_element(row.samples.begin(), row.samples.end());
        if (row.unit == TURNAROUND) {  // the shortest is what the loader's floor holds
            std::printf("| %s | %.2f ms | %.2f ms | %.2f ms | %.1f ms | %.4f (shortest) |\n", row.what.c_str(),
                        row.samples[1], row.samples[0], row.samples[2], row.floor, row.samples[0] / row.floor);
        } else if (row.unit == "% of 9600") {
            std::printf("| %s | %.1f %% | | | (aim <= 27 %%) | |\n", row.what.c_str(), med);
        } else if (row.unit == "%") {
            std::printf("| %s | %.3f %% | %.3f %% | %.3f %% | (goal < 1 %%) | |\n", row.what.c_str(), med, *range.first,
                        *range.second);
        } else {
            std::printf("| %s | %.1f ms | %.1f ms | %.1f ms | %.1f ms%s | %.4f |\n", row.what.c_str(), med,
                        *range.first, *range.second, row.floor, row.unit == "ms" ? "" : " (bare line)",
                        med / row.floor);
        }
    }
    if (quick_) return;
    if (windows_.empty())
        std::printf(
            "\nWindows: not measured (no Windows build; scripts/bench makes one where mingw-w64 and Wine are)\n");
    std::printf(
        "\nFloors of the BSL.EXE rows: the bytes on the wire (11 bits a byte) and the loader's own time,\n"
        "which no host can shorten: 1.2 ms of turnaround after each of its replies, 550 ms of entry\n"
        "sequence, 0.5 ms a command, the flash's 0.042 ms a byte (10 ms a block of 240), 6 mass erases\n"
        "of 35 ms (200 ms of erase for the older flash), and the erase, the password, the identification\n"
        "and the speed change at 9600 baud, with 10 ms for the loader's clock to settle. A ratio above\n"
        "1.00 is time BSL.EXE itself takes. The USB adapter rows are against the bare line at 38400\n"
        "(erase + program and verify). The turnaround rows give the shortest, median and longest wait\n"
        "after the loader's replies, as the simulator measured it, against the loader's 1.2 ms; their\n"
        "ratio is the shortest's. The Windows rows run BSL.EXE under Wine, timed by its own last line.\n");
}

void Bench::run() {
    empty_reads();
    reply_ends("end of a short reply after its last byte", {}, "VERS?\r");
    reply_ends("end of a reply paced at 9600 baud after its last byte", {"--slow"}, "FACT?\r");
    restore_pauses();
    whole_runs();
    if (!quick_) programmer_32k();
    print_table();
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string windows;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--windows") == 0 && i + 1 < argc) {
            windows = argv[++i];
        } else {
            std::fprintf(stderr, "usage: k210bench [--quick] [--windows BUILD]\n");
            return 2;
        }
    }
    Bench bench(quick, windows);
    bench.run();
    return 0;
}
