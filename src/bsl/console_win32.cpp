#include <io.h>

#include "bsl/console.h"

bool stream_is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }
