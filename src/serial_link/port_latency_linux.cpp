// Linux: the serial driver's low-latency flag, which the common USB serial
// drivers turn into a latency timer of 1 ms.
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <string>

#include "serial_link/port_latency.h"
#include "serial_link/port_system_posix.h"
#include "serial_link/serial_port.h"

namespace k210 {

namespace {

constexpr int LOW_LATENCY = static_cast<int>(ASYNC_LOW_LATENCY);

}  // namespace

std::string latency_timer_advice() {
    return "set the adapter's latency timer to 1 ms: as root, echo 1 > "
           "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer (your adapter's name for ttyUSB0)";
}

int PortSystem::get_low_latency(int fd, bool& on) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return -1;
    on = has_low_latency(info.flags, LOW_LATENCY);
    return 0;
}

int PortSystem::set_low_latency(int fd, bool on) {
    serial_struct info{};
    if (ioctl(fd, TIOCGSERIAL, &info) != 0) return -1;
    info.flags = with_low_latency(info.flags, LOW_LATENCY, on);
    return ioctl(fd, TIOCSSERIAL, &info);
}

}  // namespace k210
