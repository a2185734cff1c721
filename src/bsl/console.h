// What the programmer's output is connected to.
#pragma once

#include <cstdio>

// True when `stream` is a terminal (progress then updates one line).
bool stream_is_terminal(std::FILE* stream);
