#include "bsl/programmer.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "bsl/bsl_link.h"
#include "bsl/bsl_protocol.h"
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

ProgrammerRequest g_request;
std::string g_failure;  // why the latest exchange failed

void turnaround() { std::this_thread::sleep_for(std::chrono::microseconds(1300)); }

// The lines as the loader sees them, whatever the adapter's polarity.
void set_reset_line(bool on) { bsl_set_dtr(on != g_request.invert_dtr); }
void set_test_line(bool on) { bsl_set_rts(on != g_request.invert_rts); }

void enter_loader() {
    set_reset_line(true);
    set_test_line(true);
    bsl_pause_ms(250);
    set_reset_line(false);
    for (bool on : {true, false, true, false}) {
        set_test_line(on);
        bsl_pause_ms(10);
    }
    set_reset_line(true);
    bsl_pause_ms(10);
    set_test_line(true);
    bsl_pause_ms(250);
    bsl_discard_input();
}

void start_application() {
    set_reset_line(true);
    set_test_line(true);
    bsl_pause_ms(250);
    set_reset_line(false);
    bsl_pause_ms(10);
    set_reset_line(true);
    bsl_pause_ms(250);
}

int reply_wait_ms(std::size_t bytes_on_the_wire) {
    return 1000 + static_cast<int>(static_cast<double>(bytes_on_the_wire) * WIRE_MS_PER_BYTE);
}

bool synchronise() {
    for (int attempt = 0; attempt < SYNC_TRIES; ++attempt) {
        bsl_discard_input();
        if (!bsl_write({BSL_SYNC})) break;
        const Bytes reply = bsl_read(1, SYNC_WAIT_MS);
        if (!reply.empty() && reply[0] == BSL_ACK) {
            turnaround();
            return true;
        }
        g_failure = reply.empty() ? SILENT_LOADER : "the bootstrap loader answered the sync wrongly";
    }
    if (g_failure.empty()) g_failure = "cannot write to the port";
    return false;
}

// What is wrong with a loader reply, or nullptr when it is the one wanted
// (a data block's bytes then go to `data`).
using ReplyCheck = const char* (*)(const Bytes& reply, std::size_t length, Bytes& data);

const char* acknowledged(const Bytes& reply, std::size_t, Bytes&) {
    if (reply[0] == BSL_ACK) return nullptr;
    return reply[0] == BSL_NAK ? "the bootstrap loader refused a command" : "the bootstrap loader gave a bad reply";
}

const char* sound_data_block(const Bytes& reply, std::size_t length, Bytes& data) {
    return parse_data_frame(reply, length - 6, data) ? nullptr : "the bootstrap loader sent a damaged block";
}

// Sends a frame and reads its reply, retrying a NAK, a bad reply or silence.
bool transact(const Bytes& frame, std::size_t reply_length, ReplyCheck check, Bytes& data) {
    for (int attempt = 0; attempt < FRAME_TRIES; ++attempt) {
        if (!synchronise()) return false;
        if (!bsl_write(frame)) break;
        const Bytes reply = bsl_read(reply_length, reply_wait_ms(frame.size() + reply_length));
        if (reply.empty()) {
            g_failure = SILENT_LOADER;
            continue;
        }
        turnaround();
        const char* problem = check(reply, reply_length, data);
        if (!problem) return true;
        g_failure = problem;
    }
    return false;
}

bool exchange(const Bytes& frame) {
    Bytes unused;
    return transact(frame, 1, acknowledged, unused);
}

bool read_block(std::uint16_t address, std::size_t length, Bytes& data) {
    const Bytes frame = make_frame(BSL_TX_DATA_BLOCK, address, static_cast<std::uint16_t>(length));
    return transact(frame, length + 6, sound_data_block, data);
}

