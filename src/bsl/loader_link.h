// The line to the analyzer's bootstrap loader: starting it with the modem
// lines, the sync before every frame, frames with their retries, block
// reads and the speed change. Every exchange ends in a typed Reply; why the
// latest one failed is kept as text, for the user only. Every wait and
// every clock reading goes through the port, so a test can hold each
// timing rule on a fake clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "serial_link/serial_port.h"

namespace k210::bsl {

enum class Reply {
    ack,      // acknowledged; for a block read, its data came sound
    refused,  // NAK
    damaged,  // a wrong or damaged reply, or one with a parity error
    silent,   // no reply in time
    gone,     // the port failed, or the device went away
};

struct Answer {
    Reply reply = Reply::silent;
    Bytes data;             // a block read's data, when acknowledged
    double latency_ms = 0;  // from the frame's first byte out to the reply's last byte in
};

// The pin that starts the loader together with RST: TEST on parts with
// shared JTAG pins, TCK on parts with dedicated ones.
enum class EntryPins { test, tck };

// Whether the port drives the loader's pins (a pseudo-terminal has no modem lines).
enum class Pins { driven, not_driven };

// The outcome of a step on the line that is no exchange with the loader.
enum class LineStep { done, failed };

// The longest the loader may work on a command before it answers. A frame
// that got no answer is not sent again before this time has passed once more:
// the line is half duplex, and a loader still at work must not be talked over.
constexpr double ERASE_BUSY_MS = 2500;
constexpr double WRITE_BUSY_MS = 2500;
constexpr double COMMAND_BUSY_MS = 500;

constexpr double TURNAROUND_MS = 1.3;     // the loader listens 1.2 ms after it has sent
constexpr double SPEED_SETTLING_MS = 10;  // its clock settles after it acknowledges a new speed
constexpr double SYNC_WAIT_MS = 100;      // for the answer to a sync
constexpr int SYNC_TRIES = 3;
constexpr int FRAME_TRIES = 4;

class LoaderLink {
  public:
    // `port` is open with loader_line(); its owner closes it. The options
    // swap DTR or RTS for an adapter without an inverter on that line.
    LoaderLink(SerialPort& port, bool invert_dtr, bool invert_rts);

    // Holds RST high with the entry pin low. not_driven when the port cannot
    // drive DTR and RTS (a pseudo-terminal): the loader is then used as it is.
    [[nodiscard]] Pins take_the_pins();
    // Runs the entry sequence for `pins`, then syncs; on ack the loader runs
    // and entry_pins() says which sequence started it.
    [[nodiscard]] Reply enter(EntryPins pins);
    // A pulse on RST with the entry pin at rest: the firmware starts, and
    // stays running past the close.
    [[nodiscard]] LineStep start_firmware();

    // The sync byte and the loader's ACK, up to SYNC_TRIES times (never
    // refused: a wrong answer is damaged). After an ack a frame must follow:
    // the loader takes the next 0x80 for the frame's header.
    [[nodiscard]] Reply synchronise();
    // Sends `frame` after a sync and waits for its ACK, up to FRAME_TRIES
    // times; `busy_ms` is how long the loader may work on it.
    [[nodiscard]] Answer command(const Bytes& frame, double busy_ms);
    // Reads `length` bytes (even, at most MAX_BLOCK) at `address` (even).
    [[nodiscard]] Answer read_block(std::uint16_t address, std::size_t length);
    // Asks once for the chip's identity without a password: a locked loader
    // refuses it, which changes nothing, and the refusal and the sync
    // before it show how late the loader's replies come.
    [[nodiscard]] Reply probe();
    // Asks for the speed once. On its ACK the loader's clock is given time to
    // settle, the port moves to the new speed and a sync there follows: ack
    // only when it was answered. refused: the loader stays at its speed.
    [[nodiscard]] Reply change_speed(const SpeedSetting& setting);
    // Moves the port back to 9600 baud, where a restarted loader listens.
    [[nodiscard]] LineStep return_to_9600();

    Pins pins() const { return pins_driven_; }
    EntryPins entry_pins() const { return pins_; }
    unsigned baud() const { return baud_; }
    // How long `bytes` take on the wire at the present speed.
    double wire_ms(std::size_t bytes) const;
    // How late each answer to a sync came, less its bytes' time on the wire:
    // the delays of the adapter and of this computer, which cost the loader
    // no time.
    const std::vector<double>& sync_delays_ms() const { return sync_delays_ms_; }
    // How late the loader's replies reach this computer, on average (a USB
    // adapter's timer delays some little and some a whole tick); 0 before any.
    double typical_reply_delay_ms() const;
    // Nothing is sent for `ms` from now (on top of the turnaround).
    void hold_off(double ms) { keep_quiet_for(ms); }
    // Whether the port got the low latency its line asks for.
    bool low_latency() const { return port_.low_latency_in_effect(); }
    PortClock::time_point now() { return port_.now(); }
    // A note in the record of the run, beside the bytes on the line.
    void note(const std::string& text) { port_.note(text); }
    const std::string& failure_reason() const { return failure_; }

  private:
    struct Received {
        Bytes bytes;
        bool gone = false;
        bool line_error = false;
    };
    enum class Expect { ack, data_block };

    PortResult set_pins(bool reset_high, bool entry_pin_high);
    void run_entry_sequence(EntryPins pins);
    void pause(double ms);
    void keep_quiet_for(double ms);
    [[nodiscard]] PortResult send(const Bytes& bytes, bool drop_late_input);
    Received receive(std::size_t count, double first_byte_ms);
    double ms_since_sent();
    Answer exchange(const Bytes& frame, Expect expect, std::size_t length, double busy_ms, int tries);
    Answer send_frame(const Bytes& frame, Expect expect, std::size_t length, double busy_ms);
    Answer judge(const Received& got, Expect expect, std::size_t length);
    Reply fail(Reply reply, const std::string& why);

    SerialPort& port_;
    bool invert_dtr_, invert_rts_;
    Pins pins_driven_ = Pins::not_driven;
    EntryPins pins_ = EntryPins::test;
    unsigned baud_ = 9600;
    bool in_sync_ = false;               // a sync was acknowledged: a frame must come next
    PortClock::time_point quiet_until_;  // nothing is sent before this
    PortClock::time_point sent_at_;      // when the latest sync or frame went out
    std::vector<double> sync_delays_ms_;
    std::string failure_;
};

}  // namespace k210::bsl
