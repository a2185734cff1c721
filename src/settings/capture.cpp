#include "settings/capture.h"

#include <cstdio>
#include <cstring>

#include "procedure/answer.h"
#include "serial_link/serial_link.h"
#include "settings/query_table.h"
#include "settings/settings_store.h"

namespace {

// After a silent first query: SETTINGS.TXT from an earlier run is exactly
// what an old unit may need later, so it is kept; only a missing one is made.
int handle_no_first_reply(std::FILE* file) {
    std::printf("  No Response from VORTAN.\n");
    std::printf("Proceed with Reprogramming? ");
    const int answer = read_answer();
    discard_capture_file(file);
    ensure_settings_file();
    close_port();
    if (answer == ANSWER_END_OF_INPUT) {
        report_end_of_input();
        return CAPTURE_STOPPED;
    }
    return answer_upper(answer) == 'Y' ? CAPTURE_CONTINUE : CAPTURE_STOPPED;
}

}  // namespace

std::string reply_file_lines(const char* query_text, const char* reply) {
    std::string lines = query_text;
    lines += '\n';
    const char* part = reply;
    for (const char* cr = std::strchr(part, '\r'); cr; cr = std::strchr(part, '\r')) {
        lines.append(part, static_cast<std::size_t>(cr - part) + 1);
        lines += '\n';
        part = cr + 1;
    }
    return lines;
}

int capture_settings() {
    std::FILE* file = begin_capture_file();
    if (!file) {
        std::printf("Could not create data file!\n");
        close_port();
        return CAPTURE_FAILED;
    }
    std::printf("Retrieving Settings...\n");
    char reply[REPLY_LIMIT + 1];
    for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
        send_command(QUERY_TEXTS[i], std::strlen(QUERY_TEXTS[i]));
        reply[0] = '\0';
        read_reply(reply, REPLY_LIMIT);
        if (reply[0] != '\0') {
            std::printf("%s", reply);
            const std::string lines = reply_file_lines(QUERY_TEXTS[i], reply);
            std::fwrite(lines.data(), 1, lines.size(), file);
        } else if (i == 0) {
            return handle_no_first_reply(file);
        }
    }
    std::printf("Upload Complete.\n");
    const int saved = commit_capture_file(file);
    close_port();
    if (saved != 0) {
        std::printf("Could not write data file!\n");
        return CAPTURE_FAILED;
    }
    return CAPTURE_CONTINUE;
}
