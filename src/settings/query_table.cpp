#include "settings/query_table.h"

namespace k210 {

const char* const QUERY_TEXTS[QUERY_COUNT] = {
    "\rLOGO?\r", "VERS?\r", "SRAL?\r", "OPTI?\r", "FACT?\r", "OFFS?\r", "CUST?\r", "MODE?\r",
    "CORF?\r",   "PUMP?\r", "SMOK?\r", "ATOF?\r", "TEFF?\r", "DVLT?\r", "DATE?\r", "TIME?\r",
};

namespace {

char upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equal_ignoring_case(std::string_view line, std::string_view query) {
    if (line.size() != query.size()) return false;
    for (std::size_t i = 0; i < line.size(); ++i)
        if (upper_ascii(line[i]) != upper_ascii(query[i])) return false;
    return true;
}

}  // namespace

std::optional<QueryIndex> query_index_of(std::string_view line) {
    for (std::size_t i = 0; i < QUERY_COUNT; ++i)
        if (equal_ignoring_case(line, QUERY_TEXTS[i])) return static_cast<QueryIndex>(i);
    return std::nullopt;
}

}  // namespace k210
