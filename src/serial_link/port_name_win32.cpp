// COMn by its device form, so that no name is ever misread as a file.
#include <string>

#include "serial_link/serial_link.h"

std::string port_device_path(const char* port_name) { return std::string("\\\\.\\") + port_name; }
