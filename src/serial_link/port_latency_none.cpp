// Systems without a known low-latency request: the line is used as it is.
#include <cerrno>

#include "serial_link/port_system_posix.h"

int PortSystem::get_low_latency(int, bool&) {
    errno = ENOTTY;
    return -1;
}

int PortSystem::set_low_latency(int, bool) {
    errno = ENOTTY;
    return -1;
}
