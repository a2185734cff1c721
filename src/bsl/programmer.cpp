#include "bsl/programmer.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "bsl/bsl_protocol.h"
#include "bsl/console.h"
#include "bsl/ti_txt.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int SYNC_TRIES = 3;
constexpr int SYNC_WAIT_MS = 100;
constexpr int FRAME_TRIES = 4;
constexpr int MASS_ERASE_TOTAL_MS = 200;  // old loaders erase a little per command
constexpr int MASS_ERASE_MAX_COMMANDS = 20;
constexpr double WIRE_MS_PER_BYTE = 11.0 / 9.6;  // 8E1 at 9600 baud

const char* const SILENT_LOADER =
    "no answer from the bootstrap loader: are the programming switches on?";

int reply_wait_ms(std::size_t bytes_on_the_wire) {
    return 1000 + static_cast<int>(static_cast<double>(bytes_on_the_wire) * WIRE_MS_PER_BYTE);
}

const char* acknowledged(const Bytes& reply, std::size_t, Bytes&) {
    if (reply[0] == BSL_ACK) return nullptr;
    return reply[0] == BSL_NAK ? "the bootstrap loader refused a command" : "the bootstrap loader gave a bad reply";
}

const char* sound_data_block(const Bytes& reply, std::size_t length, Bytes& data) {
    return parse_data_frame(reply, length - 6, data) ? nullptr : "the bootstrap loader sent a damaged block";
}

}  // namespace

LineSettings loader_line() {
    LineSettings line;
    line.parity = Parity::even;
    line.drain_output_on_close = true;
    line.restore_settings_on_close = true;
    return line;
}

ProgrammerSession::ProgrammerSession(const ProgrammerRequest& request, std::FILE* out, PortSystem& system)
    : request_(request), out_(out), port_(system) {}

bool ProgrammerSession::output_is_terminal() const { return stream_is_terminal(out_); }

void ProgrammerSession::pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The loader needs a moment after it has sent before it listens again.
void ProgrammerSession::turnaround() { std::this_thread::sleep_for(std::chrono::microseconds(1300)); }

// The lines as the loader sees them, whatever the adapter's polarity.
void ProgrammerSession::set_lines(bool reset_on, bool test_on) {
    // Refused by a device without modem lines; the loader is then entered by hand.
    (void)port_.set_modem_lines(reset_on != request_.invert_dtr, test_on != request_.invert_rts);
}

void ProgrammerSession::enter_loader() {
    set_lines(true, true);
    pause_ms(250);
    set_lines(false, true);
    for (bool on : {true, false, true, false}) {
        set_lines(false, on);
        pause_ms(10);
    }
    set_lines(true, false);
    pause_ms(10);
    set_lines(true, true);
    pause_ms(250);
    port_.discard_input();
}

void ProgrammerSession::start_application() {
    set_lines(true, true);
    pause_ms(250);
    set_lines(false, true);
    pause_ms(10);
    set_lines(true, true);
    pause_ms(250);
}

Bytes ProgrammerSession::read_bytes(std::size_t count, int timeout_ms) {
    port_.set_read_policy(ReadPolicy{0, 0, timeout_ms});
    Bytes got(count);
    const ReadResult r = port_.read(got.data(), count);
    got.resize(r.end == ReadEnd::device_gone ? 0 : r.count);
    return got;
}

bool ProgrammerSession::synchronise() {
    for (int attempt = 0; attempt < SYNC_TRIES; ++attempt) {
        port_.discard_input();
        const Bytes sync = {BSL_SYNC};
        if (port_.write(sync.data(), sync.size()) != WriteStatus::ok) break;
        const Bytes reply = read_bytes(1, SYNC_WAIT_MS);
        if (!reply.empty() && reply[0] == BSL_ACK) {
            turnaround();
            return true;
        }
        failure_ = reply.empty() ? SILENT_LOADER : "the bootstrap loader answered the sync wrongly";
    }
    if (failure_.empty()) failure_ = "cannot write to the port";
    return false;
}

// Sends a frame and reads its reply, retrying a NAK, a bad reply or silence.
bool ProgrammerSession::transact(const Bytes& frame, std::size_t reply_length, ReplyCheck check, Bytes& data) {
    for (int attempt = 0; attempt < FRAME_TRIES; ++attempt) {
        if (!synchronise()) return false;
        if (port_.write(frame.data(), frame.size()) != WriteStatus::ok) break;
        const Bytes reply = read_bytes(reply_length, reply_wait_ms(frame.size() + reply_length));
        if (reply.empty()) {
            failure_ = SILENT_LOADER;
            continue;
        }
        turnaround();
        const char* problem = check(reply, reply_length, data);
        if (!problem) return true;
        failure_ = problem;
    }
    return false;
}

