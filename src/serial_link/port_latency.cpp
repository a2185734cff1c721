#include "serial_link/port_latency.h"

namespace k210 {

bool has_low_latency(int flags, int low_latency) { return (flags & low_latency) != 0; }

int with_low_latency(int flags, int low_latency, bool on) { return on ? flags | low_latency : flags & ~low_latency; }

}  // namespace k210
