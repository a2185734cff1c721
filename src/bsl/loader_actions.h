// The programmer's actions on the analyzer's bootstrap loader, over the
// loader link: start it, mass erase, unlock, identify, choose the speed,
// program, verify and start the firmware, saying what they do on the
// console. An action that fails returns false and keeps the reason, in a
// technician's words, for failure_reason().
#pragma once

#include <string>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "bsl/console.h"
#include "bsl/loader_link.h"
#include "bsl/request.h"

constexpr double MASS_ERASE_NEEDS_MS = 200;  // the cumulative erase time the older flash needs
// A measurement on a busy computer can run a few milliseconds long, so a
// tenth more is asked for; more erasing is harmless.
constexpr double MASS_ERASE_TARGET_MS = 1.1 * MASS_ERASE_NEEDS_MS;
constexpr std::size_t MASS_ERASE_MAX_COMMANDS = 30;

// The erase time the flash has had from mass erases whose replies came
// `erase_replies_ms` after their frames went out. The loader answers an
// erase when it is over, so one erase lasted its reply's latency less the
// line's own delays (`sync_ms`, the latency of a sync, which costs the
// loader no time) and less the erase frame's time on the wire beyond the
// sync's (`frame_ms`). Delays only ever add, so the least delayed reply counts.
[[nodiscard]] double erase_time_ms(const std::vector<double>& erase_replies_ms, double sync_ms, double frame_ms);

class LoaderActions {
  public:
    LoaderActions(LoaderLink& link, const ProgrammerRequest& request, Console& console);

    // Starts the loader: the TEST sequence, then the TCK one; on a port
    // without modem lines, the loader as it is.
    [[nodiscard]] bool enter_loader();
    // Mass erases until the flash has had MASS_ERASE_TARGET_MS of erase.
    [[nodiscard]] bool mass_erase();
    // Sends the password; its ACK only says the frame was sound.
    [[nodiscard]] bool unlock(const Bytes& password);
    // Reads the chip and the loader's version; a refusal means still locked.
    [[nodiscard]] bool identify();
    // A warning for loaders with known problems (version 1.10).
    void warn_about_known_problems();
    // The fastest documented rate the loader, the port and --speed allow;
    // false only when the loader was lost on the way and could not be had back.
    [[nodiscard]] bool choose_speed(const Bytes& password);
    [[nodiscard]] bool program(const std::vector<WriteBlock>& blocks);
    [[nodiscard]] bool verify(const std::vector<WriteBlock>& blocks);
    // False when the port cannot drive RST (or failed to): the firmware then
    // starts when the programming switches are turned off.
    [[nodiscard]] bool start_firmware();

    const LoaderIdentity& loader() const { return loader_; }
    const std::string& failure_reason() const { return failure_; }

  private:
    bool fail(const std::string& why);
    bool recover_after_speed_change(const Bytes& password);

    LoaderLink& link_;
    const ProgrammerRequest& request_;
    Console& console_;
    LoaderIdentity loader_;
    std::string failure_;
};
