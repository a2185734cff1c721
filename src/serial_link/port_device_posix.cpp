// COMn on systems without COM names: a COMn link in the working folder
// when the user made one, else the n-th built-in serial port.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "serial_link/port_name.h"

namespace {

std::string link_target(const std::string& link) {
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

PortDevice port_device(const PortName& port) {
    struct stat entry;
    if (lstat(port.c_str(), &entry) == 0) {
        const std::string target = S_ISLNK(entry.st_mode) ? link_target(port.text()) : "";
        return {port.text(), "the " + port.text() + " " + (target.empty() ? "file" : "link") +
                                 " in this folder" + (target.empty() ? "" : ", to " + target)};
    }
    const std::string path = "/dev/ttyS" + std::to_string(port.number() - 1);
    return {path, "the system's serial port " + path + " (there is no " + port.text() + " link in this folder)"};
}
