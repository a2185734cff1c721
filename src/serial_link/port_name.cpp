#include "serial_link/port_name.h"

namespace k210 {

std::optional<PortName> PortName::from_text(std::string_view text) {
    if (text.size() != 4 || text.substr(0, 3) != "COM") return std::nullopt;
    return from_digit(text[3]);
}

std::optional<PortName> PortName::from_digit(int digit) {
    if (digit < '1' || digit > '9') return std::nullopt;
    return PortName(digit);
}

}  // namespace k210
