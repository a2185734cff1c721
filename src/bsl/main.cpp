// BSL.EXE: programs the analyzer's microcontroller through its serial
// bootstrap loader.   BSL.EXE [options] +LETTERS -cCOMn IMAGE
#include <cstdio>
#include <cstring>
#include <string>

#include "bsl/programmer.h"
#include "bsl/quote.h"
#include "serial_link/port_name.h"
#include "system/standard_streams.h"

namespace {

using k210::PortName;
using k210::bsl::ProgrammerRequest;
using k210::bsl::quoted;

const char* const USAGE =
    "usage: BSL.EXE [--invert-dtr] [--invert-rts] [--speed 9600|19200|38400] +LETTERS -cCOMn IMAGE\n";

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
    "  --help        this text\n"
    "  --version     the version\n"
    "\n"
    "Exit status 0 when every requested action succeeded, 1 otherwise.\n";

bool parse_speed(const char* text, unsigned& baud) {
    for (unsigned known : {9600u, 19200u, 38400u})
        if (std::to_string(known) == text) {
            baud = known;
            return true;
        }
    return false;
}

bool parse_letters(const char* letters, ProgrammerRequest& request) {
    if (!*letters) return false;
    for (const char* c = letters; *c; ++c) {
        switch (*c) {
            case 'm': request.erase = true; break;
            case 'p': request.program = true; break;
            case 'v': request.verify = true; break;
            case 'r': request.reset = true; break;
            default: return false;
        }
    }
    return true;
}

bool asks_for_version(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) return true;
    return false;
}

bool is(const char* argument, const char* option) { return std::strcmp(argument, option) == 0; }

// The action letters, the port and the image; empty when `a` is good, else what is wrong.
std::string take_operand(const char* a, ProgrammerRequest& request, bool& letters_given) {
    if (a[0] == '+') {
        letters_given = true;
        return parse_letters(a + 1, request) ? "" : "unknown action letters " + quoted(a);
    }
    if (std::strncmp(a, "-c", 2) == 0) {
        if (!PortName::from_text(a + 2)) return "bad port " + quoted(a + 2) + " (COM1 to COM9)";
        request.port_name = a + 2;
        return "";
    }
    if (a[0] == '-') return "unknown option " + quoted(a);
    if (!request.image_path.empty()) return "more than one image: " + quoted(a);
    request.image_path = a;
    return "";
}

// Returns an empty text when the arguments are good, else what is wrong.
std::string parse_arguments(int argc, char** argv, ProgrammerRequest& request, bool& help) {
    bool letters_given = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        std::string problem;
        if (is(a, "--help") || is(a, "-h")) {
            help = true;
        } else if (is(a, "--invert-dtr")) {
            request.invert_dtr = true;
        } else if (is(a, "--invert-rts")) {
            request.invert_rts = true;
        } else if (is(a, "--speed")) {
            const char* value = i + 1 < argc ? argv[++i] : "";
            if (!parse_speed(value, request.max_baud))
                problem = "bad speed " + quoted(value) + " (9600, 19200 or 38400)";
        } else {
            problem = take_operand(a, request, letters_given);
        }
        if (!problem.empty()) return problem;
    }
    if (help) return "";
    if (!letters_given) return "no action letters (+mpvr)";
    if (request.port_name.empty()) return "no port (-cCOMn)";
    if (request.image_path.empty()) return "no image file";
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    k210::make_standard_streams_valid();
    if (asks_for_version(argc, argv)) {
        std::printf("BSL.EXE %s\n", K210_VERSION);
        return 0;
    }
    k210::bsl::ProgrammerRequest request;
    bool help = false;
    const std::string problem = parse_arguments(argc, argv, request, help);
    if (help) {
        std::printf("%s\n%s", USAGE, HELP);
        return problem.empty() ? 0 : 1;
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "BSL.EXE: %s\n%s", problem.c_str(), USAGE);
        return 1;
    }
    k210::bsl::ProgrammerSession session(request);
    return session.run();
}
