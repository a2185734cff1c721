// What the loader may safely be given: an image is checked whole before the
// port is touched, because a mass erase followed by a wrong image leaves an
// analyzer that cannot start, and a wrong password can erase one.
#pragma once

#include <string>

#include "bsl/flash_image.h"
#include "bsl/verdict.h"

namespace k210::bsl {

constexpr std::uint32_t FLASH_START = 0x1000;  // information memory, then main flash up to FFFF
constexpr std::uint32_t RESET_VECTOR = 0xFFFE;

class ImageChecker {
  public:
    // Whether `image` (read from the file `name`) may be programmed with
    // these actions; failure_reason() says why not, in a technician's
    // words with the file name and line. `erase`: m is asked for;
    // `unlock`: the image's vectors will be the password (p or v without m).
    [[nodiscard]] Verdict check(const FlashImage& image, const std::string& name, bool erase, bool unlock);
    const std::string& failure_reason() const { return failure_; }

  private:
    Verdict refuse(const std::string& why);
    std::string failure_;
};

}  // namespace k210::bsl
