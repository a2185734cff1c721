#include "bsl/programmer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <utility>

#include "bsl/bsl_protocol.h"
#include "bsl/console.h"
#include "bsl/image_check.h"
#include "bsl/ti_txt.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SYNC_TRIES = 3;
constexpr double SYNC_WAIT_MS = 100;
constexpr int FRAME_TRIES = 4;
constexpr double TURNAROUND_MS = 1.3;       // the loader needs 1.2 ms after sending before it listens
constexpr double MASS_ERASE_NEEDS_MS = 200;  // the cumulative erase time the older flash needs
// Erase time is measured; on a busy computer a measurement can run a few
// milliseconds long, so a tenth more is asked for. More erasing is harmless.
constexpr double MASS_ERASE_TARGET_MS = 1.1 * MASS_ERASE_NEEDS_MS;
constexpr int MASS_ERASE_MAX_COMMANDS = 30;
// The longest a loader may stay busy before it answers, per operation; a
// retry is never sent before that time has passed.
constexpr double ERASE_BUSY_MS = 2500;
constexpr double WRITE_BUSY_MS = 2500;
constexpr double COMMAND_BUSY_MS = 500;
constexpr double SPEED_SETTLING_MS = 10;  // after the loader acknowledges a new speed

const char* const SILENT_LOADER = "no answer from the bootstrap loader: are the programming switches on?";
const char* const STOPPED_ANSWERING = "the bootstrap loader stopped answering";

const char* acknowledged(const Bytes& reply, std::size_t, Bytes&) {
    if (reply[0] == BSL_ACK) return nullptr;
    return reply[0] == BSL_NAK ? "the bootstrap loader refused the command" : "the bootstrap loader gave a bad reply";
}

const char* sound_data_block(const Bytes& reply, std::size_t length, Bytes& data) {
    if (reply.size() == 1 && reply[0] == BSL_NAK) return "the bootstrap loader refused to read";
    return parse_data_frame(reply, length - 6, data) ? nullptr : "the bootstrap loader sent a damaged block";
}

std::string at_address(const char* doing, std::uint16_t address) {
    char where[48];
    std::snprintf(where, sizeof where, " (%s at %04X)", doing, address);
    return where;
}

}  // namespace

LineSettings loader_line() {
    LineSettings line;
    line.parity = Parity::even;
    line.hang_up_on_close = false;
    line.drain_output_on_close = true;
    line.restore_settings_on_close = true;
    return line;
}

ProgrammerSession::ProgrammerSession(const ProgrammerRequest& request, std::FILE* out, PortSystem& system)
    : request_(request), out_(out), port_(system) {}

bool ProgrammerSession::output_is_terminal() const { return stream_is_terminal(out_); }

void ProgrammerSession::say(const std::string& line) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void ProgrammerSession::pause_ms(double ms) {
    std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
}

void ProgrammerSession::turnaround() { pause_ms(TURNAROUND_MS); }

// 11 bits a byte: start, 8 data, parity, stop.
double ProgrammerSession::wire_ms(std::size_t bytes) const {
    return static_cast<double>(bytes) * 11000.0 / static_cast<double>(baud_);
}

// The pins as the loader sees them, through the usual adapter: DTR asserted
// holds RST high, RTS asserted holds TEST (or TCK) low; the options swap a
// line for an adapter without its inverter.
bool ProgrammerSession::set_pins(bool reset_high, bool entry_pin_high) {
    return port_.set_modem_lines(reset_high != request_.invert_dtr, !entry_pin_high != request_.invert_rts) == PortResult::ok;
}

// Two pulses on the entry pin while RST is low, and the pin away from its
// resting level as RST rises: TEST rests low and pulses high; TCK (parts
// with dedicated JTAG pins) is the opposite.
void ProgrammerSession::run_entry_sequence(Pins pins) {
    const bool rest = pins == Pins::tck;
    // Each call drives lines the probe in enter_loader found working.
    (void)set_pins(true, rest);
    pause_ms(250);
    (void)set_pins(false, rest);
    for (bool level : {rest, !rest, rest, !rest}) {
        (void)set_pins(false, level);
        pause_ms(10);
    }
    (void)set_pins(true, !rest);
    pause_ms(10);
    (void)set_pins(true, rest);
    pause_ms(250);
    port_.discard_input();
}

