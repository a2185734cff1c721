// The system's own text for a Windows error code (Windows builds only).
#pragma once

#include <string>

std::string system_message(unsigned long error);
