// macOS: the serial family's receive latency (IOSSDATALAT, in microseconds),
// whose default 0 means a delay of about 85 characters. It cannot be read,
// so it reads as that default, which is what close puts back.
#include <IOKit/serial/ioss.h>
#include <sys/ioctl.h>

#include <string>

#include "serial_link/port_system_posix.h"
#include "serial_link/serial_port.h"

namespace k210 {

std::string latency_timer_advice() {
    return "set the latency timer of the adapter's driver to 1 ms (in the driver's settings)";
}

int PortSystem::get_low_latency(int, bool& on) {
    on = false;
    return 0;
}

int PortSystem::set_low_latency(int fd, bool on) {
    unsigned long microseconds = on ? 1000 : 0;
    return ioctl(fd, IOSSDATALAT, &microseconds);
}

}  // namespace k210
