#include "serial_link/serial_link.h"

// 9600 8N1, DTR and RTS on; on Windows exactly the calls of its written behaviour.
LineSettings analyzer_line() {
    LineSettings line;
    line.exact_windows_calls = true;
    return line;
}

ReadPolicy analyzer_read_policy() {
    return ReadPolicy{READ_INTERVAL_MS, READ_TOTAL_PER_BYTE_MS, READ_TOTAL_CONSTANT_MS};
}

PortStatus AnalyzerLink::open(const PortName& port) {
    switch (port_.open(port, analyzer_line(), analyzer_read_policy())) {
        case OpenStatus::ok: return PortStatus::ok;
        case OpenStatus::settings_refused: return PortStatus::settings_refused;
        case OpenStatus::open_failed: break;
    }
    return PortStatus::open_failed;
}

SendStatus AnalyzerLink::send(const char* bytes, std::size_t length) {
    port_.discard_input();
    return port_.write(bytes, length) == PortResult::ok ? SendStatus::ok : SendStatus::failed;
}

ReadResult AnalyzerLink::read(char* buffer, std::size_t limit) {
    const ReadResult result = port_.read(buffer, limit);
    if (result.end != ReadEnd::device_gone) buffer[result.count] = '\0';
    return result;
}

PortStatus AnalyzerLink::close() {
    return port_.close() == CloseStatus::ok ? PortStatus::ok : PortStatus::close_failed;
}

namespace {

// The program's one link to the analyzer, for the life of the process.
AnalyzerLink& the_link() {
    static AnalyzerLink link;
    return link;
}

}  // namespace

PortStatus open_port(const PortName& port) { return the_link().open(port); }
SendStatus send_command(const char* bytes, std::size_t length) { return the_link().send(bytes, length); }
ReadResult read_reply(char* buffer, std::size_t limit) { return the_link().read(buffer, limit); }
PortStatus close_port() { return the_link().close(); }
std::string port_failure_reason() { return the_link().failure_reason(); }
