// Whether what BSL.EXE was given can be used: its command line, the image
// file, and the image for the actions asked for. The object that refused
// it keeps the reason, in a technician's words.
#pragma once

namespace k210::bsl {

enum class Verdict { ok, refused };

}  // namespace k210::bsl
