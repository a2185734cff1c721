#include "bsl/request.h"

#include <algorithm>

#include "bsl/quote.h"
#include "serial_link/port_name.h"

namespace k210::bsl {

const char* const USAGE =
    "usage: BSL.EXE [--invert-dtr] [--invert-rts] [--speed 9600|19200|38400] [--log FILE] +LETTERS -cCOMn IMAGE\n"
    "       BSL.EXE --check [--invert-dtr] [--invert-rts] [--log FILE] -cCOMn\n";

const char* const HELP =
    "Programs the K210 analyzer's microcontroller through its bootstrap loader.\n"
    "\n"
    "  +LETTERS      actions, in this order: m mass erase, p program IMAGE,\n"
    "                v verify by reading back, r reset and start the firmware\n"
    "  -cCOMn        the serial port, COM1 to COM9 (a COMn link in this folder,\n"
    "                else /dev/ttyS<n-1>)\n"
    "  IMAGE         the firmware image, TI-TXT\n"
    "  --invert-dtr  for adapters whose DTR drives RST without an inverter\n"
    "  --invert-rts  for adapters whose RTS drives TEST (or TCK) without an inverter\n"
    "  --speed BAUD  the fastest rate to use: 9600, 19200 or 38400 (the default:\n"
    "                the fastest the loader and the line manage)\n"
    "  --check       checks the cable, the adapter and the programming switches:\n"
    "                starts the loader, measures its replies and resets it; nothing\n"
    "                is erased or written\n"
    "  --log FILE    the record of the run (default BSL.LOG, the one before kept as\n"
    "                BSL.LOG.1); --log - writes none\n"
    "  --help        this text\n"
    "  --version     the version\n"
    "\n"
    "Exit status 0 when every requested action succeeded, 1 otherwise.\n";

namespace {

// The options that switch something on.
struct Flag {
    const char* name;
    bool ProgrammerRequest::*flag;
};
const Flag FLAGS[] = {{"--invert-dtr", &ProgrammerRequest::invert_dtr},
                      {"--invert-rts", &ProgrammerRequest::invert_rts},
                      {"--check", &ProgrammerRequest::check}};

std::optional<unsigned> speed_from(const std::string& text) {
    for (unsigned known : {9600u, 19200u, 38400u})
        if (std::to_string(known) == text) return known;
    return std::nullopt;
}

}  // namespace

Verdict take_action_letters(const std::string& letters, ProgrammerRequest& request) {
    if (letters.empty()) return Verdict::refused;
    for (char c : letters) {
        switch (c) {
            case 'm': request.erase = true; break;
            case 'p': request.program = true; break;
            case 'v': request.verify = true; break;
            case 'r': request.reset = true; break;
            default: return Verdict::refused;
        }
    }
    return Verdict::ok;
}

Verdict CommandLine::refuse(const std::string& why) {
    failure_ = why;
    return Verdict::refused;
}

Verdict CommandLine::parse(const std::vector<std::string>& arguments) {
    *this = CommandLine();
    if (std::find(arguments.begin(), arguments.end(), "--version") != arguments.end()) {
        asked_ = Asked::version;
        return Verdict::ok;
    }
    for (const std::string& a : arguments) request_.arguments += (request_.arguments.empty() ? "" : " ") + a;
    for (std::size_t i = 0; i < arguments.size(); ++i)
        if (take(arguments, i) != Verdict::ok) return Verdict::refused;
    if (asked_ == Asked::help) return Verdict::ok;
    if (request_.check) {
        if (letters_given_ || !request_.image_path.empty())
            return refuse("--check takes no action letters and no image: it erases and writes nothing");
        return request_.port_name.empty() ? refuse("no port (-cCOMn)") : Verdict::ok;
    }
    if (!letters_given_) return refuse("no action letters (+mpvr)");
    if (request_.port_name.empty()) return refuse("no port (-cCOMn)");
    if (request_.image_path.empty()) return refuse("no image file");
    return Verdict::ok;
}

// Argument `i`, and the value of an option that takes one (moving `i` on).
Verdict CommandLine::take(const std::vector<std::string>& arguments, std::size_t& i) {
    const std::string& a = arguments[i];
    if (a == "--help" || a == "-h") {
        asked_ = Asked::help;
        return Verdict::ok;
    }
    for (const Flag& f : FLAGS)
        if (a == f.name) {
            request_.*f.flag = true;
            return Verdict::ok;
        }
    if (a == "--log") {
        if (i + 1 >= arguments.size() || arguments[i + 1].empty()) return refuse("--log needs a file (or - for none)");
        request_.log_path = arguments[++i];
        return Verdict::ok;
    }
    if (a == "--speed") {
        const std::string value = i + 1 < arguments.size() ? arguments[++i] : "";
        const std::optional<unsigned> baud = speed_from(value);
        if (!baud) return refuse("bad speed " + quoted(value) + " (9600, 19200 or 38400)");
        request_.max_baud = *baud;
        return Verdict::ok;
    }
    return take_operand(a);
}

// The action letters, the port and the image.
Verdict CommandLine::take_operand(const std::string& a) {
    if (a[0] == '+') {
        letters_given_ = true;
        if (take_action_letters(a.substr(1), request_) == Verdict::ok) return Verdict::ok;
        return refuse("unknown action letters " + quoted(a));
    }
    if (a.compare(0, 2, "-c") == 0) {
        if (!PortName::from_text(a.substr(2))) return refuse("bad port " + quoted(a.substr(2)) + " (COM1 to COM9)");
        request_.port_name = a.substr(2);
        return Verdict::ok;
    }
    if (a[0] == '-') return refuse("unknown option " + quoted(a));
    if (!request_.image_path.empty()) return refuse("more than one image: " + quoted(a));
    request_.image_path = a;
    return Verdict::ok;
}

std::optional<int> CommandLine::exit_status(Verdict verdict) const {
    if (asked_ == Asked::version) return 0;
    if (asked_ == Asked::help) return verdict == Verdict::ok ? 0 : 1;
    if (verdict != Verdict::ok) return 1;
    return std::nullopt;
}

}  // namespace k210::bsl
