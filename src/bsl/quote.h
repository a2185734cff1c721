// How a message quotes what it refuses.
#pragma once

#include <string>

namespace k210::bsl {

constexpr std::size_t QUOTE_LIMIT = 32;  // characters of the refused text a message shows

// `text` in single quotes: at most QUOTE_LIMIT characters, then "...", and
// control characters as \xNN, so that a huge token or a stray CR can
// neither flood nor garble the console.
std::string quoted(const std::string& text);

}  // namespace k210::bsl