bool ProgrammerSession::enter_loader() {
    lines_work_ = set_pins(true, false);
    if (!lines_work_) {
        say("loader: " + request_.port_name + " cannot drive DTR and RTS; trying the loader as it is");
        if (synchronise()) return true;
        failure_ = SILENT_LOADER;
        return false;
    }
    for (Pins pins : {Pins::test, Pins::tck}) {
        run_entry_sequence(pins);
        in_sync_ = false;
        if (!synchronise()) continue;
        pins_ = pins;
        say(pins == Pins::test ? "loader: started with the TEST sequence"
                               : "loader: started with the TCK sequence (a part with dedicated JTAG pins)");
        return true;
    }
    failure_ = std::string(SILENT_LOADER) + " (tried the TEST and the TCK sequence)";
    return false;
}

// A pulse on RST with the entry pin at rest: the firmware starts. The lines
// stay so after the programmer ends (the port keeps them at close).
bool ProgrammerSession::start_application() {
    const bool rest = pins_ == Pins::tck;
    if (!set_pins(true, rest)) return false;
    pause_ms(250);
    if (!set_pins(false, rest)) return false;
    pause_ms(10);
    if (!set_pins(true, rest)) return false;
    pause_ms(250);
    return true;
}

ProgrammerSession::Reply ProgrammerSession::read_reply(std::size_t count, double wait_ms) {
    Reply reply;
    const auto start = Clock::now();
    Bytes got(count);
    auto read = [&](std::size_t from, std::size_t n, double ms) {
        port_.set_read_policy(ReadPolicy{0, 0, static_cast<int>(std::ceil(ms))});
        const ReadResult r = port_.read(got.data() + from, n);
        reply.gone = reply.gone || r.end == ReadEnd::device_gone;
        reply.line_error = reply.line_error || r.line_error;
        return reply.gone ? 0 : r.count;
    };
    std::size_t n = read(0, 1, wait_ms);  // the first byte comes when the loader is done
    if (n == 1 && count > 1 && got[0] != BSL_NAK) n += read(1, count - 1, wire_ms(count) + COMMAND_BUSY_MS);
    got.resize(n);
    reply.bytes = got;
    reply.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return reply;
}

// A sync that was acknowledged is followed by a frame, always: a loader
// takes the next 0x80 for the frame's header.
bool ProgrammerSession::synchronise() {
    if (in_sync_) return true;
    for (int attempt = 0; attempt < SYNC_TRIES; ++attempt) {
        port_.discard_input();
        const Bytes sync = {BSL_SYNC};
        if (port_.write(sync.data(), sync.size()) != PortResult::ok) {
            failure_ = "the port failed: " + port_.failure_reason();
            return false;
        }
        const Reply reply = read_reply(1, SYNC_WAIT_MS + wire_ms(2));
        if (!reply.bytes.empty()) shortest_sync_ms_ = std::min(shortest_sync_ms_, reply.ms);
        if (reply.gone) {
            failure_ = "the port went away: " + port_.failure_reason();
            return false;
        }
        if (!reply.bytes.empty() && reply.bytes[0] == BSL_ACK && !reply.line_error) {
            turnaround();
            in_sync_ = true;
            return true;
        }
        failure_ = reply.bytes.empty() ? STOPPED_ANSWERING : "the bootstrap loader answered the sync wrongly";
    }
    return false;
}

// Sends a frame and reads its reply, retrying a refusal, a damaged reply or
// silence; a loader that may still be busy is given its time first.
bool ProgrammerSession::transact(const Bytes& frame, std::size_t reply_length, double busy_ms, ReplyCheck check,
                                 Bytes& data) {
    for (int attempt = 0; attempt < FRAME_TRIES; ++attempt) {
        if (!synchronise()) return false;
        in_sync_ = false;
        if (port_.write(frame.data(), frame.size()) != PortResult::ok) {
            failure_ = "the port failed: " + port_.failure_reason();
            return false;
        }
        const Reply reply = read_reply(reply_length, wire_ms(frame.size() + reply_length) + busy_ms);
        if (reply.gone) {
            failure_ = "the port went away: " + port_.failure_reason();
            return false;
        }
        if (reply.bytes.empty()) {
            failure_ = STOPPED_ANSWERING;
            pause_ms(busy_ms);  // half duplex: never talk over a loader that is still at work
            continue;
        }
        turnaround();
        const char* problem = reply.line_error ? "a reply came with a parity error"
                                               : check(reply.bytes, reply_length, data);
        if (!problem) {
            last_reply_ms_ = reply.ms;
            return true;
        }
        failure_ = problem;
    }
    return false;
}

