// Arbitrary image files: rejected with a line number and a short message,
// or read into an image that writes back to an image that reads the same.
#include <cstdlib>
#include <string>

#include "bsl/ti_txt.h"
#include "fuzz_target.h"

using namespace k210;
using namespace k210::bsl;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    FlashImage image;
    FlashImage again;
    ImageReader reader;
    if (reader.parse(text, "F.TXT", image) != Verdict::ok) {
        const std::string& error = reader.failure_reason();
        require(error.compare(0, 6, "F.TXT:") == 0);
        const long line = std::strtol(error.c_str() + 6, nullptr, 10);
        require(line >= 0 && line <= static_cast<long>(size) + 1);
        require(image.empty());
        require(error.size() < 200);  // a message quotes only a little of what it refuses
        return 0;
    }
    require(reader.parse(write_ti_txt(image), "G.TXT", again) == Verdict::ok);
    require(again == image);
    return 0;
}
