#include "bsl/line_check.h"

#include <cstdio>

namespace k210::bsl {

namespace {

// A 32 KiB program and verify: 137 blocks each way, every frame waiting for two replies.
constexpr double FRAMES_OF_A_32K_RUN = 2 * 137;

}  // namespace

LineCheck::LineCheck(const ProgrammerRequest& request, SerialPort& port, RunOutput& output)
    : request_(request), port_(port), output_(output) {}

void LineCheck::say_what_the_line_is() {
    output_.say("check: " + request_.port_name + " is " + port_.device().how);
    if (port_.parity_in_effect()) {
        output_.say("check: even parity: the adapter takes it, as the loader needs");
    } else {
        output_.say(
            "check: even parity: not in effect on a simulated line (a pseudo-terminal, or any port under Wine), which "
            "has none");
    }
}

void LineCheck::say_how_late_replies_come(const LoaderLink& link) {
    const double delay_ms = link.typical_reply_delay_ms();
    const std::string asked = port_.low_latency_in_effect() ? " (low latency was asked for, and taken)"
                                                            : " (low latency is not to be had here)";
    char text[256];
    if (delay_ms < REPLY_DELAY_WORTH_A_NOTE_MS) {
        std::snprintf(text, sizeof text, "check: the loader's replies come %.1f ms late: nothing to lower", delay_ms);
        output_.say(text + asked);
        return;
    }
    std::snprintf(text, sizeof text,
                  "check: the loader's replies reach this computer about %.0f ms late (a USB adapter's latency "
                  "timer, ticks of about %.0f ms), which adds about %.0f s to a 32 KiB program and verify",
                  delay_ms, timer_tick_ms(link.sync_delays_ms()), 2 * FRAMES_OF_A_32K_RUN * delay_ms / 1000);
    output_.say(text + asked + "; " + latency_timer_advice());
}

ActionEnd LineCheck::run() {
    say_what_the_line_is();
    LoaderLink link(port_, request_.invert_dtr, request_.invert_rts);
    LoaderActions actions(link, request_, output_);
    if (actions.enter_loader() != ActionEnd::done || actions.probe_replies(CHECK_PROBES) != ActionEnd::done) {
        failure_ = actions.failure_reason();
        return ActionEnd::failed;
    }
    if (link.pins() == Pins::driven) {
        output_.say(std::string("check: DTR and RTS drive the loader's pins; the ") +
                    (link.entry_pins() == EntryPins::test ? "TEST" : "TCK") + " sequence started it");
    } else {
        output_.say("check: " + request_.port_name +
                    " has no modem lines to drive; the loader answered as it was (the programming switches are on)");
    }
    say_how_late_replies_come(link);
    output_.say(actions.start_firmware() == FirmwareStart::started
                    ? "check: the loader was left with a reset: the analyzer's firmware runs"
                    : "check: " + request_.port_name +
                          " cannot drive RST: the firmware starts when the programming switches are turned off");
    output_.say("check: nothing was erased or written");
    return ActionEnd::done;
}

}  // namespace k210::bsl
