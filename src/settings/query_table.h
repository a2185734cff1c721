// The sixteen settings queries, in the order the analyzer is asked. A
// query's index is the command index the restore translator switches on.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace k210 {

constexpr std::size_t QUERY_COUNT = 16;

enum QueryIndex {
    QUERY_LOGO = 0,
    QUERY_VERS = 1,
    QUERY_SRAL = 2,
    QUERY_OPTI = 3,
    QUERY_FACT = 4,
    QUERY_OFFS = 5,
    QUERY_CUST = 6,
    QUERY_MODE = 7,
    QUERY_CORF = 8,
    QUERY_PUMP = 9,
    QUERY_SMOK = 10,
    QUERY_ATOF = 11,
    QUERY_TEFF = 12,
    QUERY_DVLT = 13,
    QUERY_DATE = 14,
    QUERY_TIME = 15,
};

// Each text ends with a carriage return; the first also begins with one.
extern const char* const QUERY_TEXTS[QUERY_COUNT];

// The query a saved line stands for: equal to its text, ignoring the case
// of the letters A to Z only; nothing when it is no query text.
std::optional<QueryIndex> query_index_of(std::string_view line);

}  // namespace k210
