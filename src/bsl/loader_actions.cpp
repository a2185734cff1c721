#include "bsl/loader_actions.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "bsl/run_record.h"

namespace k210::bsl {

namespace {

const char* const SILENT_LOADER = "no answer from the bootstrap loader: are the programming switches on?";

std::string at_address(const char* doing, std::uint16_t address) {
    char where[48];
    std::snprintf(where, sizeof where, " (%s at %04X)", doing, address);
    return where;
}

std::size_t total_bytes(const std::vector<WriteBlock>& blocks) {
    std::size_t total = 0;
    for (const WriteBlock& block : blocks) total += block.bytes.size();
    return total;
}

}  // namespace

double timer_tick_ms(const std::vector<double>& sync_delays_ms) {
    if (sync_delays_ms.empty()) return 0;
    std::vector<double> delays = sync_delays_ms;
    std::sort(delays.begin(), delays.end());
    const std::size_t half = delays.size() / 2;
    const double median = delays.size() % 2 ? delays[half] : (delays[half - 1] + delays[half]) / 2;
    return 2 * (median - delays.front());
}

double erase_time_ms(const std::vector<double>& erase_replies_ms, const std::vector<double>& sync_delays_ms,
                     double frame_ms) {
    if (erase_replies_ms.empty()) return 0;
    const double least_delayed = *std::min_element(erase_replies_ms.begin(), erase_replies_ms.end());
    const double line_ms = sync_delays_ms.empty() ? 0 : *std::min_element(sync_delays_ms.begin(), sync_delays_ms.end());
    const double one_erase = least_delayed - frame_ms - line_ms - timer_tick_ms(sync_delays_ms);
    return static_cast<double>(erase_replies_ms.size()) * std::max(0.0, one_erase);
}

namespace {

// Pauses of 0 to 32 ms, spread evenly, before the syncs of the erases: the
// syncs then meet an adapter's timer at every point of its tick, and their
// delays show how long the tick is.
double phase_ms(std::size_t erase) {
    const double golden = 0.6180339887498949;
    const double fraction = static_cast<double>(erase) * golden;
    return 32 * (fraction - static_cast<double>(static_cast<long>(fraction)));
}

}  // namespace

LoaderActions::LoaderActions(LoaderLink& link, const ProgrammerRequest& request, RunOutput& output)
    : link_(link), request_(request), output_(output) {}

ActionEnd LoaderActions::fail(const std::string& why) {
    failure_ = why;
    return ActionEnd::failed;
}

ActionEnd LoaderActions::enter_loader() {
    if (link_.take_the_pins() == Pins::not_driven) {
        output_.say("loader: " + request_.port_name + " cannot drive DTR and RTS; trying the loader as it is");
        const Reply reply = link_.synchronise();
        if (reply == Reply::ack) return ActionEnd::done;
        return fail(reply == Reply::gone ? link_.failure_reason() : SILENT_LOADER);
    }
    for (EntryPins pins : {EntryPins::test, EntryPins::tck}) {
        const Reply reply = link_.enter(pins);
        if (reply == Reply::gone) return fail(link_.failure_reason());
        if (reply != Reply::ack) continue;
        output_.say(pins == EntryPins::test
                        ? "loader: started with the TEST sequence"
                        : "loader: started with the TCK sequence (a part with dedicated JTAG pins)");
        return ActionEnd::done;
    }
    return fail(std::string(SILENT_LOADER) + " (tried the TEST and the TCK sequence)");
}

ActionEnd LoaderActions::mass_erase() {
    output_.say("Erasing the flash...");
    const Bytes frame = make_frame(BSL_MASS_ERASE, MASS_ERASE_ADDRESS, MASS_ERASE_KEY);
    std::vector<double> replies_ms;
    double erased_ms = 0;
    char text[192];
    flash_changed_ = true;  // from the first erase command on, whatever its answer
    while (erased_ms < MASS_ERASE_TARGET_MS && replies_ms.size() < MASS_ERASE_MAX_COMMANDS) {
        link_.hold_off(phase_ms(replies_ms.size()));
        const Answer answer = link_.command(frame, ERASE_BUSY_MS);
        if (answer.reply != Reply::ack) return fail(link_.failure_reason() + " (mass erase)");
        replies_ms.push_back(answer.latency_ms);
        erased_ms = erase_time_ms(replies_ms, link_.sync_delays_ms(), link_.wire_ms(frame.size() + 1));
        std::snprintf(text, sizeof text, "erase %zu answered %.1f ms after it went out; %.1f ms of erase so far",
                      replies_ms.size(), answer.latency_ms, erased_ms);
        link_.note(text);
    }
    note_erase_figures(link_.wire_ms(frame.size() + 1));
    std::snprintf(text, sizeof text, "Erased: %zu erase command%s, %.1f ms of erase", replies_ms.size(),
                  replies_ms.size() == 1 ? "" : "s", erased_ms);
    output_.say(text);
    if (erased_ms >= MASS_ERASE_NEEDS_MS) return ActionEnd::done;
    const double tick_ms = timer_tick_ms(link_.sync_delays_ms());
    if (tick_ms >= REPLY_DELAY_WORTH_A_NOTE_MS) {
        std::snprintf(text, sizeof text,
                      "note: a timer of the adapter (about %.0f ms) hides how long each erase took; %zu erases "
                      "give the older flash at least %.0f ms",
                      tick_ms, replies_ms.size(), static_cast<double>(replies_ms.size()) * SHORTEST_MASS_ERASE_MS);
        output_.say(text);
    } else {
        output_.say(
            "warning: the loader answered each erase sooner than an erase takes; the flash may be partly "
            "erased (the verify pass finds that)");
    }
    return ActionEnd::done;
}

ActionEnd LoaderActions::unlock(const Bytes& password) {
    const Bytes frame = make_frame(BSL_RX_PASSWORD, VECTORS_ADDRESS, PASSWORD_SIZE, password);
    if (link_.command(frame, COMMAND_BUSY_MS).reply == Reply::ack) return ActionEnd::done;
    return fail("the bootstrap loader did not take the password (" + link_.failure_reason() + ")");
}

ActionEnd LoaderActions::identify() {
    const Answer answer = link_.read_block(IDENTITY_ADDRESS, IDENTITY_SIZE);
    if (answer.reply == Reply::ack) {
        loader_ = identity_from(answer.data);
        output_.say("loader: chip " + loader_.chip() + ", version " + loader_.version_text());
        return ActionEnd::done;
    }
    if (answer.reply != Reply::refused) return fail(link_.failure_reason());
    return fail(request_.erase ? "the bootstrap loader is still locked after the mass erase: the flash was not erased"
                               : "the bootstrap loader is still locked: the password (the image's interrupt vectors, "
                                 "FFE0-FFFF) does not match the firmware on the analyzer; m (mass erase) erases it and "
                                 "unlocks the loader");
}

void LoaderActions::warn_about_known_problems(bool patch_here) {
    if (loader_.version != 0x0110) return;
    output_.say(std::string("warning: loader version 1.10 needs the vendor's patch (PATCH.TXT) to program "
                            "reliably, and this programmer cannot load it") +
                (patch_here ? " (the PATCH.TXT in this folder is not used)" : "") + "; going on" +
                (request_.verify ? ": the verify pass checks every byte" : " without a verify pass: add v"));
}

ActionEnd LoaderActions::choose_speed(const Bytes& password) {
    SpeedSetting setting{};
    std::string why;
    if (request_.max_baud <= 9600) {
        why = "as --speed asks";
    } else if (link_.pins() == Pins::not_driven) {
        // A loader left at a faster rate by a failed run could not be restarted for the next one.
        why = request_.port_name + " cannot drive RST to restart the loader at 9600 baud";
    } else if (!speed_setting_for(loader_, 19200, setting)) {
        why = "loader " + loader_.version_text() + " on " + loader_.chip() + " has no documented faster rate";
    }
    for (unsigned baud : {38400u, 19200u}) {
        if (!why.empty()) break;
        if (baud > request_.max_baud || !speed_setting_for(loader_, baud, setting)) continue;
        const Reply reply = link_.change_speed(setting);
        if (reply == Reply::ack) {
            output_.say("speed: " + std::to_string(baud) + " baud (" +
                        (baud < 38400 && request_.max_baud < 38400 ? "as --speed asks" : "the loader's fastest") + ")");
            return ActionEnd::done;
        }
        if (reply == Reply::refused) {
            output_.say("speed: the loader refused " + std::to_string(baud) + " baud");
            continue;
        }
        if (recover_after_speed_change(password) != ActionEnd::done) return ActionEnd::failed;
        why = "no answer at " + std::to_string(baud) + " baud";
    }
    output_.say("speed: 9600 baud (" + (why.empty() ? std::string("the loader refused the faster rates") : why) + ")");
    return ActionEnd::done;
}

// Back to 9600 baud: the loader may never have changed, or it must be
// started again and unlocked (the password is known: the erased device's,
// or the image's vectors).
ActionEnd LoaderActions::recover_after_speed_change(const Bytes& password) {
    if (link_.return_to_9600() != LineStep::done) return fail(link_.failure_reason());
    if (link_.synchronise() == Reply::ack) return ActionEnd::done;
    output_.say("loader: starting it again at 9600 baud");
    if (link_.enter(link_.entry_pins()) != Reply::ack) return fail(link_.failure_reason());
    return unlock(password);
}

// Each frame waits for two replies (the sync's and its own), each as late as the others.
void LoaderActions::note_reply_delay(std::size_t frames) {
    const double delay_ms = link_.typical_reply_delay_ms();
    if (delay_ms < REPLY_DELAY_WORTH_A_NOTE_MS || noted_delay_) return;
    noted_delay_ = true;
    char text[160];
    std::snprintf(text, sizeof text,
                  "note: the loader's replies reach this computer %.0f ms late (a USB adapter's latency timer%s), "
                  "about %.0f s of this run; ",
                  delay_ms, link_.low_latency() ? ", still after asking for low latency" : "",
                  2.0 * static_cast<double>(frames) * delay_ms / 1000);
    output_.say(text + latency_timer_advice());
}

double LoaderActions::seconds_since(PortClock::time_point start) {
    return std::chrono::duration<double>(link_.now() - start).count();
}

void LoaderActions::finish_pass(const char* action, std::size_t bytes, PortClock::time_point start) {
    const double seconds = seconds_since(start);
    rates_.push_back({action, seconds > 0 ? static_cast<double>(bytes) / seconds : 0});
}

// The figures the erase time is counted from, for the record.
void LoaderActions::note_erase_figures(double frame_ms) {
    const std::vector<double>& syncs = link_.sync_delays_ms();
    if (syncs.empty()) return;
    const auto range = std::minmax_element(syncs.begin(), syncs.end());
    char text[192];
    std::snprintf(text, sizeof text,
                  "erase figures: the frame and its ACK %.1f ms on the wire; sync delays %.1f to %.1f ms; an "
                  "adapter's tick of about %.1f ms taken off each erase",
                  frame_ms, *range.first, *range.second, timer_tick_ms(syncs));
    link_.note(text);
}

ActionEnd LoaderActions::probe_replies(std::size_t probes) {
    for (std::size_t i = 0; i < probes; ++i) {
        link_.hold_off(phase_ms(i));
        const Reply reply = link_.probe();
        if (reply != Reply::ack && reply != Reply::refused) return fail(link_.failure_reason());
    }
    return ActionEnd::done;
}

ActionEnd LoaderActions::program(const std::vector<WriteBlock>& blocks) {
    const std::size_t total = total_bytes(blocks);
    const PortClock::time_point start = link_.now();
    std::size_t done = 0;
    flash_changed_ = flash_changed_ || !blocks.empty();
    for (const WriteBlock& block : blocks) {
        const Bytes frame =
            make_frame(BSL_RX_DATA_BLOCK, block.address, static_cast<std::uint16_t>(block.bytes.size()), block.bytes);
        if (link_.command(frame, WRITE_BUSY_MS).reply != Reply::ack)
            return fail(link_.failure_reason() + at_address("writing", block.address));
        done += block.bytes.size();
        output_.show_progress("Programming", done, total, seconds_since(start));
    }
    finish_pass("programming", total, start);
    return ActionEnd::done;
}

ActionEnd LoaderActions::verify(const std::vector<WriteBlock>& blocks) {
    const std::size_t total = total_bytes(blocks);
    const PortClock::time_point start = link_.now();
    std::size_t done = 0;
    for (const WriteBlock& block : blocks) {
        const Answer answer = link_.read_block(block.address, block.bytes.size());
        if (answer.reply != Reply::ack) return fail(link_.failure_reason() + at_address("reading", block.address));
        for (std::size_t i = 0; i < answer.data.size(); ++i) {
            if (block.from_image[i] && answer.data[i] != block.bytes[i]) {
                char what[96];
                std::snprintf(what, sizeof what, "verify failed at %04zX: read %02X, image has %02X", block.address + i,
                              answer.data[i], block.bytes[i]);
                char where[40];
                std::snprintf(where, sizeof where, "verify mismatch in the block at %04X", block.address);
                link_.note(where + (": the image has " + hex_bytes(block.bytes.data(), block.bytes.size())) +
                           "; read " + hex_bytes(answer.data.data(), answer.data.size()));
                return fail(what);
            }
        }
        done += block.bytes.size();
        output_.show_progress("Verifying", done, total, seconds_since(start));
    }
    finish_pass("verifying", total, start);
    return ActionEnd::done;
}

FirmwareStart LoaderActions::start_firmware() {
    if (link_.pins() == Pins::not_driven) return FirmwareStart::by_the_switches;
    output_.say("Starting the analyzer's firmware...");
    return link_.start_firmware() == LineStep::done ? FirmwareStart::started : FirmwareStart::by_the_switches;
}

}  // namespace k210::bsl
