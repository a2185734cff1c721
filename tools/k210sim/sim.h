// k210sim's parts: the line (a pseudo-terminal, the clock and the log), the
// settings command interface of the analyzer, and the bootstrap loader of
// its microcontroller with the pins that start it. Each part is an object;
// main.cpp wires them together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace k210sim {

struct SimOptions {
    std::string dir = ".";
    int port = 3;
    std::string link_path;  // where to link the terminal; default DIR/COMn
    std::string log_path;
    std::string dump_path;   // TI-TXT of the programmed flash, written at exit
    std::string lines_path;  // a FIFO that carries the host's DTR and RTS ("DTR 1")
    bool silent = false;
    int silent_queries = 0;         // the first N queries go unanswered (an analyzer that was off at first)
    int silent_after_queries = -1;  // every query after the first N goes unanswered
    bool switches_left_on = false;  // once the loader has run it keeps the chip until SIGUSR2 (switches off)
    std::string ignored;            // queries never answered, e.g. "MODE" or "MODE,TIME"
    bool slow = false;              // bytes paced at the line rate
    int split_ms = 0;               // the last line of multi-line replies comes this late
    int logo_length = 0;            // the LOGO reply padded to this many bytes, its CR included
    int reply_delay_ms = 20;        // the analyzer's time to start answering
    int vanish_after = -1;          // disappear after this many set commands
    int vanish_after_queries = -1;  // disappear before answering query N + 1
    bool old_unit = false;          // settings live in flash and die with a mass erase
    // The bootstrap loader.
    std::string chip = "F149";           // its identity at 0FF0, e.g. F149, F413
    std::string version = "1.61";        // its version at 0FFA
    std::string pins = "test";           // "test": shared JTAG pins; "tck": dedicated ones
    double erase_ms = -1;                // one mass erase; default 17.2 for 1.10, else 35
    double erase_needs_ms = -1;          // erase the flash needs in all; default 200 for 1.10, else one command
    bool loader_silent = false;          // programming switches off: the loader never answers
    bool loader_no_write_check = false;  // writes are not verified (also below version 1.40)
    bool loader_nak_once = false;        // the first write block is refused once
    bool loader_corrupt_once = false;    // the first block read back is damaged once
    bool loader_bad_sync_once = false;   // the first sync is answered wrongly
    int stop_after_blocks = -1;          // the loader stops answering after so many write blocks
    long bad_cell = -1;                  // a flash cell that does not keep what is written to it
    double adapter_latency_ms = 0;       // the loader's replies reach the host this much later (a USB adapter)
    double usb_latency_ms = 0;           // a USB adapter's latency timer for the loader's replies (0: a bare line)
    bool baud_refuse = false;            // the speed change is refused
    unsigned baud_refuse_at = 0;         // the speed change to this rate is refused
    bool baud_silent = false;            // after acknowledging a speed change it answers no more
};

// The pseudo-terminal that plays the serial port, the clock and the log.
class Line {
  public:
    explicit Line(std::FILE* log);
    bool open(std::string& slave_path);
    void close();
    int master() const { return master_; }
    double elapsed_ms() const;
    static void sleep_ms(double ms);
    void log(const char* kind, const std::string& text) const;
    // Sends bytes at once, or one per character time as a real line would;
    // returns when (elapsed_ms) the last of them was written.
    double transmit(const std::string& bytes, double ms_per_byte) const;
    // As they reach the host through a USB adapter: the adapter passes on
    // what it has received when 62 bytes are waiting, or at the next tick of
    // its latency timer, whichever comes first. Returns as transmit does.
    double transmit_through_usb(const std::string& bytes, double ms_per_byte, double tick_ms) const;
    bool input_pending() const;
    // What the program on the other side has set: its speed, and whether
    // closing the port drops the modem lines (HUPCL).
    unsigned host_baud() const;
    bool host_hangs_up_on_close() const;
    double start_ms() const;  // the log's time zero on the monotonic clock

  private:
    std::FILE* log_;
    int master_ = -1, slave_ = -1;
    timespec start_{};
};

