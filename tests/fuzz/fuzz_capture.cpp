// Arbitrary analyzer replies through the capture's file writer, back through
// the restore's line reading and translator: the file must give back every
// saved line, and every set command must carry its saved value whole.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "settings/capture.h"
#include "settings/query_table.h"
#include "settings/restore.h"
#include "settings/settings_store.h"

using namespace k210;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

struct Record {
    std::size_t query;
    bool header;
    std::string text;  // the line as the restore must read it
};

// Sixteen replies of at most 256 bytes from the input; a reply is text as
// the analyzer sends it: lines ended by CR, no NUL and no LF inside.
std::vector<std::string> replies_from(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> replies(QUERY_COUNT);
    std::size_t at = 0;
    for (std::size_t i = 0; i < QUERY_COUNT && at < size; ++i) {
        const std::size_t wanted = data[at];
        ++at;
        const std::size_t length = std::min<std::size_t>(wanted, size - at);
        for (std::size_t k = 0; k < length; ++k) {
            const char c = static_cast<char>(data[at + k]);
            replies[i] += (c == '\0' || c == '\n') ? '.' : c;
        }
        at += length;
    }
    return replies;
}

bool reads_as_header(const std::string& line) {
    return std::any_of(std::begin(QUERY_TEXTS), std::end(QUERY_TEXTS),
                       [&line](const char* query) { return strcasecmp(line.c_str(), query) == 0; });
}

// The value a data line's set command must end with, or false when its rule sends nothing.
bool expected_value(std::size_t query, const std::string& line, std::string& value) {
    if (query <= QUERY_VERS) return false;
    if (query == QUERY_CUST) {
        value = line;
        return true;
    }
    std::size_t colon = line.find(':');
    if (query == QUERY_PUMP && colon != std::string::npos) colon = line.find(':', colon + 1);
    if (colon == std::string::npos) return false;
    value = line.substr(colon + 1);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> replies = replies_from(data, size);
    std::string file;
    std::vector<Record> records;
    for (std::size_t i = 0; i < QUERY_COUNT; ++i) {
        if (replies[i].empty()) continue;
        file += reply_file_lines(QUERY_TEXTS[i], replies[i].c_str());
        records.push_back({i, true, QUERY_TEXTS[i]});
        for (std::size_t at = 0, cr = 0; (cr = replies[i].find('\r', at)) != std::string::npos; at = cr + 1)
            records.push_back({i, false, replies[i].substr(at, cr - at + 1)});
    }
    std::vector<std::string> lines;
    require(split_settings_lines(file, lines) == LineSplit::ok);  // replies are far below the line limit
    Translator translator;
    std::size_t next = 0;
    bool ambiguous = false;  // a saved line that reads as a query; the layout cannot tell
    for (const std::string& line : lines) {
        require(next < records.size() && line == records[next].text);
        const Record& record = records[next++];
        const std::optional<std::string> sent = translator.next_set_command(line.c_str());
        if (record.header) {
            ambiguous = false;
            continue;
        }
        ambiguous = ambiguous || reads_as_header(line);
        std::string value;
        if (ambiguous || !expected_value(record.query, line, value)) continue;
        require(sent.has_value());
        const std::string& command = *sent;
        require(command.compare(0, 4, QUERY_TEXTS[record.query], 4) == 0);
        require(command.size() >= 5 + value.size());
        require(command.compare(command.size() - value.size(), value.size(), value) == 0);
    }
    require(next == records.size());
    return 0;
}
