// BSL.EXE: programs the analyzer's microcontroller through its serial
// bootstrap loader.   BSL.EXE [options] +LETTERS -cCOMn IMAGE
#include <cstdio>
#include <string>
#include <vector>

#include "bsl/programmer.h"
#include "bsl/request.h"
#include "system/standard_streams.h"

int main(int argc, char** argv) {
    k210::make_standard_streams_valid();
    using k210::bsl::CommandLine;
    CommandLine command_line;
    const k210::bsl::Verdict verdict = command_line.parse(std::vector<std::string>(argv + 1, argv + argc));
    switch (command_line.asked()) {
        case CommandLine::Asked::version: std::printf("BSL.EXE %s\n", K210_VERSION); break;
        case CommandLine::Asked::help: std::printf("%s\n%s", k210::bsl::USAGE, k210::bsl::HELP); break;
        case CommandLine::Asked::run:
            if (verdict == k210::bsl::Verdict::ok) break;
            std::fprintf(stderr, "BSL.EXE: %s\n%s", command_line.failure_reason().c_str(), k210::bsl::USAGE);
            break;
    }
    if (const std::optional<int> status = command_line.exit_status(verdict)) return *status;
    k210::bsl::ProgrammerSession session(command_line.request());
    return k210::bsl::exit_status(session.run());
}
