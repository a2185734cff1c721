#include "bsl/quote.h"

#include <cstdio>

namespace k210::bsl {

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (std::size_t i = 0; i < text.size() && i < QUOTE_LIMIT; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out + (text.size() > QUOTE_LIMIT ? "...'" : "'");
}

}  // namespace k210::bsl
