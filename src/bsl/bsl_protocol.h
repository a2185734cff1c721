// Frames of the microcontroller's serial bootstrap loader, and the plan of
// write blocks for an image. Pure functions: no I/O here.
#pragma once

#include <cstdint>
#include <vector>

#include "bsl/ti_txt.h"

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t BSL_SYNC = 0x80;
constexpr std::uint8_t BSL_HEADER = 0x80;
constexpr std::uint8_t BSL_ACK = 0x90;
constexpr std::uint8_t BSL_NAK = 0xA0;

enum BslCommand : std::uint8_t {
    BSL_RX_PASSWORD = 0x10,
    BSL_RX_DATA_BLOCK = 0x12,
    BSL_TX_DATA_BLOCK = 0x14,
    BSL_ERASE_SEGMENT = 0x16,
    BSL_MASS_ERASE = 0x18,
    BSL_LOAD_PC = 0x1A,
    BSL_TX_VERSION = 0x1E,
};

constexpr std::uint16_t MASS_ERASE_KEY = 0xA506;   // sent as LL=06 LH=A5
constexpr std::uint16_t MASS_ERASE_ADDRESS = 0xFF00;
constexpr std::uint16_t VECTORS_ADDRESS = 0xFFE0;  // the 32 bytes that form the password
constexpr std::size_t PASSWORD_SIZE = 32;
constexpr std::size_t MAX_BLOCK = 240;             // data bytes per write or read frame

// The two checksum bytes over `bytes` taken as little-endian 16-bit words:
// CKL = NOT(XOR of the even-indexed bytes), CKH = NOT(XOR of the odd ones).
void bsl_checksum(const std::uint8_t* bytes, std::size_t length, std::uint8_t& low, std::uint8_t& high);

// HDR CMD L1 L2 AL AH LL LH data CKL CKH, with L1 = L2 = 4 + data size.
Bytes make_frame(std::uint8_t command, std::uint16_t address, std::uint16_t length_field,
                 const Bytes& data = {});

// Checks a loader data frame "80 xx n n data CKL CKH" of `expected` data
// bytes and returns its data in `data`.
bool parse_data_frame(const Bytes& frame, std::size_t expected, Bytes& data);

struct WriteBlock {
    std::uint16_t address = 0;  // even
    Bytes bytes;                // even length, at most MAX_BLOCK
    std::vector<bool> from_image;  // false for the 0xFF bytes added for alignment
};

// The image cut into word-aligned blocks of at most MAX_BLOCK bytes; bytes a
// word needs but the image lacks are 0xFF, which leaves flash as it is.
std::vector<WriteBlock> plan_write_blocks(const Image& image);

// The password for an erased device, or the image's own interrupt vectors
// (0xFF where the image has none).
Bytes password_for(const Image& image, bool erased);
