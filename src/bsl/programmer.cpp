#include "bsl/programmer.h"

#include <chrono>
#include <utility>

#include "bsl/image_check.h"
#include "bsl/quote.h"
#include "bsl/ti_txt.h"

namespace k210::bsl {

LineSettings loader_line() {
    LineSettings line;
    line.parity = Parity::even;
    line.hang_up_on_close = false;
    line.drain_output_on_close = true;
    line.restore_settings_on_close = true;
    line.low_latency = true;  // every frame waits for two replies, each held up by a USB adapter's timer
    return line;
}

ProgrammerSession::ProgrammerSession(ProgrammerRequest request, std::FILE* out, PortSystem& system)
    : request_(std::move(request)), console_(out), port_(system) {}

// The whole image is read and checked before the port is touched.
bool ProgrammerSession::check_image(FlashImage& image) {
    std::string error;
    if (read_ti_txt(request_.image_path, image, error))
        error = image_problem(image, request_.image_path, request_.erase,
                              (request_.program || request_.verify) && !request_.erase);
    if (error.empty()) return true;
    console_.say("BSL: failed: " + error);
    return false;
}

bool ProgrammerSession::run_actions(LoaderActions& actions, const FlashImage& image, bool& started) const {
    const std::vector<WriteBlock> blocks = plan_write_blocks(image);
    const Bytes password = password_for(image, request_.erase);
    if (!actions.enter_loader()) return false;
    if (request_.erase && !actions.mass_erase()) return false;
    if (request_.program || request_.verify) {
        if (!actions.unlock(password) || !actions.identify()) return false;
        actions.warn_about_known_problems();
        if (!actions.choose_speed(password)) return false;
    }
    if (request_.program || request_.verify)
        actions.note_reply_delay((request_.program ? blocks.size() : 0) + (request_.verify ? blocks.size() : 0));
    if (request_.program && !actions.program(blocks)) return false;
    if (request_.verify && !actions.verify(blocks)) return false;
    started = request_.reset && actions.start_firmware();
    return true;
}

void ProgrammerSession::report_done(const FlashImage& image, double seconds, bool started,
                                    const std::vector<PassRate>& rates) {
    std::string done;
    for (const auto& action : {std::make_pair(request_.erase, "erased"), std::make_pair(request_.program, "programmed"),
                               std::make_pair(request_.verify, "verified"), std::make_pair(started, "started")})
        if (action.first) done += (done.empty() ? "" : ", ") + std::string(action.second);
    char text[256];
    std::snprintf(text, sizeof text, "BSL: done: %s; %s (%zu bytes) on %s in %.1f s", done.c_str(),
                  request_.image_path.c_str(), image.size(), request_.port_name.c_str(), seconds);
    std::string line = text;
    for (std::size_t i = 0; i < rates.size(); ++i) {
        std::snprintf(text, sizeof text, "%s%s %.0f bytes/s", i == 0 ? " (" : ", ", rates[i].action,
                      rates[i].bytes_per_second);
        line += text;
    }
    console_.say(line + (rates.empty() ? "" : ")"));
    if (request_.reset && !started)
        console_.say("BSL: the firmware starts when the programming switches are turned off (" + request_.port_name +
                     " cannot drive RST)");
}

int ProgrammerSession::run() {
    const PortClock::time_point start = port_.now();
    FlashImage image;
    if (!check_image(image)) return 1;
    const std::optional<PortName> port = PortName::from_text(request_.port_name);
    if (!port) {
        console_.say("BSL: failed: bad port " + quoted(request_.port_name) + " (COM1 to COM9)");
        return 1;
    }
    if (port_.open(*port, loader_line(), ReadPolicy{0, 0, static_cast<int>(SYNC_WAIT_MS)}) != OpenStatus::ok) {
        console_.say("BSL: failed: cannot open " + request_.port_name + ": " + port_.failure_reason());
        return 1;
    }
    LoaderLink link(port_, request_.invert_dtr, request_.invert_rts);
    LoaderActions actions(link, request_, console_);
    bool started = false;
    const bool ok = run_actions(actions, image, started);
    // The actions' outcome stands whatever the close reports.
    (void)port_.close();
    if (!ok) {
        console_.end_progress();
        console_.say("BSL: failed: " + actions.failure_reason());
        return 1;
    }
    report_done(image, std::chrono::duration<double>(port_.now() - start).count(), started, actions.pass_rates());
    return 0;
}

}  // namespace k210::bsl
