// What the loader may safely be given: an image is checked whole before the
// port is touched, because a mass erase followed by a wrong image leaves an
// analyzer that cannot start, and a wrong password can erase one.
#pragma once

#include <string>

#include "bsl/ti_txt.h"

constexpr std::uint32_t FLASH_START = 0x1000;  // information memory, then main flash up to FFFF
constexpr std::uint32_t RESET_VECTOR = 0xFFFE;

// Why `image` (read from `name`, whose last line is `last_line`) must not
// be programmed with these actions, in a technician's words with the file
// name and line; empty when it may. `erase`: m is asked for; `unlock`: the
// image's vectors will be the password (p or v without m).
std::string image_problem(const Image& image, const std::string& name, int last_line, bool erase, bool unlock);
