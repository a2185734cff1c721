// What BSL.EXE is asked to do, from its command line.
#pragma once

#include <string>

namespace k210::bsl {

struct ProgrammerRequest {
    bool erase = false;    // m: mass erase, then the erased device's password
    bool program = false;  // p
    bool verify = false;   // v: read every programmed block back
    bool reset = false;    // r: start the application
    bool invert_dtr = false;
    bool invert_rts = false;
    unsigned max_baud = 38400;  // the fastest rate to try (--speed)
    std::string port_name;      // COM1 to COM9
    std::string image_path;
};

}  // namespace k210::bsl
