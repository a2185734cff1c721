// A driver's low-latency flag in its word of flags (on Linux the
// ASYNC_LOW_LATENCY bit of a serial line's flags): the port asks for it
// only when it is off, and puts back exactly what it found. Pure functions:
// no I/O here.
#pragma once

namespace k210 {

// Whether `flags` has the `low_latency` bit set.
bool has_low_latency(int flags, int low_latency);

// `flags` with the `low_latency` bit set (`on`) or cleared, every other bit as it was.
int with_low_latency(int flags, int low_latency, bool on);

}  // namespace k210
