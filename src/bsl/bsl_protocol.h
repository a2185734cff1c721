// Frames of the microcontroller's serial bootstrap loader, and the plan of
// write blocks for an image. Pure functions: no I/O here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bsl/flash_image.h"

namespace k210::bsl {

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
    BSL_CHANGE_BAUD = 0x20,
};

constexpr std::uint16_t MASS_ERASE_KEY = 0xA506;  // sent as LL=06 LH=A5
constexpr std::uint16_t MASS_ERASE_ADDRESS = 0xFF00;
constexpr std::uint16_t VECTORS_ADDRESS = 0xFFE0;  // the 32 bytes that form the password
constexpr std::size_t PASSWORD_SIZE = 32;
constexpr std::size_t MAX_BLOCK = 240;              // data bytes per write or read frame
constexpr std::uint16_t IDENTITY_ADDRESS = 0x0FF0;  // 16 bytes of the boot ROM: chip at 0FF0, version at 0FFA
constexpr std::size_t IDENTITY_SIZE = 16;

// The two checksum bytes over `bytes` taken as little-endian 16-bit words:
// CKL = NOT(XOR of the even-indexed bytes), CKH = NOT(XOR of the odd ones).
void bsl_checksum(const std::uint8_t* bytes, std::size_t length, std::uint8_t& low, std::uint8_t& high);

// HDR CMD L1 L2 AL AH LL LH data CKL CKH, with L1 = L2 = 4 + data size.
Bytes make_frame(std::uint8_t command, std::uint16_t address, std::uint16_t length_field, const Bytes& data = {});

// Checks a loader data frame "80 xx n n data CKL CKH" of `expected` data
// bytes and returns its data in `data`.
bool parse_data_frame(const Bytes& frame, std::size_t expected, Bytes& data);

struct WriteBlock {
    std::uint16_t address = 0;     // even
    Bytes bytes;                   // even length, at most MAX_BLOCK
    std::vector<bool> from_image;  // false for the 0xFF bytes added for alignment
};

// The image cut into word-aligned blocks of at most MAX_BLOCK bytes; bytes a
// word needs but the image lacks are 0xFF, which leaves flash as it is.
std::vector<WriteBlock> plan_write_blocks(const FlashImage& image);

// The password for an erased device, or the image's own interrupt vectors
// (0xFF where the image has none).
Bytes password_for(const FlashImage& image, bool erased);

// The chip and loader version, from the boot ROM's last 16 bytes.
struct LoaderIdentity {
    std::uint8_t chip_high = 0, chip_low = 0;  // e.g. F1 49 for an F149
    unsigned version = 0;                      // BCD, e.g. 0x0161 for 1.61
    std::string chip() const;                  // "F149"
    std::string version_text() const;          // "1.61"
};
LoaderIdentity identity_from(const Bytes& boot_rom_top);

// The speed change: D3 picks 9600, 19200 or 38400 baud; D1 and D2 set the
// processor clock for it (F1xx: DCOCTL, BCSCTL1; F4xx: SCFI0, SCFI1).
struct SpeedSetting {
    unsigned baud;
    std::uint8_t d1, d2, d3;
};
// The documented setting for this loader at `baud`, if it has one: from
// version 1.60 (and below 2.00) on F1xx and F4xx parts.
bool speed_setting_for(const LoaderIdentity& loader, unsigned baud, SpeedSetting& setting);
// The change-baud-rate frame: D1 in AL, D2 in AH, D3 in LL.
Bytes speed_frame(const SpeedSetting& setting);

}  // namespace k210::bsl
