// The system's own words for a Windows error code, for messages.
#pragma once

#include <string>

namespace k210 {

// The text Windows gives for `error` (a GetLastError code), or "error N".
std::string system_message(unsigned long error);

}  // namespace k210
