// k210sim's parts: the settings command interface of the analyzer, the
// bootstrap loader of its microcontroller, and the pseudo-terminal between.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct SimOptions {
    std::string dir = ".";
    int port = 3;
    std::string link_path;         // where to link the terminal; default DIR/COMn
    std::string log_path;
    std::string dump_path;         // TI-TXT of the programmed flash, written at exit
    bool silent = false;
    bool silent_after_first = false;
    bool slow = false;             // bytes paced at the line rate
    int split_ms = 0;              // the last line of multi-line replies comes this late
    bool long_reply = false;       // the first reply is longer than 256 bytes
    int reply_delay_ms = 20;       // the analyzer's time to start answering
    int vanish_after = -1;         // disappear after this many set commands
    int vanish_after_queries = -1; // disappear after answering this many queries
    bool old_unit = false;         // settings live in flash and die with a mass erase
    bool loader_silent = false;    // programming switches off: the loader never answers
    bool loader_no_write_check = false;  // an old loader: writes are not verified
    bool loader_nak_once = false;  // the first write block is refused once
    bool loader_corrupt_once = false;    // the first block read back is damaged once
};

extern SimOptions g_options;
extern volatile int g_stop;

// Shared services of main.cpp.
void log_line(const char* kind, const std::string& text);
double elapsed_ms();
void transmit(int fd, const std::string& bytes, double ms_per_byte);
void sleep_ms(double ms);

// The analyzer's text interface (analyzer.cpp).
void load_profile();
void restore_factory_settings();
void handle_text_line(int fd, const std::string& line);
void log_final_settings();

// The bootstrap loader (loader.cpp). loader_take returns false when the
// bytes are not for the loader (the analyzer's firmware is running).
void loader_init();
bool loader_wants(std::uint8_t first_byte);
void loader_take(int fd, const std::string& bytes, double first_byte_ms);
void loader_report();

constexpr double TEXT_MS_PER_BYTE = 10.0 / 9.6;    // 8N1 at 9600 baud
constexpr double LOADER_MS_PER_BYTE = 11.0 / 9.6;  // 8E1 at 9600 baud