void show_progress(const char* action, std::size_t done, std::size_t total, int& shown_step) {
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    if (bsl_output_is_terminal()) {
        std::printf("\r%-12s %3d%%  %zu / %zu bytes", action, percent, done, total);
        if (done == total) std::printf("\n");
        std::fflush(stdout);
    } else if (percent / 10 > shown_step || done == total) {
        shown_step = percent / 10;
        std::printf("%-12s %3d%%  %zu / %zu bytes\n", action, percent, done, total);
        std::fflush(stdout);
    }
}

bool mass_erase() {
    std::printf("Erasing the flash...\n");
    const Bytes frame = make_frame(BSL_MASS_ERASE, MASS_ERASE_ADDRESS, MASS_ERASE_KEY);
    const auto start = Clock::now();
    for (int i = 0; i < MASS_ERASE_MAX_COMMANDS; ++i) {
        if (!exchange(frame)) return false;
        if (Clock::now() - start >= std::chrono::milliseconds(MASS_ERASE_TOTAL_MS)) break;
    }
    return true;
}

bool send_password(const Image& image) {
    const Bytes frame = make_frame(BSL_RX_PASSWORD, VECTORS_ADDRESS, PASSWORD_SIZE,
                                   password_for(image, g_request.erase));
    if (exchange(frame)) return true;
    g_failure = "the bootstrap loader did not accept the password (" + g_failure + ")";
    return false;
}

bool program(const std::vector<WriteBlock>& blocks, std::size_t total) {
    std::size_t done = 0;
    int step = -1;
    for (const WriteBlock& block : blocks) {
        if (!exchange(make_frame(BSL_RX_DATA_BLOCK, block.address,
                                 static_cast<std::uint16_t>(block.bytes.size()), block.bytes))) {
            char where[64];
            std::snprintf(where, sizeof where, " (writing at %04X)", block.address);
            g_failure += where;
            return false;
        }
        done += block.bytes.size();
        show_progress("Programming", done, total, step);
    }
    return true;
}

bool verify(const std::vector<WriteBlock>& blocks, std::size_t total) {
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
                g_failure = what;
                return false;
            }
        }
        done += block.bytes.size();
        show_progress("Verifying", done, total, step);
    }
    return true;
}

bool run_actions(const Image& image) {
    const std::vector<WriteBlock> blocks = plan_write_blocks(image);
    std::size_t total = 0;
    for (const WriteBlock& block : blocks) total += block.bytes.size();
    enter_loader();
    if (g_request.erase && !mass_erase()) return false;
    if ((g_request.program || g_request.verify) && !send_password(image)) return false;
    if (g_request.program && !program(blocks, total)) return false;
    if (g_request.verify && !verify(blocks, total)) return false;
    if (g_request.reset) {
        std::printf("Starting the analyzer's firmware...\n");
        start_application();
    }
    return true;
}

}  // namespace

int run_programmer_request(const ProgrammerRequest& request) {
    g_request = request;
    g_failure.clear();
    const auto start = Clock::now();
    Image image;
    std::string error;
    if (!read_ti_txt(request.image_path, image, error)) {
        std::printf("BSL: failed: %s\n", error.c_str());
        return 1;
    }
    if (!bsl_open(request.port_name.c_str(), error)) {
        std::printf("BSL: failed: cannot open %s: %s\n", request.port_name.c_str(), error.c_str());
        return 1;
    }
    const bool ok = run_actions(image);
    bsl_close();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!ok) {
        std::printf("%sBSL: failed: %s\n", bsl_output_is_terminal() ? "\n" : "", g_failure.c_str());
        return 1;
    }
    std::string done;
    for (const auto& action : {std::make_pair(request.erase, "erased"), std::make_pair(request.program, "programmed"),
                               std::make_pair(request.verify, "verified"), std::make_pair(request.reset, "started")})
        if (action.first) done += (done.empty() ? "" : ", ") + std::string(action.second);
    std::printf("BSL: done: %s; %s (%zu bytes) on %s in %.1f s\n", done.c_str(), request.image_path.c_str(),
                image_size(image), request.port_name.c_str(), seconds);
    return 0;
}