bool ProgrammerSession::exchange(const Bytes& frame, double busy_ms) {
    Bytes unused;
    return transact(frame, 1, busy_ms, acknowledged, unused);
}

bool ProgrammerSession::read_block(std::uint16_t address, std::size_t length, Bytes& data) {
    const Bytes frame = make_frame(BSL_TX_DATA_BLOCK, address, static_cast<std::uint16_t>(length));
    return transact(frame, length + 6, COMMAND_BUSY_MS, sound_data_block, data);
}

void ProgrammerSession::show_progress(const char* action, std::size_t done, std::size_t total, int& shown_step) {
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (output_is_terminal()) {
        std::fprintf(out_, "\r%-12s %3d%%  %zu / %zu bytes", action, percent, done, total);
        if (done == total) std::fprintf(out_, "\n");
        std::fflush(out_);
    } else if (percent / 10 > shown_step || done == total) {
        shown_step = percent / 10;
        std::fprintf(out_, "%-12s %3d%%  %zu / %zu bytes\n", action, percent, done, total);
        std::fflush(out_);
    }
}

// The older flash erases a little per command; what counts is the erase
// time in all. The loader answers each erase when it is over, so the time
// of one is its reply's latency less the bytes' time on the wire. Delays of
// the adapter and of this computer would count as erase time too; the
// latency of a sync, which takes the loader no time, holds the same delays
// and is taken off, and the shortest latencies seen are the least delayed.
bool ProgrammerSession::mass_erase() {
    say("Erasing the flash...");
    const Bytes frame = make_frame(BSL_MASS_ERASE, MASS_ERASE_ADDRESS, MASS_ERASE_KEY);
    double shortest_reply_ms = 1e9, erased_ms = 0;
    int commands = 0;
    while (erased_ms < MASS_ERASE_TARGET_MS && commands < MASS_ERASE_MAX_COMMANDS) {
        if (!exchange(frame, ERASE_BUSY_MS)) {
            failure_ += " (mass erase)";
            return false;
        }
        ++commands;
        shortest_reply_ms = std::min(shortest_reply_ms, last_reply_ms_);
        const double one_erase = shortest_reply_ms - shortest_sync_ms_ - wire_ms(frame.size() - 1);
        erased_ms = commands * std::max(0.0, one_erase);
    }
    char text[96];
    std::snprintf(text, sizeof text, "Erased: %d erase command%s, %.1f ms of erase", commands, commands == 1 ? "" : "s",
                  erased_ms);
    say(text);
    if (erased_ms < MASS_ERASE_NEEDS_MS)
        say("warning: the loader answered each erase sooner than an erase takes; the flash may be partly erased "
            "(the verify pass finds that)");
    return true;
}

bool ProgrammerSession::unlock(const Image& image) {
    const Bytes frame = make_frame(BSL_RX_PASSWORD, VECTORS_ADDRESS, PASSWORD_SIZE, password_for(image, request_.erase));
    if (exchange(frame, COMMAND_BUSY_MS)) return true;
    failure_ = "the bootstrap loader did not take the password (" + failure_ + ")";
    return false;
}

// The password's ACK says only that its frame was sound: a loader that
// still refuses to read is locked.
bool ProgrammerSession::identify() {
    Bytes data;
    if (read_block(IDENTITY_ADDRESS, IDENTITY_SIZE, data)) {
        loader_ = identity_from(data);
        say("loader: chip " + loader_.chip() + ", version " + loader_.version_text());
        return true;
    }
    if (failure_.find("refused") == std::string::npos) return false;
    failure_ = request_.erase
                   ? "the bootstrap loader is still locked after the mass erase: the flash was not erased"
                   : "the bootstrap loader is still locked: the password (the image's interrupt vectors, FFE0-FFFF) "
                     "does not match the firmware on the analyzer; m (mass erase) erases it and unlocks the loader";
    return false;
}

