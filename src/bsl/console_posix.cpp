#include <unistd.h>

#include "bsl/console.h"

bool stream_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }
