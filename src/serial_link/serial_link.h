// The one serial line to the analyzer: open, send, timed read, close.
// The link state lives in this module for the life of the process; each
// platform provides its own implementation file behind this header.
#pragma once

#include <cstddef>
#include <string>

// Port status codes returned by open_port and close_port.
enum PortStatus {
    PORT_OK = 0,
    PORT_OPEN_FAILED = 2,    // no device, busy, not a serial line, or setup refused
    PORT_SETTINGS_REFUSED = 3,
    PORT_CLOSE_FAILED = 4,   // also returned when the link is not open
};

// Status of send_command.
enum SendStatus {
    SEND_OK = 0,
    SEND_FAILED = 1,  // the write failed or did not take every byte
};

// Reply read limit used by the capture pass and the time-out formula.
constexpr std::size_t REPLY_LIMIT = 256;
// Read time-outs: gap after the latest byte, and total = per byte x limit + constant.
constexpr int READ_INTERVAL_MS = 250;
constexpr int READ_TOTAL_PER_BYTE_MS = 10;
constexpr int READ_TOTAL_CONSTANT_MS = 1000;

// Device path that the port name "COMn" stands for on this system.
std::string port_device_path(const char* port_name);

int open_port(const char* port_name);

// Drops waiting input, then writes all bytes. Returns SEND_OK or SEND_FAILED.
int send_command(const char* bytes, std::size_t length);

// One timed read of at most limit bytes into buffer (limit + 1 bytes long).
// Returns the count read, NUL-terminated; 0 with an empty text when nothing
// came in time; 0 with the buffer untouched when the read failed.
std::size_t read_reply(char* buffer, std::size_t limit);

int close_port();

// Why the latest open failed, for the user: the device path, the system's
// reason and a hint. Empty after a successful open.
std::string port_failure_reason();