void ProgrammerSession::warn_about_known_problems() {
    if (loader_.version != 0x0110) return;
    std::FILE* patch = std::fopen("PATCH.TXT", "rb");
    if (patch) std::fclose(patch);
    say(std::string("warning: loader version 1.10 needs the vendor's patch (PATCH.TXT) to program reliably, and "
                    "this programmer cannot load it") +
        (patch ? " (the PATCH.TXT in this folder is not used)" : "") + "; going on" +
        (request_.verify ? ": the verify pass checks every byte" : " without a verify pass: add v"));
}

bool ProgrammerSession::try_speed(const SpeedSetting& setting, bool& refused) {
    refused = false;
    const Bytes frame = speed_frame(setting);
    if (!synchronise()) return false;
    in_sync_ = false;
    if (port_.write(frame.data(), frame.size()) != PortResult::ok) return false;
    const Reply reply = read_reply(1, wire_ms(frame.size() + 1) + COMMAND_BUSY_MS);
    if (reply.gone || reply.bytes.empty()) return false;
    turnaround();
    refused = reply.bytes[0] == BSL_NAK;
    if (reply.bytes[0] != BSL_ACK) return false;
    pause_ms(SPEED_SETTLING_MS);
    if (port_.drain() != PortResult::ok || port_.set_speed(setting.baud) != PortResult::ok) return false;
    baud_ = setting.baud;
    return synchronise();  // the frame that follows is the next command's
}

// Back to 9600 baud: the loader may never have changed, or it may have to
// be started again and unlocked (the password is known: the erased
// device's, or the image's vectors).
bool ProgrammerSession::recover_after_speed_change(const Image& image) {
    if (baud_ != 9600 && port_.set_speed(9600) != PortResult::ok) {
        failure_ = "cannot set the port back to 9600 baud: " + port_.failure_reason();
        return false;
    }
    baud_ = 9600;
    in_sync_ = false;
    if (synchronise()) return true;
    if (!lines_work_) {
        failure_ = "the bootstrap loader no longer answers after the speed change, and " + request_.port_name +
                   " cannot restart it";
        return false;
    }
    say("loader: starting it again at 9600 baud");
    run_entry_sequence(pins_);
    in_sync_ = false;
    return synchronise() && unlock(image);
}

// The fastest documented rate the loader and --speed allow; false only when
// the loader was lost on the way and could not be had back.
bool ProgrammerSession::choose_speed(const Image& image) {
    SpeedSetting setting;
    std::string why;
    if (request_.max_baud <= 9600) {
        why = "as --speed asks";
    } else if (!lines_work_) {
        // A loader left at a faster rate by a failed run could not be restarted for the next one.
        why = request_.port_name + " cannot drive RST to restart the loader at 9600 baud";
    } else if (!speed_setting_for(loader_, 19200, setting)) {
        why = "loader " + loader_.version_text() + " on " + loader_.chip() + " has no documented faster rate";
    }
    for (unsigned baud : {38400u, 19200u}) {
        if (!why.empty()) break;
        if (baud > request_.max_baud || !speed_setting_for(loader_, baud, setting)) continue;
        bool refused = false;
        if (try_speed(setting, refused)) {
            say("speed: " + std::to_string(baud) + " baud (" +
                (baud < 38400 && request_.max_baud < 38400 ? "as --speed asks" : "the loader's fastest") + ")");
            return true;
        }
        if (refused) {
            say("speed: the loader refused " + std::to_string(baud) + " baud");
            continue;
        }
        if (!recover_after_speed_change(image)) return false;
        why = "no answer at " + std::to_string(baud) + " baud";
    }
    say("speed: 9600 baud (" + (why.empty() ? std::string("the loader refused the faster rates") : why) + ")");
    return true;
}

