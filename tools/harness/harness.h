// Helpers for tests that drive real programs: temporary folders, the
// simulated analyzer, and k210prog run as a child process.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bsl/programmer.h"
#include "serial_link/port_system_posix.h"

namespace k210::harness {

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);

// A fresh folder under the system's temporary folder, removed at the end.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

// `dir` as the working folder until the end of the scope.
class WorkingFolder {
  public:
    explicit WorkingFolder(const std::string& dir);
    ~WorkingFolder();
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;
    WorkingFolder(WorkingFolder&&) = delete;
    WorkingFolder& operator=(WorkingFolder&&) = delete;

  private:
    std::filesystem::path old_;
};

// k210sim running in a folder, linked there as COMn; stopped by the destructor.
// Every read of its log first lets it take everything sent to it so far.
struct Simulator {
    Simulator(const std::string& dir, int port, const std::vector<std::string>& options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;
    void stop();  // ends it and waits, so its log is complete
    // Waits (at most 10 s) until it has taken every byte and line event sent
    // to it so far and logged what they did; at once when it has ended.
    void sync();
    // The programming switches are turned off (k210sim --switches-left-on): the firmware runs.
    void turn_switches_off();
    std::string log();                                            // what it has logged so far
    std::vector<std::string> log_lines(const std::string& kind);  // texts of one kind
    std::vector<double> log_times(const std::string& kind);       // their times, in ms
    pid_t pid = -1;
    std::string log_path;
    std::string device;   // the pseudo-terminal it serves
    double start_ms = 0;  // its log's time zero on the monotonic clock

  private:
    void reap();     // waits for it to end (unless it was reaped already) and closes its output
    int said_ = -1;  // its standard output, where it answers a sync
    std::string said_text_;
    int syncs_ = 0;            // asked for so far
    bool unanswered_ = false;  // a sync got no answer in time: the log is read as it is
};

struct RunResult {
    int exit_status = -1;  // -1 when killed by a signal
    std::string out;
    std::string err;
    double seconds = 0;
};

struct RunOptions {
    std::vector<std::string> env;  // extra environment entries, "NAME=value"
    std::vector<std::string> arguments;
    double limit_seconds = 120;  // killed after this
    bool stdout_closed = false;  // started with standard output closed
    // The largest file it may write (a nearly full disk), in bytes; 0: no limit. A write past it
    // takes what fits and then fails, as on a full disk, rather than ending the program. Its
    // standard output then goes to the null device, which no such limit cuts short.
    unsigned long file_size_limit = 0;
};

// Runs a program in `dir` with `input` as its whole standard input.
RunResult run_program(const std::string& program, const std::string& dir, const std::string& input,
                      const RunOptions& options = {});

// The Windows build whose programs the tests run under Wine instead of the
// native ones (K210_WINE_BUILD), or nullptr.
const char* wine_build();

// Where the port name COMn leads for the program under test: a link in its
// working folder, or Wine's device folder.
std::string port_link(const std::string& dir, int port);

// Where COMn leads for a program under Wine: $WINEPREFIX/dosdevices/comN.
std::string wine_port_link(int port);

// Runs a Windows program under Wine, as run_program runs a native one. With
// `lines_fifo`, the program's port gets the modem lines and the parity a
// pseudo-terminal lacks (tools/lines_shim, preloaded into Wine): its DTR and
// RTS go to the simulator's FIFO (k210sim --lines) as the usual adapter
// would carry them to the analyzer's pins.
RunResult run_under_wine(const std::string& program, const std::string& dir, const std::string& input,
                         RunOptions options = {}, const std::string& lines_fifo = "");

// k210prog with the stand-in programmer, logging its runs to dir/standin.log
// (not bsl.log: on Windows that is the real programmer's BSL.LOG). Under Wine
// the console's CR LF line ends are read back as "\n".
RunResult run_k210prog(const std::string& dir, const std::string& input, const std::string& programmer_statuses = "0",
                       const RunOptions& options = {});

// k210prog with the real programmer BSL.EXE.
RunResult run_k210prog_with_bsl(const std::string& dir, const std::string& input);

// The adapter between the programmer and the simulated analyzer.
struct AdapterOptions {
    bool dtr_without_inverter = false;
    // The system lets a program ask the adapter's driver for low latency, as
    // Linux does; on Windows it is a setting of the driver.
    bool offers_low_latency = true;
};

// A pseudo-terminal has no modem lines, so the port's DTR and RTS go to the
// simulator through its FIFO (k210sim --lines), as the usual adapter would
// carry them to the analyzer's RST and TEST pins, and so does a request for
// low latency to the adapter's driver; the rest of the port is the real
// pseudo-terminal.
class LinesToSimulator : public PortSystem {
  public:
    LinesToSimulator(const std::string& fifo, const AdapterOptions& adapter);
    ~LinesToSimulator() override;
    LinesToSimulator(const LinesToSimulator&) = delete;
    LinesToSimulator& operator=(const LinesToSimulator&) = delete;
    int modem_lines(int fd, unsigned long request, int lines) override;
    int get_low_latency(int fd, bool& on) override;
    int set_low_latency(int fd, bool on) override;
    bool dtr = false, rts = false;  // as the port drives them
    bool low_latency = false;       // as the driver is set

  private:
    int send(const std::string& event);
    int fifo_;
    AdapterOptions adapter_;
};

struct SessionResult {
    int status = -1;
    std::string out;
    double seconds = 0;
    bool dtr = false, rts = false;  // the modem lines as the session left them
};

// The programmer's session, run in this process in the working folder,
// with its modem lines going to the simulator's FIFO.
SessionResult run_session_with_lines(const std::string& fifo, const bsl::ProgrammerRequest& request,
                                     const AdapterOptions& adapter = {});

}  // namespace k210::harness
