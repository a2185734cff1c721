#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace k210::harness {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/k210test.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error) std::fprintf(stderr, "could not remove %s: %s\n", path.c_str(), error.message().c_str());
}

WorkingFolder::WorkingFolder(const std::string& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

WorkingFolder::~WorkingFolder() {
    std::error_code error;
    std::filesystem::current_path(old_, error);
    if (error) std::fprintf(stderr, "could not go back to %s: %s\n", old_.c_str(), error.message().c_str());
}

Simulator::Simulator(const std::string& dir, int port, const std::vector<std::string>& options) {
    log_path = dir + "/sim-COM" + std::to_string(port) + ".log";
    std::remove(log_path.c_str());
    std::vector<std::string> args = {K210SIM_PATH,         "--dir", dir,     "--port", std::to_string(port), "--link",
                                     port_link(dir, port), "--log", log_path};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
        dup2(out[1], 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    said_ = out[0];
    std::string ready;
    char c = 0;
    while (read(said_, &c, 1) == 1 && c != '\n') ready += c;
    if (ready.rfind("ready ", 0) != 0) throw std::runtime_error("k210sim did not start");
    const std::size_t space = ready.find(' ', 6);
    device = ready.substr(6, space - 6);
    start_ms = std::atof(ready.c_str() + space + 1);
}

Simulator::~Simulator() { stop(); }

void Simulator::reap() {
    if (pid > 0) waitpid(pid, nullptr, 0);
    pid = -1;
    close(said_);
    said_ = -1;
}

void Simulator::stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    reap();
}

void Simulator::sync() {
    if (pid <= 0 || unanswered_) return;
    if (waitpid(pid, nullptr, WNOHANG) == pid) {  // it left by itself (--vanish-after)
        pid = -1;
        reap();  // nothing left to wait for
        return;
    }
    const std::string answer = "sync " + std::to_string(++syncs_) + "\n";
    if (kill(pid, SIGUSR1) != 0) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (said_text_.find(answer) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            std::fprintf(stderr, "k210sim did not answer a sync in 10 s; its log is read as it is\n");
            unanswered_ = true;
            return;
        }
        pollfd p{said_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        char buf[256];
        const ssize_t n = read(said_, buf, sizeof buf);
        if (n <= 0) {  // it has ended, and its log with it
            reap();
            return;
        }
        said_text_.append(buf, static_cast<std::size_t>(n));
    }
    said_text_.clear();  // one sync at a time: nothing else is in it
}

void Simulator::turn_switches_off() {
    if (pid > 0 && kill(pid, SIGUSR2) == 0) sync();  // it takes the switches before the sync
}

std::string Simulator::log() {
    sync();
    return read_file(log_path);
}

std::vector<std::string> Simulator::log_lines(const std::string& kind) {
    std::vector<std::string> texts;
    std::istringstream in(log());
    std::string line;
    const std::string tag = " " + kind + " ";
    while (std::getline(in, line)) {
        const auto at = line.find(tag);
        if (at != std::string::npos && line.find(' ') == at) texts.push_back(line.substr(at + tag.size()));
    }
    return texts;
}

std::vector<double> Simulator::log_times(const std::string& kind) {
    std::vector<double> times;
    std::istringstream in(log());
    std::string line;
    while (std::getline(in, line))
        if (line.find(" " + kind + " ") == line.find(' ')) times.push_back(std::atof(line.c_str()));
    return times;
}

namespace {

// This process's environment with `entries` ("NAME=value") set on top.
std::vector<std::string> with_entries(const std::vector<std::string>& entries) {
    std::vector<std::string> all;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& mine : entries) replaced = replaced || mine.substr(0, mine.find('=')) == name;
        if (!replaced) all.push_back(entry);
    }
    all.insert(all.end(), entries.begin(), entries.end());
    return all;
}

}  // namespace

