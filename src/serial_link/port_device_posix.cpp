// COMn on systems without COM names: a COMn link in the working folder
// when the user made one, else the n-th built-in serial port.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <climits>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial_link/port_name.h"

namespace k210 {

namespace {

std::string link_target(const std::string& link) {
    char target[4096];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* e = readdir(dir))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(dir);
    }
    return names;
}

// ttyUSB2 before ttyUSB10.
bool naturally_before(const std::string& a, const std::string& b) {
    const auto digits = [](const std::string& s) { return s.find_first_of("0123456789"); };
    const std::size_t da = digits(a);
    const std::size_t db = digits(b);
    if (da == std::string::npos || db == std::string::npos || a.compare(0, da, b, 0, db) != 0) return a < b;
    return std::atoi(a.c_str() + da) < std::atoi(b.c_str() + db);
}

// USB adapters first (with the names the system gives them), then the built-in ports.
std::vector<std::string> serial_devices_present(std::string& first_adapter) {
    std::vector<std::string> usb;
    std::vector<std::string> builtin;
    std::vector<std::string> found;
    std::vector<std::string> by_id = entries("/dev/serial/by-id");
    for (std::string& name : entries("/dev")) {
        const bool is_usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0 || name.rfind("cu.", 0) == 0;
        if (is_usb) usb.push_back(name);
        if (name.rfind("ttyS", 0) == 0 && name.size() > 4 && name[4] >= '0' && name[4] <= '9') builtin.push_back(name);
    }
    std::sort(usb.begin(), usb.end(), naturally_before);
    std::sort(builtin.begin(), builtin.end(), naturally_before);
    for (const std::string& name : usb) {
        std::string entry = "/dev/" + name;
        for (const std::string& id : by_id) {
            char target[PATH_MAX];
            if (realpath(("/dev/serial/by-id/" + id).c_str(), target) != nullptr && entry == target)
                entry += " (" + id + ")";
        }
        if (first_adapter.empty()) first_adapter = "/dev/" + name;
        found.push_back(entry);
    }
    if (builtin.size() > 2) {
        found.push_back("/dev/" + builtin.front() + " to /dev/" + builtin.back() + " (built-in ports)");
    } else {
        for (const std::string& name : builtin) found.push_back("/dev/" + name);
    }
    if (first_adapter.empty() && !builtin.empty()) first_adapter = "/dev/" + builtin.front();
    return found;
}

}  // namespace

std::string where_adapters_are(const PortName& port) {
    std::string first;
    const std::vector<std::string> found = serial_devices_present(first);
    if (found.empty()) return "no serial devices found: is the adapter plugged in?";
    std::string text = "serial devices here: ";
    for (std::size_t i = 0; i < found.size(); ++i) text += (i ? ", " : "") + found[i];
    return text + "\nto use " + first + " as " + port.text() + ", link it in this folder:  ln -s " + first + " " +
           port.text();
}

PortDevice port_device(const PortName& port) {
    struct stat entry {};
    if (lstat(port.c_str(), &entry) == 0) {
        const std::string target = S_ISLNK(entry.st_mode) ? link_target(port.text()) : "";
        return {port.text(), "the " + port.text() + " " + (target.empty() ? "file" : "link") + " in this folder" +
                                 (target.empty() ? "" : ", to " + target)};
    }
    const std::string path = "/dev/ttyS" + std::to_string(port.number() - 1);
    return {path, "the system's serial port " + path + " (there is no " + port.text() + " link in this folder)"};
}

}  // namespace k210