bool ProgrammerSession::program(const std::vector<WriteBlock>& blocks, std::size_t total) {
    std::size_t done = 0;
    int step = -1;
    for (const WriteBlock& block : blocks) {
        if (!exchange(make_frame(BSL_RX_DATA_BLOCK, block.address, static_cast<std::uint16_t>(block.bytes.size()),
                                 block.bytes),
                      WRITE_BUSY_MS)) {
            failure_ += at_address("writing", block.address);
            return false;
        }
        done += block.bytes.size();
        show_progress("Programming", done, total, step);
    }
    return true;
}

bool ProgrammerSession::verify(const std::vector<WriteBlock>& blocks, std::size_t total) {
    std::size_t done = 0;
    int step = -1;
    for (const WriteBlock& block : blocks) {
        Bytes data;
        if (!read_block(block.address, block.bytes.size(), data)) {
            failure_ += at_address("reading", block.address);
            return false;
        }
        for (std::size_t i = 0; i < data.size(); ++i) {
            if (block.from_image[i] && data[i] != block.bytes[i]) {
                char what[96];
                std::snprintf(what, sizeof what, "verify failed at %04zX: read %02X, image has %02X",
                              block.address + i, data[i], block.bytes[i]);
                failure_ = what;
                return false;
            }
        }
        done += block.bytes.size();
        show_progress("Verifying", done, total, step);
    }
    return true;
}

bool ProgrammerSession::run_actions(const Image& image) {
    const std::vector<WriteBlock> blocks = plan_write_blocks(image);
    std::size_t total = 0;
    for (const WriteBlock& block : blocks) total += block.bytes.size();
    if (!enter_loader()) return false;
    if (request_.erase && !mass_erase()) return false;
    if (request_.program || request_.verify) {
        if (!unlock(image) || !identify()) return false;
        warn_about_known_problems();
        if (!choose_speed(image)) return false;
    }
    if (request_.program && !program(blocks, total)) return false;
    if (request_.verify && !verify(blocks, total)) return false;
    if (request_.reset && lines_work_) {
        say("Starting the analyzer's firmware...");
        started_ = start_application();
    }
    return true;
}

bool ProgrammerSession::check_image(Image& image) {
    std::string error;
    int last_line = 0;
    if (read_ti_txt(request_.image_path, image, error, &last_line))
        error = image_problem(image, request_.image_path, last_line, request_.erase,
                              (request_.program || request_.verify) && !request_.erase);
    if (error.empty()) return true;
    say("BSL: failed: " + error);
    return false;
}

void ProgrammerSession::report_done(const Image& image, double seconds) {
    std::string done;
    for (const auto& action : {std::make_pair(request_.erase, "erased"), std::make_pair(request_.program, "programmed"),
                               std::make_pair(request_.verify, "verified"), std::make_pair(started_, "started")})
        if (action.first) done += (done.empty() ? "" : ", ") + std::string(action.second);
    char text[256];
    std::snprintf(text, sizeof text, "BSL: done: %s; %s (%zu bytes) on %s in %.1f s", done.c_str(),
                  request_.image_path.c_str(), image_size(image), request_.port_name.c_str(), seconds);
    say(text);
    if (request_.reset && !started_)
        say("BSL: the firmware starts when the programming switches are turned off (" + request_.port_name +
            " cannot drive RST)");
}

int ProgrammerSession::run() {
    failure_.clear();
    const auto start = Clock::now();
    Image image;
    if (!check_image(image)) return 1;
    const std::optional<PortName> port = PortName::from_text(request_.port_name);
    if (!port) {
        say("BSL: failed: bad port '" + request_.port_name + "' (COM1 to COM9)");
        return 1;
    }
    if (port_.open(*port, loader_line(), ReadPolicy{0, 0, static_cast<int>(SYNC_WAIT_MS)}) != OpenStatus::ok) {
        say("BSL: failed: cannot open " + request_.port_name + ": " + port_.failure_reason());
        return 1;
    }
    const bool ok = run_actions(image);
    // The actions' outcome stands whatever the close reports.
    (void)port_.close();
    if (!ok) {
        std::fprintf(out_, "%s", output_is_terminal() ? "\n" : "");
        say("BSL: failed: " + failure_);
        return 1;
    }
    report_done(image, std::chrono::duration<double>(Clock::now() - start).count());
    return 0;
}
