#include "serial_link/port_messages.h"

namespace k210 {

namespace {

const char* doing(PortStep step) {
    switch (step) {
        case PortStep::open: return "cannot open";
        case PortStep::lock: return "cannot use it";
        case PortStep::queues: return "cannot set the queue sizes";
        case PortStep::time_outs: return "cannot set the time-outs";
        case PortStep::read_settings: return "cannot read the line settings";
        case PortStep::apply_settings: return "the line settings were refused";
        case PortStep::read_back: return "cannot read the line settings back";
        case PortStep::write: return "writing failed";
        case PortStep::read: return "reading failed";
        case PortStep::modem_lines: return "cannot drive the modem lines DTR and RTS";
        case PortStep::speed: return "cannot change the speed";
        case PortStep::close: return "closing failed";
    }
    return "failed";
}

const char* hint_for(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::permission:
            return "permission denied: add your user to the group that owns serial devices "
                   "(dialout or uucp), then log in again";
        case ErrorKind::busy:
            return "the port is busy: another program (a terminal program; on Linux also ModemManager) "
                   "holds it; close that program and try again";
        case ErrorKind::no_device:
            return "no such device: is the adapter plugged in, and is COMn the port it has? "
                   "(a COMn link in this folder, or the number the system gave it)";
        case ErrorKind::not_serial: return "this is not a serial device";
        case ErrorKind::hung_up: return "adapter unplugged, or the analyzer switched off?";
        case ErrorKind::none:
        case ErrorKind::other: break;
    }
    return "";
}

}  // namespace

// The step that failed as the system said it, and what usually helps.
std::string failure_text(const SystemError& error) {
    std::string what = error.kind == ErrorKind::hung_up ? "the device hung up" : doing(error.step);
    if (!error.reason.empty()) what += ": " + error.reason;
    const std::string hint = hint_for(error.kind);
    if (!hint.empty()) what += " (" + hint + ")";
    return what;
}

std::string line_text(const LineSettings& line) {
    return std::to_string(line.baud) + " baud, 8 data bits, " +
           (line.parity == Parity::even ? "even parity" : "no parity") + ", 1 stop bit, no flow control";
}

std::string line_text(const LineTaken& taken) {
    return std::to_string(taken.baud) + " baud, " + (taken.eight_bits ? "8 data bits" : "not 8 data bits") + ", " +
           (taken.even_parity ? "even parity" : "no parity") + ", " +
           (taken.one_stop_bit ? "1 stop bit" : "2 stop bits") + ", " +
           (taken.no_flow_control ? "no flow control" : "flow control on");
}

}  // namespace k210
