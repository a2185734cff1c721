// The programmer's actions on the analyzer's bootstrap loader: mass erase,
// program, verify and reset, with progress on its output.
#pragma once

#include <cstdio>
#include <string>

#include "bsl/bsl_protocol.h"
#include "serial_link/serial_port.h"

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

// The loader's line: 9600 baud 8E1, DTR and RTS under the programmer's control.
LineSettings loader_line();

// One programming session: the request, the port it owns and why the
// latest exchange failed. Progress and the last line go to `out`.
class ProgrammerSession {
  public:
    explicit ProgrammerSession(const ProgrammerRequest& request, std::FILE* out = stdout,
                               PortSystem& system = real_port_system());
    // Runs the requested actions. Returns 0 when all of them succeeded, else 1.
    [[nodiscard]] int run();

  private:
    bool run_actions(const Image& image);
    void enter_loader();
    void start_application();
    void set_lines(bool reset_on, bool test_on);
    void pause_ms(int ms);
    void turnaround();
    Bytes read_bytes(std::size_t count, int timeout_ms);
    bool synchronise();
    using ReplyCheck = const char* (*)(const Bytes& reply, std::size_t length, Bytes& data);
    bool transact(const Bytes& frame, std::size_t reply_length, ReplyCheck check, Bytes& data);
    bool exchange(const Bytes& frame);
    bool read_block(std::uint16_t address, std::size_t length, Bytes& data);
    void show_progress(const char* action, std::size_t done, std::size_t total, int& shown_step);
    bool mass_erase();
    bool send_password(const Image& image);
    bool program(const std::vector<WriteBlock>& blocks, std::size_t total);
    bool verify(const std::vector<WriteBlock>& blocks, std::size_t total);
    bool output_is_terminal() const;

    ProgrammerRequest request_;
    std::FILE* out_;
    SerialPort port_;
    std::string failure_;  // why the latest exchange failed
};
