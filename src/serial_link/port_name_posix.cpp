// COMn on systems without COM names: a COMn link in the working folder
// when the user made one, else the n-th built-in serial port.
#include <sys/stat.h>

#include <string>

#include "serial_link/serial_link.h"

std::string port_device_path(const char* port_name) {
    struct stat entry;
    if (lstat(port_name, &entry) == 0) return port_name;
    const int number = port_name[3] - '0';
    return "/dev/ttyS" + std::to_string(number - 1);
}
