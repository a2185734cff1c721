// What BSL.EXE is asked to do, read from its command line:
//   BSL.EXE [options] +LETTERS -cCOMn IMAGE
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bsl/verdict.h"

namespace k210::bsl {

struct ProgrammerRequest {
    bool check = false;    // --check: the cable, the adapter and the switches, nothing erased or written
    bool erase = false;    // m: mass erase, then the erased device's password
    bool program = false;  // p
    bool verify = false;   // v: read every programmed block back
    bool reset = false;    // r: start the application
    bool invert_dtr = false;
    bool invert_rts = false;
    unsigned max_baud = 38400;  // the fastest rate to try (--speed)
    std::string port_name;      // COM1 to COM9
    std::string image_path;
    std::string log_path = "BSL.LOG";  // the record of the run (--log); "-": none
    std::string arguments;             // as given, for the record
};

extern const char* const USAGE;  // for a command line that was refused
extern const char* const HELP;   // what --help prints after the usage line

// Sets the action of each letter of "mpvr"; refused for an empty set or any other letter.
[[nodiscard]] Verdict take_action_letters(const std::string& letters, ProgrammerRequest& request);

class CommandLine {
  public:
    enum class Asked { run, help, version };

    // Reads the arguments after the program's name. --version anywhere
    // answers alone; --help answers after the rest is read; otherwise the
    // letters, the port and the image must all be there.
    [[nodiscard]] Verdict parse(const std::vector<std::string>& arguments);
    Asked asked() const { return asked_; }
    const ProgrammerRequest& request() const { return request_; }
    // What is wrong, quoting at most a few dozen characters of it.
    const std::string& failure_reason() const { return failure_; }
    // The exit status when the command line alone ends the run (help,
    // version, or refused); nothing when the actions are to run.
    std::optional<int> exit_status(Verdict verdict) const;

  private:
    [[nodiscard]] Verdict take(const std::vector<std::string>& arguments, std::size_t& i);
    [[nodiscard]] Verdict take_operand(const std::string& argument);
    Verdict refuse(const std::string& why);

    Asked asked_ = Asked::run;
    ProgrammerRequest request_;
    bool letters_given_ = false;
    std::string failure_;
};

}  // namespace k210::bsl
