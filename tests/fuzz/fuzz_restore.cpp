// Arbitrary SETTINGS.TXT bytes through the restore's own line reading and
// translator. Every set command must carry the whole value of its line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "settings/query_table.h"
#include "settings/restore.h"
#include "settings/settings_store.h"

using namespace k210;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// Header index the line stands for, as a case-blind comparison with the table.
int header_of(const char* line) {
    for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
        const char* q = QUERY_TEXTS[i];
        std::size_t k = 0;
        while (q[k] && line[k] && (q[k] == line[k] || (line[k] >= 'a' && line[k] <= 'z' && line[k] - 32 == q[k]))) ++k;
        if (!q[k] && !line[k]) return static_cast<int>(i);
    }
    return -1;
}

// What of the line must stand, whole, at the end of its set command.
std::string expected_tail(int header, const char* line) {
    if (header == QUERY_CUST) return line;
    const char* colon = std::strchr(line, ':');
    if (header == QUERY_PUMP && colon) colon = std::strchr(colon + 1, ':');
    return colon ? colon + 1 : "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> lines;
    const std::string content(reinterpret_cast<const char*>(data), size);
    if (split_settings_lines(content, lines) != LineSplit::ok) {
        require(lines.size() < content.size());  // stopped at the long line, with the lines before it
        return 0;
    }
    Translator translator;
    int header = -1;
    for (const std::string& line : lines) {
        const char* text = line.c_str();
        require(std::strchr(text, '\n') == nullptr);
        const int h = header_of(text);
        const std::optional<std::string> sent = translator.next_set_command(text);
        if (h >= 0) {
            header = h;
            require(!sent);
            continue;
        }
        if (!sent) continue;
        const std::string& command = *sent;
        require(header >= QUERY_SRAL);  // nothing before a header, nor for LOGO and VERS
        require(command.compare(0, 4, QUERY_TEXTS[header], 4) == 0);
        const std::string tail = expected_tail(header, text);
        require(command.size() >= 5 + tail.size());
        require(command.compare(command.size() - tail.size(), tail.size(), tail) == 0);
    }
    return 0;
}
