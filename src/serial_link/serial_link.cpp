#include "serial_link/serial_link.h"

namespace k210 {

// 9600 8N1, DTR and RTS on.
LineSettings analyzer_line() {
    LineSettings line;
    const bool more_calls = !port_keeps_to_the_analyzers_calls();
    line.read_back_settings = line.time_limited_writes = line.undo_failed_open = more_calls;
    return line;
}

ReadPolicy analyzer_read_policy() {
    return ReadPolicy{READ_INTERVAL_MS, READ_TOTAL_PER_BYTE_MS, READ_TOTAL_CONSTANT_MS};
}

OpenStatus AnalyzerLink::open_port(const PortName& port) {
    return port_.open(port, analyzer_line(), analyzer_read_policy());
}

PortResult AnalyzerLink::send_command(const char* bytes, std::size_t length) {
    port_.discard_input();
    return port_.write(bytes, length);
}

ReadResult AnalyzerLink::read_reply(char* buffer, std::size_t limit) {
    const ReadResult result = port_.read(buffer, limit);
    if (result.end != ReadEnd::device_gone) buffer[result.count] = '\0';
    return result;
}

CloseStatus AnalyzerLink::close_port() { return port_.close(); }

}  // namespace k210
