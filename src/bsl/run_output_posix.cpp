#include <unistd.h>

#include "bsl/run_output.h"

namespace k210::bsl {

bool stream_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

}  // namespace k210::bsl