RunResult run_program(const std::string& program, const std::string& dir, const std::string& input,
                      const RunOptions& options) {
    const TempDir io;  // the run's console, outside the folder it works in
    const std::string in_path = io.file("stdin");
    const std::string out_path = io.file("stdout");
    const std::string err_path = io.file("stderr");
    write_file(in_path, input);
    std::vector<std::string> arguments = options.arguments;
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = with_entries(options.env);
    std::vector<char*> envp;
    envp.reserve(environment.size());
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {  // only async-signal-safe calls until exec
        if (chdir(dir.c_str()) != 0) _exit(127);
        dup2(open(in_path.c_str(), O_RDONLY), 0);
        dup2(open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        if (options.stdout_closed) close(1);
        if (options.file_size_limit > 0) {
            dup2(open("/dev/null", O_WRONLY), 1);
            signal(SIGXFSZ, SIG_IGN);  // inherited across exec, as the limit is
            const rlimit limit{options.file_size_limit, options.file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    RunResult result;
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(options.limit_seconds)) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

const char* wine_build() {
    const char* build = std::getenv("K210_WINE_BUILD");
    return build && *build ? build : nullptr;
}

std::string port_link(const std::string& dir, int port) {
    return wine_build() ? wine_port_link(port) : dir + "/COM" + std::to_string(port);
}

std::string wine_port_link(int port) {
    const char* prefix = std::getenv("WINEPREFIX");
    return std::string(prefix ? prefix : "") + "/dosdevices/com" + std::to_string(port);
}

RunResult run_under_wine(const std::string& program, const std::string& dir, const std::string& input,
                         RunOptions options, const std::string& lines_fifo) {
    options.arguments.insert(options.arguments.begin(), program);
    if (!lines_fifo.empty()) {
        options.env.emplace_back("LD_PRELOAD=" LINES_SHIM_PATH);
        options.env.push_back("K210_LINES_FIFO=" + lines_fifo);
    }
    return run_program("/usr/bin/wine", dir, input, options);
}

namespace {

// The console text with every CR LF that ends a line read as LF.
std::string lines_as_posix(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    return out;
}

void copy_file(const std::string& from, const std::string& to) { write_file(to, read_file(from)); }

RunResult run_with_programmer(const std::string& dir, const std::string& input, const std::string& programmer_dir,
                              RunOptions options) {
    if (!wine_build()) {
        const char* path = std::getenv("PATH");
        options.env.push_back("PATH=" + programmer_dir + ":" + (path ? path : "/usr/bin:/bin"));
        return run_program(K210PROG_PATH, dir, input, options);
    }
    // cmd.exe finds BSL.EXE in the working folder.
    copy_file(programmer_dir + "/BSL.EXE", dir + "/BSL.EXE");
    options.limit_seconds = 180;
    RunResult r = run_under_wine(std::string(wine_build()) + "/k210prog.exe", dir, input, options);
    if (r.out.empty()) std::fprintf(stderr, "k210prog.exe printed nothing; Wine said: %s\n", r.err.c_str());
    r.out = lines_as_posix(r.out);
    return r;
}

}  // namespace

RunResult run_k210prog(const std::string& dir, const std::string& input, const std::string& programmer_statuses,
                       const RunOptions& options) {
    const std::string standin = wine_build() ? std::string(wine_build()) + "/standin" : STANDIN_DIR;
    RunOptions with_standin = options;
    with_standin.env.emplace_back("BSL_STANDIN_LOG=standin.log");
    with_standin.env.push_back("BSL_STANDIN_STATUS=" + programmer_statuses);
    return run_with_programmer(dir, input, standin, with_standin);
}

RunResult run_k210prog_with_bsl(const std::string& dir, const std::string& input) {
    return run_with_programmer(dir, input, wine_build() ? wine_build() : BSL_DIR, {});
}

LinesToSimulator::LinesToSimulator(const std::string& fifo, const AdapterOptions& adapter)
    : fifo_(open(fifo.c_str(), O_WRONLY | O_CLOEXEC)), adapter_(adapter) {}

int LinesToSimulator::send(const std::string& event) {
    return write(fifo_, event.data(), event.size()) == static_cast<ssize_t>(event.size()) ? 0 : -1;
}

int LinesToSimulator::get_low_latency(int, bool& on) {
    on = low_latency;
    if (adapter_.offers_low_latency) return 0;
    errno = ENOTTY;
    return -1;
}

int LinesToSimulator::set_low_latency(int, bool on) {
    if (!adapter_.offers_low_latency) {
        errno = ENOTTY;
        return -1;
    }
    low_latency = on;
    return send(std::string("LATENCY ") + (on ? "1" : "0") + "\n");
}

LinesToSimulator::~LinesToSimulator() { close(fifo_); }

int LinesToSimulator::modem_lines(int, unsigned long request, int lines) {
    const bool on = request == TIOCMBIS;
    if (lines & TIOCM_DTR) dtr = on;
    if (lines & TIOCM_RTS) rts = on;
    return send("DTR " + std::to_string((dtr != adapter_.dtr_without_inverter) ? 1 : 0) + " RTS " +
                std::to_string(rts ? 1 : 0) + "\n");
}

SessionResult run_session_with_lines(const std::string& fifo, const bsl::ProgrammerRequest& request,
                                     const AdapterOptions& adapter) {
    LinesToSimulator system(fifo, adapter);
    std::FILE* out = std::tmpfile();
    SessionResult result;
    const auto start = std::chrono::steady_clock::now();
    bsl::ProgrammerSession session(request, out, system);
    result.status = bsl::exit_status(session.run());
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.dtr = system.dtr;
    result.rts = system.rts;
    std::rewind(out);
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) result.out += static_cast<char>(c);
    std::fclose(out);
    return result;
}

}  // namespace k210::harness
