// Systems without a known low-latency request: the line is used as it is.
#include <cerrno>
#include <string>

#include "serial_link/port_system_posix.h"
#include "serial_link/serial_port.h"

namespace k210 {

std::string latency_timer_advice() {
    return "set the latency timer of the adapter's driver to 1 ms (in the driver's settings)";
}

int PortSystem::get_low_latency(int, bool&) {
    errno = ENOTTY;
    return -1;
}

int PortSystem::set_low_latency(int, bool) {
    errno = ENOTTY;
    return -1;
}

}  // namespace k210
