// The programmer's actions on the analyzer's bootstrap loader: mass erase,
// program, verify and reset, with progress on its output.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "serial_link/serial_port.h"

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

// The loader's line: 9600 baud 8E1, DTR and RTS under the programmer's
// control and kept as they are left when the port closes, so the analyzer
// stays out of reset once the programmer has ended.
LineSettings loader_line();

// One programming session: the request, the port it owns, what it found
// out about the loader, and why the latest exchange failed. Progress and
// the last line go to `out`.
class ProgrammerSession {
  public:
    explicit ProgrammerSession(const ProgrammerRequest& request, std::FILE* out = stdout,
                               PortSystem& system = real_port_system());
    // Runs the requested actions. Returns 0 when all of them succeeded, else 1.
    [[nodiscard]] int run();

  private:
    enum class Pins { test, tck };  // which pin starts the loader with RST
    struct Reply {
        Bytes bytes;
        bool gone = false;        // the port failed
        bool line_error = false;  // a byte came with a parity error
        double ms = 0;            // from the frame's first byte out to the reply's last byte in
    };
    using ReplyCheck = const char* (*)(const Bytes& reply, std::size_t length, Bytes& data);

    bool check_image(Image& image);
    bool run_actions(const Image& image);
    bool set_pins(bool reset_high, bool entry_pin_high);
    void run_entry_sequence(Pins pins);
    bool enter_loader();
    bool start_application();
    void pause_ms(double ms);
    void turnaround();
    double wire_ms(std::size_t bytes) const;
    Reply read_reply(std::size_t count, double wait_ms);
    bool synchronise();
    bool transact(const Bytes& frame, std::size_t reply_length, double busy_ms, ReplyCheck check, Bytes& data);
    bool exchange(const Bytes& frame, double busy_ms);
    bool read_block(std::uint16_t address, std::size_t length, Bytes& data);
    void show_progress(const char* action, std::size_t done, std::size_t total, int& shown_step);
    bool mass_erase();
    bool unlock(const Image& image);
    bool identify();
    void warn_about_known_problems();
    bool choose_speed(const Image& image);
    bool try_speed(const SpeedSetting& setting, bool& refused);
    bool recover_after_speed_change(const Image& image);
    bool program(const std::vector<WriteBlock>& blocks, std::size_t total);
    bool verify(const std::vector<WriteBlock>& blocks, std::size_t total);
    void say(const std::string& line);
    void report_done(const Image& image, double seconds);
    bool output_is_terminal() const;

    ProgrammerRequest request_;
    std::FILE* out_;
    SerialPort port_;
    std::string failure_;         // why the latest exchange failed
    bool lines_work_ = false;     // the port can drive DTR and RTS
    Pins pins_ = Pins::test;
    LoaderIdentity loader_;
    unsigned baud_ = 9600;
    bool started_ = false;        // the firmware was started by the reset
    bool in_sync_ = false;        // a sync was acknowledged: a frame must come next
    double last_reply_ms_ = 0;
    double shortest_sync_ms_ = 1e9;  // the quickest answer to a sync: the line's own delay
};
