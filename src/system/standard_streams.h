// Standard input, output and error, made valid at start: a program started
// with one of them closed would otherwise hand its number to the next file
// or device it opens (a serial port as standard output gets the dialogue).
#pragma once

namespace k210 {

// Opens the null device for each of them that is closed.
void make_standard_streams_valid();

}  // namespace k210