bool ProgrammerSession::exchange(const Bytes& frame) {
    Bytes unused;
    return transact(frame, 1, acknowledged, unused);
}

bool ProgrammerSession::read_block(std::uint16_t address, std::size_t length, Bytes& data) {
    const Bytes frame = make_frame(BSL_TX_DATA_BLOCK, address, static_cast<std::uint16_t>(length));
    return transact(frame, length + 6, sound_data_block, data);
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

bool ProgrammerSession::mass_erase() {
    std::fprintf(out_, "Erasing the flash...\n");
    const Bytes frame = make_frame(BSL_MASS_ERASE, MASS_ERASE_ADDRESS, MASS_ERASE_KEY);
    const auto start = Clock::now();
    for (int i = 0; i < MASS_ERASE_MAX_COMMANDS; ++i) {
        if (!exchange(frame)) return false;
        if (Clock::now() - start >= std::chrono::milliseconds(MASS_ERASE_TOTAL_MS)) break;
    }
    return true;
}

bool ProgrammerSession::send_password(const Image& image) {
    const Bytes frame = make_frame(BSL_RX_PASSWORD, VECTORS_ADDRESS, PASSWORD_SIZE,
                                   password_for(image, request_.erase));
    if (exchange(frame)) return true;
    failure_ = "the bootstrap loader did not accept the password (" + failure_ + ")";
    return false;
}

bool ProgrammerSession::program(const std::vector<WriteBlock>& blocks, std::size_t total) {
    std::size_t done = 0;
    int step = -1;
    for (const WriteBlock& block : blocks) {
        if (!exchange(make_frame(BSL_RX_DATA_BLOCK, block.address,
                                 static_cast<std::uint16_t>(block.bytes.size()), block.bytes))) {
            char where[64];
            std::snprintf(where, sizeof where, " (writing at %04X)", block.address);
            failure_ += where;
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
        if (!read_block(block.address, block.bytes.size(), data)) return false;
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
    enter_loader();
    if (request_.erase && !mass_erase()) return false;
    if ((request_.program || request_.verify) && !send_password(image)) return false;
    if (request_.program && !program(blocks, total)) return false;
    if (request_.verify && !verify(blocks, total)) return false;
    if (request_.reset) {
        std::fprintf(out_, "Starting the analyzer's firmware...\n");
        start_application();
    }
    return true;
}

int ProgrammerSession::run() {
    failure_.clear();
    const auto start = Clock::now();
    Image image;
    std::string error;
    if (!read_ti_txt(request_.image_path, image, error)) {
        std::fprintf(out_, "BSL: failed: %s\n", error.c_str());
        return 1;
    }
    const std::optional<PortName> port = PortName::from_text(request_.port_name);
    if (!port) {
        std::fprintf(out_, "BSL: failed: bad port '%s' (COM1 to COM9)\n", request_.port_name.c_str());
        return 1;
    }
    if (port_.open(*port, loader_line(), ReadPolicy{0, 0, SYNC_WAIT_MS}) != OpenStatus::ok) {
        std::fprintf(out_, "BSL: failed: cannot open %s: %s\n", request_.port_name.c_str(),
                     port_.failure_reason().c_str());
        return 1;
    }
    const bool ok = run_actions(image);
    // Whatever the close reports, the actions' outcome stands.
    (void)port_.close();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) {
        std::fprintf(out_, "%sBSL: failed: %s\n", output_is_terminal() ? "\n" : "", failure_.c_str());
        return 1;
    }
    std::string done;
    for (const auto& action : {std::make_pair(request_.erase, "erased"), std::make_pair(request_.program, "programmed"),
                               std::make_pair(request_.verify, "verified"), std::make_pair(request_.reset, "started")})
        if (action.first) done += (done.empty() ? "" : ", ") + std::string(action.second);
    std::fprintf(out_, "BSL: done: %s; %s (%zu bytes) on %s in %.1f s\n", done.c_str(), request_.image_path.c_str(),
                 image_size(image), request_.port_name.c_str(), seconds);
    return 0;
}