// The analyzer's text interface: settings queries and set commands.
class Analyzer {
  public:
    Analyzer(Line& line, const SimOptions& options);
    void handle_text_line(const std::string& line);
    void restore_factory_settings();
    void log_final_settings() const;
    bool vanished() const { return vanished_; }

  private:
    struct Setting {
        std::string name;
        std::vector<std::string> values;
    };
    void answer_query(const std::string& name);
    std::vector<std::string> reply_lines(const Setting& s) const;
    bool apply_set(const std::string& command);
    Setting* find_setting(const std::string& name);

    Line& line_;
    const SimOptions& options_;
    std::vector<Setting> settings_;
    int queries_answered_ = 0;
    int queries_asked_ = 0;
    int sets_received_ = 0;
    bool vanished_ = false;
};

// The microcontroller's serial bootstrap loader, its flash, and the RST and
// TEST (or TCK) pins that start it. Without the host's modem lines (a plain
// pseudo-terminal) a sync byte starts it, as if the switches did.
class Loader {
  public:
    Loader(Line& line, const SimOptions& options, Analyzer& analyzer);
    bool wants(std::uint8_t first_byte);
    void take(const std::string& bytes, double first_byte_ms);
    // The host's DTR and RTS as they reach the pins through the usual
    // adapter: DTR asserted holds RST high, RTS asserted holds TEST (TCK) low.
    void modem_lines(bool dtr, bool rts);
    // The host asked its adapter's driver for low latency (1 ms ticks), or for its default.
    void host_latency(bool low);
    // The programming switches are turned off (with --switches-left-on): the firmware runs.
    void switches_turned_off();
    bool active() const { return active_; }
    // Logs the flash as programmed, the lines at the close and the turnarounds measured.
    void report() const;

  private:
    void wait_for_the_whole_frame() const;
    void reply(const std::string& bytes, double processing_ms);
    void check_turnaround(double first_byte_ms);
    void handle_frame();
    void take_password(const std::string& data);
    bool take_block(std::uint32_t address, const std::string& data);
    void mass_erase();
    void erase_segment(std::uint32_t address);
    bool write_block(std::uint32_t address, const std::string& data);
    std::string data_frame(std::uint32_t address, std::size_t length);
    bool frame_is_sound() const;
    bool change_speed(std::uint8_t d1, std::uint8_t d2, std::uint8_t d3);
    void enter(const char* how);
    void leave();
    double ms_per_byte() const { return 11000.0 / baud_; }
    unsigned version() const { return version_; }

    Line& line_;
    const SimOptions& options_;
    Analyzer& analyzer_;
    std::vector<std::uint8_t> memory_;
    std::vector<bool> programmed_;
    unsigned version_;     // BCD, e.g. 0x0161
    std::uint8_t family_;  // 0xF1, 0xF2 or 0xF4
    double erase_ms_, erase_needs_ms_, erase_done_ms_ = 0;
    int erase_commands_ = 0;
    bool active_ = false;  // the loader runs, not the analyzer's firmware
    bool unlocked_ = false;
    bool answers_ = true;  // false once a speed change has made it deaf (a fault option)
    unsigned baud_ = 9600;
    double speed_changed_ms_ = -1;
    std::string frame_;  // a frame being received
    double frame_start_ = 0;
    bool nak_pending_, corrupt_pending_, bad_sync_pending_;
    bool synced_ = false;  // the latest sync was acknowledged; the next frame may come
    int blocks_written_ = 0;
    // The pins, when the host's modem lines are known.
    bool pins_known_ = false, reset_high_ = true, entry_pin_high_ = false;
    int entry_edges_ = 0;
    bool host_low_latency_ = false;
    bool entered_once_ = false, switches_off_ = false;
    // The turnaround: when the last byte of the latest reply was written (-1:
    // the host has sent since, or the chip was reset), and each one measured.
    double replied_ms_ = -1;
    std::vector<double> turnarounds_ms_;
};

constexpr double TEXT_MS_PER_BYTE = 10.0 / 9.6;  // 8N1 at 9600 baud

}  // namespace k210sim
