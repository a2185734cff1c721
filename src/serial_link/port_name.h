// Port names COM1 to COM9 and the devices they stand for on this system.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace k210 {

class PortName {
  public:
    // "COM1" to "COM9", nothing else.
    [[nodiscard]] static std::optional<PortName> from_text(std::string_view text);
    // The digit typed at the port prompt, '1' to '9'.
    [[nodiscard]] static std::optional<PortName> from_digit(int digit);

    const std::string& text() const { return text_; }
    const char* c_str() const { return text_.c_str(); }
    int number() const { return text_[3] - '0'; }

  private:
    explicit PortName(int digit) : text_{'C', 'O', 'M', static_cast<char>(digit)} {}
    std::string text_;
};

// Where COMn leads: the path opened, and how it was chosen, for the user.
struct PortDevice {
    std::string path;
    std::string how;  // e.g. "the COM3 link in this folder, to /dev/ttyUSB0"
};

// Looks the port name up as this system names its devices (see the README).
PortDevice port_device(const PortName& port);

// For a user looking for the adapter: the serial devices this system has,
// and how to make one of them `port` (one or two lines, no final line end).
std::string where_adapters_are(const PortName& port);

}  // namespace k210
