#include "bsl/programmer.h"

#include <chrono>
#include <utility>

#include "bsl/image_check.h"
#include "bsl/line_check.h"
#include "bsl/quote.h"
#include "bsl/ti_txt.h"
#include "system/system_name.h"

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

int exit_status(SessionEnd end) { return end == SessionEnd::succeeded ? 0 : 1; }

ProgrammerSession::ProgrammerSession(ProgrammerRequest request, std::FILE* out, PortSystem& system, FileSystem& files)
    : request_(std::move(request)),
      files_(files),
      record_(files, stderr, [this] { return port_.now(); }),
      output_(out, &record_),
      port_(system) {}

SessionEnd ProgrammerSession::fail(const std::string& why, bool flash_changed) {
    output_.say("BSL: failed: " + why +
                (flash_changed ? "; the analyzer's flash is erased (or partly programmed): it will not start until it "
                                 "is programmed; run again"
                               : "; nothing was erased"));
    return SessionEnd::failed;
}

void ProgrammerSession::start_the_record() {
    record_.start(request_.log_path);
    record_.line("BSL.EXE " K210_VERSION ": " + request_.arguments);
    record_.line("system: " + system_description());
    port_.trace_to(&record_);
}

// The whole image is read and checked before the port is touched.
Verdict ProgrammerSession::read_image(FlashImage& image) {
    ImageReader reader;
    if (reader.read(files_, request_.image_path, image) != Verdict::ok) {
        (void)fail(reader.failure_reason());
        return Verdict::refused;
    }
    ImageChecker checker;
    const bool unlocks = (request_.program || request_.verify) && !request_.erase;
    if (checker.check(image, request_.image_path, request_.erase, unlocks) != Verdict::ok) {
        (void)fail(checker.failure_reason());
        return Verdict::refused;
    }
    std::size_t largest = 0;
    const std::vector<WriteBlock> blocks = plan_write_blocks(image);
    for (const WriteBlock& block : blocks) largest = std::max(largest, block.bytes.size());
    record_.line("image: " + request_.image_path + ", " + std::to_string(image.size()) + " bytes in " +
                 std::to_string(image.runs().size()) + " sections; " + std::to_string(blocks.size()) +
                 " write blocks of at most " + std::to_string(largest) + " bytes");
    return Verdict::ok;
}

// Each action stops the run at its first failure; the actions keep the reason.
ActionEnd ProgrammerSession::run_actions(LoaderActions& actions, const FlashImage& image, FirmwareStart& start) {
    const std::vector<WriteBlock> blocks = plan_write_blocks(image);
    const Bytes password = password_for(image, request_.erase);
    const bool passes = request_.program || request_.verify;
    if (actions.enter_loader() != ActionEnd::done) return ActionEnd::failed;
    if (request_.erase && actions.mass_erase() != ActionEnd::done) return ActionEnd::failed;
    if (passes) {
        if (actions.unlock(password) != ActionEnd::done || actions.identify() != ActionEnd::done)
            return ActionEnd::failed;
        actions.warn_about_known_problems(files_.kind_of("PATCH.TXT") != FileKind::missing);
        if (actions.choose_speed(password) != ActionEnd::done) return ActionEnd::failed;
        actions.note_reply_delay((request_.program ? blocks.size() : 0) + (request_.verify ? blocks.size() : 0));
    }
    if (request_.program && actions.program(blocks) != ActionEnd::done) return ActionEnd::failed;
    if (request_.verify && actions.verify(blocks) != ActionEnd::done) return ActionEnd::failed;
    if (request_.reset) start = actions.start_firmware();
    return ActionEnd::done;
}

void ProgrammerSession::report_done(const FlashImage& image, double seconds, FirmwareStart start,
                                    const std::vector<PassRate>& rates) {
    const bool started = start == FirmwareStart::started;
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
    output_.say(line + (rates.empty() ? "" : ")"));
    if (request_.reset && !started)
        output_.say("BSL: the firmware starts when the programming switches are turned off (" + request_.port_name +
                    " cannot drive RST)");
}

// The actions on the open port; the last line says how they ended.
SessionEnd ProgrammerSession::program(const FlashImage& image, PortClock::time_point start) {
    LoaderLink link(port_, request_.invert_dtr, request_.invert_rts);
    LoaderActions actions(link, request_, output_);
    FirmwareStart firmware = FirmwareStart::by_the_switches;
    const ActionEnd done = run_actions(actions, image, firmware);
    (void)port_.close();  // the actions' outcome stands whatever the close reports
    if (done != ActionEnd::done) {
        output_.end_progress();
        return fail(actions.failure_reason(), actions.flash_changed());
    }
    report_done(image, std::chrono::duration<double>(port_.now() - start).count(), firmware, actions.pass_rates());
    return SessionEnd::succeeded;
}

SessionEnd ProgrammerSession::run() {
    start_the_record();
    const PortClock::time_point start = port_.now();
    FlashImage image;
    if (!request_.check && read_image(image) != Verdict::ok) return SessionEnd::failed;
    const std::optional<PortName> port = PortName::from_text(request_.port_name);
    if (!port) return fail("bad port " + quoted(request_.port_name) + " (COM1 to COM9)");
    if (port_.open(*port, loader_line(), ReadPolicy{0, 0, static_cast<int>(SYNC_WAIT_MS)}) != OpenStatus::ok)
        return fail("cannot open " + request_.port_name + ": " + port_.failure_reason());
    if (!request_.check) return program(image, start);
    LineCheck check(request_, port_, output_);
    const ActionEnd checked = check.run();
    (void)port_.close();  // the check's outcome stands whatever the close reports
    if (checked != ActionEnd::done) return fail(check.failure_reason());
    output_.say("BSL: check done: the bootstrap loader answers on " + request_.port_name);
    return SessionEnd::succeeded;
}

}  // namespace k210::bsl
