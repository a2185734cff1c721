#include <io.h>

#include "bsl/run_output.h"

namespace k210::bsl {

bool stream_is_terminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

}  // namespace k210::bsl
