// The programmer's actions on the analyzer's bootstrap loader, over the
// loader link: start it, mass erase, unlock, identify, choose the speed,
// program, verify and start the firmware, saying what they do on the
// programmer's output. An action that fails keeps the reason, in a
// technician's words, for failure_reason().
#pragma once

#include <string>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "bsl/loader_link.h"
#include "bsl/request.h"
#include "bsl/run_output.h"

namespace k210::bsl {

constexpr double MASS_ERASE_NEEDS_MS = 200;  // the cumulative erase time the older flash needs
// A measurement on a busy computer can run a few milliseconds long, so a
// tenth more is asked for; more erasing is harmless.
constexpr double MASS_ERASE_TARGET_MS = 1.1 * MASS_ERASE_NEEDS_MS;
constexpr std::size_t MASS_ERASE_MAX_COMMANDS = 30;
constexpr double SHORTEST_MASS_ERASE_MS = 17.2;  // one command on the version 1.10 parts, the shortest documented
// Replies later than this, typically, are worth a note: a USB adapter's
// latency timer, not the line or this computer.
constexpr double REPLY_DELAY_WORTH_A_NOTE_MS = 4;

enum class ActionEnd { done, failed };

// How the firmware comes to run after programming.
enum class FirmwareStart {
    started,          // BSL.EXE reset the analyzer into it
    by_the_switches,  // it starts when the programming switches are turned off: no RST here
};

// A pass over the image and how fast it went.
struct PassRate {
    const char* action;  // "programming", "verifying"
    double bytes_per_second;
};

// How long a USB adapter may hold a reply back, as the syncs' delays show it:
// its timer's tick spreads them evenly, so twice their median above their
// least. 0 on a line without such a timer.
[[nodiscard]] double timer_tick_ms(const std::vector<double>& sync_delays_ms);

// The erase time the flash has had from mass erases whose replies came
// `erase_replies_ms` after their frames went out. The loader answers an
// erase when it is over, so one erase lasted its reply's latency less the
// bytes' time on the wire (`frame_ms`, the frame and its ACK) and less the
// line's own delay. Delays only ever add, so the least delayed reply counts,
// less the least delay of a sync (`sync_delays_ms`, which cost the loader
// no time). A USB adapter passes replies on at the ticks of its timer, so a
// reply can come up to a tick late whatever the least delay was: the tick
// is taken off too. What is left is never more than the erase really had.
[[nodiscard]] double erase_time_ms(const std::vector<double>& erase_replies_ms,
                                   const std::vector<double>& sync_delays_ms, double frame_ms);

class LoaderActions {
  public:
    LoaderActions(LoaderLink& link, const ProgrammerRequest& request, RunOutput& output);

    // Starts the loader: the TEST sequence, then the TCK one; on a port
    // without modem lines, the loader as it is.
    [[nodiscard]] ActionEnd enter_loader();
    // Mass erases until the flash has had MASS_ERASE_TARGET_MS of erase.
    [[nodiscard]] ActionEnd mass_erase();
    // Sends the password; its ACK only says the frame was sound.
    [[nodiscard]] ActionEnd unlock(const Bytes& password);
    // Reads the chip and the loader's version; a refusal means still locked.
    [[nodiscard]] ActionEnd identify();
    // A warning for loaders with known problems (version 1.10);
    // `patch_here`: a PATCH.TXT is in the working folder.
    void warn_about_known_problems(bool patch_here);
    // The fastest documented rate the loader, the port and --speed allow;
    // failed only when the loader was lost on the way and could not be had back.
    [[nodiscard]] ActionEnd choose_speed(const Bytes& password);
    // Once, before the first pass: when the loader's replies come late, what
    // that costs the `frames` still to come and how to lower it here.
    void note_reply_delay(std::size_t frames);
    // Asks the loader `probes` harmless questions, spread over an adapter's
    // tick, to measure how late its replies come (for the check).
    [[nodiscard]] ActionEnd probe_replies(std::size_t probes);
    // Whether an erase or a write was sent: the flash may no longer hold a firmware that starts.
    bool flash_changed() const { return flash_changed_; }
    [[nodiscard]] ActionEnd program(const std::vector<WriteBlock>& blocks);
    [[nodiscard]] ActionEnd verify(const std::vector<WriteBlock>& blocks);
    const std::vector<PassRate>& pass_rates() const { return rates_; }
    // by_the_switches when the port cannot drive RST (or failed to).
    [[nodiscard]] FirmwareStart start_firmware();

    const LoaderIdentity& loader() const { return loader_; }
    const std::string& failure_reason() const { return failure_; }

  private:
    ActionEnd fail(const std::string& why);
    void note_erase_figures(double frame_ms);
    ActionEnd recover_after_speed_change(const Bytes& password);
    double seconds_since(PortClock::time_point start);
    void finish_pass(const char* action, std::size_t bytes, PortClock::time_point start);

    LoaderLink& link_;
    const ProgrammerRequest& request_;
    RunOutput& output_;
    LoaderIdentity loader_;
    std::vector<PassRate> rates_;
    bool noted_delay_ = false;
    bool flash_changed_ = false;
    std::string failure_;
};

}  // namespace k210::bsl
