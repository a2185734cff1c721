// What system this is, for a record of a run.
#pragma once

#include <string>

namespace k210 {

// For example "Linux 6.1.0-18-amd64 x86_64" or "Windows 10.0.19045 (under Wine 8.0)".
std::string system_description();

}  // namespace k210
