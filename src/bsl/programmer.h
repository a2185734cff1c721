// The programmer's actions on the analyzer's bootstrap loader: mass erase,
// program, verify and reset, with progress on standard output.
#pragma once

#include <string>

struct ProgrammerRequest {
    bool erase = false;    // m: mass erase, then the erased device's password
    bool program = false;  // p
    bool verify = false;   // v: read every programmed block back
    bool reset = false;    // r: start the application
    bool invert_dtr = false;
    bool invert_rts = false;
    std::string port_name;   // COM1 to COM9
    std::string image_path;
};

// Runs the requested actions. Returns 0 when all of them succeeded, else 1.
int run_programmer_request(const ProgrammerRequest& request);
