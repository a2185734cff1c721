// The programmer's serial line: 9600 baud 8E1, raw, exclusive, with the DTR
// and RTS lines under the programmer's control. Platform file per system.
#pragma once

#include <cstddef>
#include <string>

#include "bsl/bsl_protocol.h"

// Opens COMn (mapped as k210prog maps it). Returns false with a reason.
bool bsl_open(const char* port_name, std::string& error);

// Puts back the line settings found at open, and frees the port.
void bsl_close();

bool bsl_write(const Bytes& bytes);

// Reads until `count` bytes have come or `timeout_ms` has passed in all.
Bytes bsl_read(std::size_t count, int timeout_ms);

void bsl_discard_input();

// Raises or drops a modem line; devices without modem lines ignore it.
void bsl_set_dtr(bool on);
void bsl_set_rts(bool on);

void bsl_pause_ms(int ms);

// True when standard output is a terminal (progress then updates one line).
bool bsl_output_is_terminal();
