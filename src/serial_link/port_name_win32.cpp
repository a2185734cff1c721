// COMn by its device form, so that no name is ever misread as a file.
#include <windows.h>

#include <string>

#include "serial_link/serial_link.h"
#include "serial_link/win32_message.h"

std::string port_device_path(const char* port_name) { return std::string("\\\\.\\") + port_name; }

std::string system_message(unsigned long error) {
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                   sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}
