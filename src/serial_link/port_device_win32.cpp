// COMn by its device form, so that no name is ever misread as a file.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial_link/port_name.h"

namespace k210 {

PortDevice port_device(const PortName& port) { return {R"(\\.\)" + port.text(), "the system's port " + port.text()}; }

namespace {

// The COM names the system knows, in number order.
std::vector<int> com_numbers_present() {
    std::vector<char> names(65536);
    const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    std::vector<int> numbers;
    for (DWORD at = 0; at < length && names[at];) {
        const std::string name = names.data() + at;
        if (name.size() > 3 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "com") == 0) &&
            name.find_first_not_of("0123456789", 3) == std::string::npos)
            numbers.push_back(std::atoi(name.c_str() + 3));
        at += static_cast<DWORD>(name.size()) + 1;
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

}  // namespace

std::string where_adapters_are(const PortName&) {
    const std::vector<int> numbers = com_numbers_present();
    if (numbers.empty()) return "no COM ports found: is the adapter plugged in?";
    std::string text = "COM ports on this system:";
    for (int n : numbers) text += " COM" + std::to_string(n);
    if (numbers.back() > 9)
        text +=
            "\na port above COM9 cannot be chosen: in Device Manager, Ports, the adapter, Port Settings, "
            "Advanced, give it a COM Port Number from 1 to 9";
    return text;
}

}  // namespace k210
