// BSL.EXE against the simulated loader, and a whole run of k210prog with it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bsl/programmer.h"
#include "bsl/ti_txt.h"
#include "harness.h"

using namespace k210;
using namespace k210::bsl;
using namespace k210::harness;

namespace {

// An image of `size` bytes from 0x1100, with the vectors the simulator's
// present firmware has, so a password without erase is right.
std::string test_image(std::size_t size, std::uint8_t vector_high = 0x11) {
    Bytes code;
    Bytes vectors;
    for (std::size_t i = 0; i < size; ++i) code.push_back(static_cast<std::uint8_t>(i * 13 + 5));
    for (int i = 0; i < 16; ++i) vectors.insert(vectors.end(), {0x00, vector_high});
    FlashImage image;
    EXPECT_EQ(image.place(0x1100, code), Placed::ok);
    EXPECT_EQ(image.place(0xFFE0, vectors), Placed::ok);
    return write_ti_txt(image);
}

RunResult run_bsl(const std::string& dir, const std::vector<std::string>& arguments) {
    RunOptions options;
    options.arguments = arguments;
    options.limit_seconds = 60;
    return run_program(BSL_DIR "/BSL.EXE", dir, "", options);
}

bool port_is_free(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free;
}

// The flash the simulator dumped, against the image it was given.
void expect_flash_holds(const std::string& dump, const std::string& image_text) {
    FlashImage written;
    FlashImage flash;
    ImageReader reader;
    ASSERT_EQ(reader.parse(image_text, "image", written), Verdict::ok);
    ASSERT_EQ(reader.read(real_file_system(), dump, flash), Verdict::ok) << reader.failure_reason();
    EXPECT_TRUE(flash == written) << read_file(dump);
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(Programmer, ProgramsAndVerifiesThroughRetries) {
    if (wine_build()) GTEST_SKIP() << "the native programmer";
    TempDir dir;
    write_file(dir.file("K210t.TXT"), test_image(1000));
    Simulator sim(dir.path, 3,
                  {"--dump", dir.file("flash.txt"), "--loader-nak-once", "--loader-corrupt-once",
                   "--loader-bad-sync-once"});
    const RunResult r = run_bsl(dir.path, {"+mpvr", "-cCOM3", "K210t.TXT"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    // A pseudo-terminal has no modem lines: nothing can claim to start the firmware.
    EXPECT_NE(r.out.find("BSL: done: erased, programmed, verified; K210t.TXT"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("the firmware starts when the programming switches are turned off"), std::string::npos);
    EXPECT_NE(r.out.find("loader: chip F149, version 1.61"), std::string::npos);
    EXPECT_NE(r.out.find("speed: 9600 baud (COM3 cannot drive RST to restart the loader at 9600 baud)"),
              std::string::npos);
    EXPECT_TRUE(port_is_free(sim.device));
    sim.stop();
    expect_flash_holds(dir.file("flash.txt"), test_image(1000));
    EXPECT_EQ(sim.log_lines("PASSWORD"), std::vector<std::string>{"accepted"});
    const std::vector<std::string> loader = sim.log_lines("LOADER");
    EXPECT_TRUE(has_line(loader, "refused a block once"));
    EXPECT_TRUE(has_line(loader, "sent a damaged block"));
    for (const std::string& line : loader) {  // a wrong sync reply is no ACK: no frame is sent after it
        EXPECT_EQ(line.find("noise"), std::string::npos) << line;
        EXPECT_EQ(line.find("bad frame"), std::string::npos) << line;
    }
    EXPECT_EQ(sim.log().find("busy:"), std::string::npos);
    EXPECT_EQ(sim.log().find("turnaround:"), std::string::npos);
}

TEST(Programmer, RefusesAnythingThatCouldLeaveTheAnalyzerUnableToStart) {
    if (wine_build()) GTEST_SKIP() << "the native programmer";
    TempDir dir;
    struct Case {
        const char* letters;
        std::string image;
        const char* message;
    };
    const std::string vectors = "@FFE0\n" + std::string("00 11 00 11 00 11 00 11 00 11 00 11 00 11 00 11\n") +
                                "00 11 00 11 00 11 00 11 00 11 00 11 00 11 00 11\n";
    const std::vector<Case> cases = {
        {"+mpvr", "q\n", "IMAGE.TXT:1: the image holds no data"},
        {"+mpvr", "@1100\n12 34\n@0300\n56\n" + vectors + "q\n",
         "IMAGE.TXT:4: address 0300 is in RAM, not in the flash"},
        {"+mpvr", "@0C10\n12 34\n" + vectors + "q\n", "IMAGE.TXT:2: address 0C10 is in the boot ROM"},
        {"+mpvr", "@1100\n12 34\nq\n", "IMAGE.TXT:3: the image has no reset vector (FFFE-FFFF)"},
        {"+mpvr", "@1100\n12 34\n@FFFE\nFF FF\nq\n", "IMAGE.TXT:4: the reset vector (FFFE-FFFF) is FFFF"},
        {"+pv", "@1100\n12 34\n@FFFE\n00 11\nq\n", "IMAGE.TXT:5: the interrupt vectors (FFE0-FFFF) are incomplete"},
        {"+pv", vectors.substr(0, vectors.size() - 6) + "\nq\n", "IMAGE.TXT:4: the interrupt vectors (FFE0-FFFF)"},
        {"+mpvr", "@1100\n12 34\nzz\nq\n", "IMAGE.TXT:3: bad hex byte 'zz'"},
    };
    Simulator sim(dir.path, 3);
    for (const Case& c : cases) {
        write_file(dir.file("IMAGE.TXT"), c.image);
        const RunResult r = run_bsl(dir.path, {c.letters, "-cCOM3", "IMAGE.TXT"});
        EXPECT_EQ(r.exit_status, 1) << c.message;
        EXPECT_NE(r.out.find("BSL: failed: " + std::string(c.message)), std::string::npos) << r.out;
    }
    // Files that are no image are refused at once, never waited on or read without end.
    struct NotAnImage {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* message;
    };
    const std::vector<NotAnImage> files = {
        {"MISSING.TXT", [](const std::string&) {}, "MISSING.TXT: cannot open the image file"},
        {"FIFO.TXT", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, "FIFO.TXT is a FIFO, not"},
        {"ZERO.TXT", [](const std::string& p) { ASSERT_EQ(symlink("/dev/zero", p.c_str()), 0); },
         "ZERO.TXT is a device, not an image file"},
        {"FOLDER.TXT", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, "FOLDER.TXT is a folder"},
        {"HUGE.TXT",
         [](const std::string& p) {
             write_file(p, "");
             std::filesystem::resize_file(p, 50 << 20);  // sparse: no disk space taken
         },
         "HUGE.TXT is too large for an image file (52428800 bytes;"},
        {"TOKEN.TXT", [](const std::string& p) { write_file(p, "@1100\n" + std::string(3 << 20, 'G') + "\nq\n"); },
         "TOKEN.TXT:2: bad hex byte 'GGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGG...'"},
    };
    for (const NotAnImage& file : files) {
        file.make(dir.file(file.name));
        const RunResult r = run_bsl(dir.path, {"+mpvr", "-cCOM3", file.name});
        EXPECT_EQ(r.exit_status, 1) << file.name;
        EXPECT_NE(r.out.find("BSL: failed: " + std::string(file.message)), std::string::npos) << r.out;
        EXPECT_LT(r.out.size(), 300u) << file.name;
        EXPECT_LT(r.seconds, 5) << file.name;
    }
    sim.stop();
    EXPECT_EQ(sim.log().find("LOADER"), std::string::npos);  // nothing was sent

    const std::vector<std::vector<std::string>> misuse = {{"+mpvx", "-cCOM3", "K210t.TXT"},
                                                          {"+mpvr", "-cCOM0", "K210t.TXT"},
                                                          {"+mpvr", "-c", "K210t.TXT"},
                                                          {"+mpvr", "K210t.TXT"},
                                                          {"--fast", "+mpvr", "-cCOM3", "K210t.TXT"},
                                                          {"--speed", "57600", "+mpvr", "-cCOM3", "K210t.TXT"},
                                                          {"+mpvr", "-cCOM3"}};
    for (const auto& arguments : misuse) {
        const RunResult r = run_bsl(dir.path, arguments);
        EXPECT_EQ(r.exit_status, 1) << arguments[0] << arguments[1];
        EXPECT_NE(r.err.find("usage: BSL.EXE"), std::string::npos) << arguments[0] << arguments[1];
    }
}

// A failure says why, and in what state it leaves the analyzer: nothing
// erased (harmless), or a flash that must be programmed before it starts.
TEST(Programmer, FailsClearlyAndNeverReportsSuccessAfterAFailure) {
    if (wine_build()) GTEST_SKIP() << "the native programmer";
    TempDir dir;
    write_file(dir.file("K210t.TXT"), test_image(600));
    struct Case {
        std::vector<std::string> sim_options;
        const char* letters;
        const char* message;
        bool flash_touched;
    };
    const std::vector<Case> cases = {
        // switches off: the loader never answers, and that is said quickly
        {{"--loader-silent"}, "+mpvr", "no answer from the bootstrap loader: are the programming switches on?", false},
        {{"--loader-silent"},
         "--check",
         "no answer from the bootstrap loader: are the programming switches on?",
         false},
        // without erase the bits cannot be set; a loader without write check does not notice, verify does
        {{"--loader-no-write-check"}, "+pv", "verify failed at 11", true},
        // the password is the image's vectors, not those of the firmware on the analyzer
        {{"--loader-no-write-check"}, "+pv", "the bootstrap loader is still locked: the password", false},
        // a flash cell that does not keep its byte: the last of the first block, on a loader without write check
        {{"--loader-version", "1.30", "--bad-cell", "11EF"}, "+mpvr", "verify failed at 11EF: read", true},
        // switches turned off half-way through
        {{"--loader-stop-after-blocks", "1"},
         "+mpvr",
         "the bootstrap loader stopped answering (writing at 11F0)",
         true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        if (i == 3) write_file(dir.file("K210t.TXT"), test_image(600, 0x22));
        Simulator sim(dir.path, 3, c.sim_options);
        const bool check = std::string(c.letters) == "--check";
        const RunResult r = run_bsl(dir.path, check ? std::vector<std::string>{c.letters, "-cCOM3"}
                                                    : std::vector<std::string>{c.letters, "-cCOM3", "K210t.TXT"});
        EXPECT_EQ(r.exit_status, 1) << c.message;
        EXPECT_NE(r.out.find("BSL: failed: " + std::string(c.message)), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.flash_touched ? "; the analyzer's flash is erased (or partly programmed): it will not "
                                               "start until it is programmed; run again\n"
                                             : "; nothing was erased\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("BSL: done"), std::string::npos);
        EXPECT_LT(r.seconds, 12) << c.message;
        EXPECT_TRUE(port_is_free(sim.device));
    }
}

// Every run leaves its record, never through what stands in its name, and a
// record that cannot be written costs the run nothing.
TEST(Programmer, KeepsARecordOfEveryRunWhereverItCan) {
    if (wine_build()) GTEST_SKIP() << "the native programmer";
    TempDir dir;
    Simulator sim(dir.path, 3);
    const RunResult first = run_bsl(dir.path, {"--check", "-cCOM3"});
    EXPECT_EQ(first.exit_status, 0) << first.out;
    for (const char* said : {"check: COM3 has no modem lines to drive", "check: even parity: not in effect",
                             "check: nothing was erased or written", "BSL: check done"})
        EXPECT_NE(first.out.find(said), std::string::npos) << said << " in " << first.out;
    const std::string record = read_file(dir.file("BSL.LOG"));
    EXPECT_NE(record.find("BSL.EXE " K210_VERSION ": --check -cCOM3"), std::string::npos) << record;
    EXPECT_NE(record.find("BSL: check done"), std::string::npos);

    write_file(dir.file("TARGET"), "keep\n");
    struct Planted {
        const char* what;
        std::function<void(const std::string&)> plant;
    };
    const std::vector<Planted> planted = {
        {"the run before", [](const std::string&) {}},
        {"a link", [&dir](const std::string& p) { ASSERT_EQ(symlink(dir.file("TARGET").c_str(), p.c_str()), 0); }},
        {"a FIFO", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }},
    };
    for (const Planted& p : planted) {
        if (std::string(p.what) != "the run before") std::remove(dir.file("BSL.LOG").c_str());
        p.plant(dir.file("BSL.LOG"));
        const RunResult r = run_bsl(dir.path, {"--check", "-cCOM3"});
        EXPECT_EQ(r.exit_status, 0) << p.what;
        EXPECT_LT(r.seconds, 10) << p.what;  // a FIFO is never waited on
        struct stat info {};
        ASSERT_EQ(lstat(dir.file("BSL.LOG").c_str(), &info), 0) << p.what;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << p.what;
        EXPECT_NE(read_file(dir.file("BSL.LOG")).find("BSL: check done"), std::string::npos) << p.what;
    }
    EXPECT_EQ(read_file(dir.file("TARGET")), "keep\n");  // never written through
    EXPECT_NE(read_file(dir.file("BSL.LOG.1")).find("--check -cCOM3"), std::string::npos);

    const RunResult nowhere = run_bsl(dir.path, {"--check", "--log", "TARGET/BSL.LOG", "-cCOM3"});
    EXPECT_EQ(nowhere.exit_status, 0);
    EXPECT_NE(nowhere.err.find("BSL.EXE: no record of this run in TARGET/BSL.LOG"), std::string::npos) << nowhere.err;
    EXPECT_EQ(nowhere.err.find("no record"), nowhere.err.rfind("no record"));  // said once
    sim.stop();

    // k210prog names the record of a programmer run that failed.
    Simulator silent(dir.path, 3, {"--loader-silent"});
    write_file(dir.file("K210t.TXT"), test_image(600));
    const RunResult failed = run_k210prog_with_bsl(dir.path, "3\nn\nn\nn\nc\nn\n");
    EXPECT_EQ(failed.exit_status, 1) << failed.out;
    EXPECT_NE(failed.err.find("k210prog: BSL.EXE's record of this run: BSL.LOG"), std::string::npos) << failed.err;
}

class LoaderOnPins : public ::testing::Test {
  protected:
    void SetUp() override {
        if (wine_build()) GTEST_SKIP() << "the native programmer";
        write_file("K210t.TXT", test_image(600));
    }
    // BSL.EXE +LETTERS -cCOM3 K210t.TXT against a simulator with `options`.
    SessionResult program(std::vector<std::string> options, ProgrammerRequest request = {},
                          const char* letters = "mpvr", const AdapterOptions& adapter = {}) {
        options.insert(options.end(), {"--lines", dir.file("lines"), "--dump", dir.file("flash.txt")});
        sim = std::make_unique<Simulator>(dir.path, 3, options);
        if (!request.check) {
            EXPECT_EQ(take_action_letters(letters, request), Verdict::ok);
            request.image_path = "K210t.TXT";
        }
        request.port_name = "COM3";
        SessionResult r = run_session_with_lines(dir.file("lines"), request, adapter);
        sim->stop();
        return r;
    }
    TempDir dir;
    WorkingFolder here{dir.path};
    std::unique_ptr<Simulator> sim;
};

TEST_F(LoaderOnPins, FindsTheEntrySequenceAndLeavesTheAnalyzerRunning) {
    struct Case {
        const char* pins;
        bool adapter_without_dtr_inverter;
        const char* started_with;
        bool rts_at_rest;  // asserted: TEST low; a TCK part rests with TCK high
    };
    const Case cases[] = {{"test", false, "started with the TEST sequence", true},
                          {"tck", false, "started with the TCK sequence", false},
                          {"test", true, "started with the TEST sequence", true}};
    for (const Case& c : cases) {
        ProgrammerRequest request;
        request.invert_dtr = c.adapter_without_dtr_inverter;
        AdapterOptions adapter;
        adapter.dtr_without_inverter = c.adapter_without_dtr_inverter;
        const SessionResult r = program({"--pins", c.pins}, request, "mpvr", adapter);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(c.started_with), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("BSL: done: erased, programmed, verified, started; K210t.TXT"), std::string::npos);
        expect_flash_holds(dir.file("flash.txt"), test_image(600));
        // The firmware runs, and stays so past the close: RST high, the entry pin at rest.
        EXPECT_FALSE(sim->log_lines("STARTED").empty()) << c.pins;
        EXPECT_TRUE(has_line(sim->log_lines("LINES"), "the port keeps DTR and RTS when closed"));
        EXPECT_EQ(r.dtr, !c.adapter_without_dtr_inverter) << c.pins;
        EXPECT_EQ(r.rts, c.rts_at_rest) << c.pins;
    }
    // A part that answers neither sequence: the same message as ever, soon.
    const SessionResult silent = program({"--loader-silent"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.out.find("are the programming switches on? (tried the TEST and the TCK sequence)"),
              std::string::npos)
        << silent.out;
    EXPECT_LT(silent.seconds, 3.0);

    // The check finds the same, and erases and writes nothing: no password, no erase, no block.
    ProgrammerRequest check;
    check.check = true;
    const SessionResult checked = program({}, check);
    EXPECT_EQ(checked.status, 0) << checked.out;
    for (const char* said : {"check: DTR and RTS drive the loader's pins; the TEST sequence started it",
                             "check: the loader's replies come", "check: the loader was left with a reset",
                             "check: nothing was erased or written", "BSL: check done"})
        EXPECT_NE(checked.out.find(said), std::string::npos) << said << " in " << checked.out;
    EXPECT_FALSE(sim->log_lines("STARTED").empty());
    for (const char* kind : {"PASSWORD", "ERASE", "ERASED", "PROGRAMMED"}) EXPECT_TRUE(sim->log_lines(kind).empty());
}

// The number in "Erased: N erase commands".
int erase_commands(const std::string& out) {
    const std::size_t at = out.find("Erased: ");
    return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + 8);
}

TEST_F(LoaderOnPins, ErasesForTheTimeTheFlashNeedsAndNeverTalksOverIt) {
    struct Case {
        std::vector<std::string> options;
        int fewest, most;  // erase commands
    };
    // On a loaded machine the syncs' answers come late now and then, which looks like an
    // adapter's timer, so fewer milliseconds are counted for each erase and more erases are
    // sent (harmless); what must hold is that the erase was timed at all, not the 30 sent blind.
    constexpr int TIMED = static_cast<int>(MASS_ERASE_MAX_COMMANDS) - 1;
    const Case cases[] = {
        {{"--loader-version", "1.10", "--slow"}, 12, TIMED},  // 17.2 ms each, 200 ms in all
        {{"--loader-version", "1.10", "--slow", "--adapter-latency", "8"},
         12,
         TIMED},                                                             // the adapter's delay is no erase
        {{"--erase-ms", "200", "--erase-needs-ms", "200", "--slow"}, 2, 2},  // one would do; measured, a tenth more
        {{"--erase-ms", "1200", "--erase-needs-ms", "200"}, 1, 1},           // a slow loader
    };
    for (const Case& c : cases) {
        const SessionResult r = program(c.options);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_GE(erase_commands(r.out), c.fewest) << r.out;
        EXPECT_LE(erase_commands(r.out), c.most) << r.out;
        EXPECT_FALSE(sim->log_lines("ERASED").empty()) << r.out;  // erased for as long as the flash needs
        EXPECT_EQ(sim->log().find("busy:"), std::string::npos) << r.out;
        EXPECT_EQ(sim->log().find("turnaround:"), std::string::npos) << r.out;
        expect_flash_holds(dir.file("flash.txt"), test_image(600));
    }
    const SessionResult old = program({"--loader-version", "1.10", "--slow"});
    EXPECT_NE(old.out.find("warning: loader version 1.10 needs the vendor's patch (PATCH.TXT)"), std::string::npos);
    EXPECT_NE(old.out.find("speed: 9600 baud (loader 1.10 on F149 has no documented faster rate)"), std::string::npos);
}

TEST_F(LoaderOnPins, RunsAtTheFastestRateThatWorks) {
    struct Case {
        std::vector<std::string> options;
        unsigned max_baud;
        const char* said;
        std::vector<std::string> speeds;  // the simulator's changes of speed
    };
    const Case cases[] = {
        {{}, 38400, "speed: 38400 baud (the loader's fastest)", {"38400"}},
        {{}, 19200, "speed: 19200 baud (as --speed asks)", {"19200"}},
        {{}, 9600, "speed: 9600 baud (as --speed asks)", {}},
        {{"--chip", "F413"}, 38400, "speed: 38400 baud", {"38400"}},
        {{"--chip", "F249"}, 38400, "speed: 9600 baud (loader 1.61 on F249 has no documented faster rate)", {}},
        {{"--loader-version", "1.30"}, 38400, "speed: 9600 baud (loader 1.30 on F149", {}},
        {{"--baud-refuse"}, 38400, "speed: 9600 baud (the loader refused the faster rates)", {}},
        {{"--baud-refuse-at", "38400"}, 38400, "speed: 19200 baud (the loader's fastest)", {"19200"}},
        {{"--baud-silent"}, 38400, "speed: 9600 baud (no answer at 38400 baud)", {"38400 (and no answer from now on)"}},
    };
    for (const Case& c : cases) {
        ProgrammerRequest request;
        request.max_baud = c.max_baud;
        const SessionResult r = program(c.options, request);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
        EXPECT_EQ(sim->log_lines("SPEED"), c.speeds) << c.said;
        EXPECT_EQ(sim->log().find("speed mismatch"), std::string::npos) << c.said;
        EXPECT_EQ(sim->log().find("before the clock had settled"), std::string::npos) << c.said;
        expect_flash_holds(dir.file("flash.txt"), test_image(600));
    }
}

std::vector<std::string> archives_of(const TempDir& dir, const std::string& serial) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("SETTINGS-" + serial + "-", 0) == 0) names.push_back(name);
    }
    return names;
}

// A USB adapter holds each reply until its latency timer ticks (16 ms);
// BSL.EXE asks its driver for low latency and puts back what it found, and
// where that cannot be asked for, it says what the timer costs.
TEST_F(LoaderOnPins, ProgramsThroughAUsbAdapterAndAsksForLowLatency) {
    struct Case {
        const char* what;
        std::vector<std::string> options;
        bool offers_low_latency;
        std::vector<std::string> latency;  // as the simulator saw it set
        bool noted;
    };
    const Case cases[] = {
        {"16 ms adapter, low latency asked for and put back",
         {"--usb-latency", "16"},
         true,
         {"low (1 ms)", "the adapter's default"},
         false},
        {"16 ms adapter on a system that cannot ask", {"--usb-latency", "16"}, false, {}, true},
        {"a bare line", {}, true, {"low (1 ms)", "the adapter's default"}, false},
    };
    for (const Case& c : cases) {
        AdapterOptions adapter;
        adapter.offers_low_latency = c.offers_low_latency;
        std::vector<std::string> options = c.options;
        options.emplace_back("--slow");
        const SessionResult r = program(options, {}, "mpv", adapter);
        ASSERT_EQ(r.status, 0) << c.what << ": " << r.out;
        expect_flash_holds(dir.file("flash.txt"), test_image(600));
        EXPECT_EQ(sim->log_lines("LATENCY"), c.latency) << c.what;
        EXPECT_EQ(r.out.find("note: the loader's replies reach this computer") != std::string::npos, c.noted)
            << c.what << ": " << r.out;
        EXPECT_NE(r.out.find("(programming "), std::string::npos) << r.out;  // each pass's rate
        EXPECT_NE(r.out.find(" bytes/s, verifying "), std::string::npos) << r.out;
    }
}

// The loader listens again only 1.2 ms after each of its replies. Over a
// whole program and verify of 32 KiB, BSL.EXE never sends sooner, nor while
// the loader works: natively on a bare line (9600 baud) and with the modem
// lines (38400), and the Windows build under Wine with the lines (38400) and
// without (9600).
TEST(Programmer, KeepsTheLoadersTurnaroundOver32KiB) {
    struct Case {
        const char* what;
        bool under_wine;
        bool with_lines;
        const char* speed;
    };
    const Case cases[] = {
        {"on a bare line", false, false, "speed: 9600 baud"},
        {"with the modem lines", false, true, "speed: 38400 baud"},
        {"under Wine, with the modem lines", true, true, "speed: 38400 baud"},
        {"under Wine, on a bare line", true, false, "speed: 9600 baud"},
    };
    const std::string image = test_image(32768 - 32);
    for (const Case& c : cases) {
        if (c.under_wine != (wine_build() != nullptr)) continue;
        TempDir dir;
        write_file(dir.file("IMAGE.TXT"), image);
        std::vector<std::string> options = {"--dump", dir.file("flash.txt")};
        if (c.with_lines) options.insert(options.end(), {"--lines", dir.file("lines")});
        Simulator sim(dir.path, 3, options);
        RunOptions bsl;
        bsl.arguments = {"+mpv", "-cCOM3", "IMAGE.TXT"};
        int status = -1;
        std::string out;
        if (c.under_wine) {
            const RunResult r = run_under_wine(std::string(wine_build()) + "/BSL.EXE", dir.path, "", bsl,
                                               c.with_lines ? dir.file("lines") : "");
            status = r.exit_status;
            out = r.out;
        } else if (c.with_lines) {
            ProgrammerRequest request;
            request.erase = request.program = request.verify = true;
            request.port_name = "COM3";
            request.image_path = "IMAGE.TXT";
            const WorkingFolder here(dir.path);
            const SessionResult r = run_session_with_lines(dir.file("lines"), request);
            status = r.status;
            out = r.out;
        } else {
            const RunResult r = run_bsl(dir.path, bsl.arguments);
            status = r.exit_status;
            out = r.out;
        }
        sim.stop();
        ASSERT_EQ(status, 0) << c.what << ": " << out;
        EXPECT_NE(out.find(c.speed), std::string::npos) << c.what << ": " << out;
        expect_flash_holds(dir.file("flash.txt"), image);
        std::vector<std::string> too_soon;
        for (const std::string& line : sim.log_lines("LOADER"))
            if (line.rfind("turnaround:", 0) == 0 || line.rfind("busy:", 0) == 0) too_soon.push_back(line);
        const std::vector<std::string> turnarounds = sim.log_lines("TURNAROUND");
        ASSERT_EQ(turnarounds.size(), 1u) << c.what;
        EXPECT_TRUE(too_soon.empty()) << c.what << ": " << too_soon.size()
                                      << " times too soon, the first: " << too_soon[0] << " (TURNAROUND "
                                      << turnarounds[0] << ")";
        EXPECT_GE(std::atoi(turnarounds[0].c_str()), 4 * 137) << c.what;  // a sync and a frame a block, twice
    }
}

// An old unit loses its settings with the erase. Interrupted after the
// programming (Q at the switch-off prompt; or the switches left on, so that
// the reconnected unit does not answer and nothing is sent into it), it runs
// with factory settings; the rerun must still give it its own settings
// back, not the factory ones it now reports.
TEST(Programmer, AnInterruptedOldUnitUpdateGetsItsOwnSettingsBackOnTheRerun) {
    struct Case {
        const char* what;
        std::vector<std::string> sim_options;
        const char* first_input;
        int first_status;
    };
    const Case cases[] = {
        {"Q at the switch-off prompt", {}, "2\ny\ny\nn\nc\nq\n", 2},
        {"the switches left on", {"--switches-left-on"}, "2\ny\ny\nn\nc\nc\n", 1},
    };
    for (const Case& c : cases) {
        TempDir dir;
        write_file(dir.file("K210fxt.TXT"), test_image(2000));
        std::vector<std::string> options = {"--old-unit", "--dump", dir.file("flash.txt")};
        options.insert(options.end(), c.sim_options.begin(), c.sim_options.end());
        Simulator sim(dir.path, 2, options);
        RunResult r = run_k210prog_with_bsl(dir.path, c.first_input);
        EXPECT_EQ(r.exit_status, c.first_status) << c.what << r.out;
        EXPECT_NE(r.out.find("BSL: done: erased, programmed, verified"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Downloading Data..."), std::string::npos) << c.what;
        EXPECT_EQ(r.out.find("Programming Complete!"), std::string::npos) << c.what;
        const std::string saved = read_file(dir.file("SETTINGS.TXT"));
        EXPECT_NE(saved.find("SRAL:210457"), std::string::npos);
        EXPECT_TRUE(file_exists(dir.file("SETTINGS.PND"))) << c.what;
        sim.turn_switches_off();

        r = run_k210prog_with_bsl(dir.path, "2\ny\ny\nn\nc\nc\n");
        EXPECT_EQ(r.exit_status, 0) << c.what << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - 22), "Programming Complete!\n");
        EXPECT_NE(r.err.find("settings of analyzer 210457"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("this capture (analyzer 000000)"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir.file("SETTINGS.TXT")), saved);
        EXPECT_FALSE(file_exists(dir.file("SETTINGS.PND")));  // the settings are back
        EXPECT_EQ(archives_of(dir, "210457").size(), 1u);
        EXPECT_EQ(archives_of(dir, "000000").size(), 1u);
        sim.stop();
        TempDir other;
        Simulator untouched(other.path, 2);  // an analyzer of the same profile, never programmed
        untouched.stop();
        std::vector<std::string> expected = untouched.log_lines("FINAL");
        expected[1] = "VERS 4.2";  // the new firmware's version; everything else as first captured
        EXPECT_EQ(sim.log_lines("FINAL"), expected) << c.what;
        FlashImage flash;
        ImageReader reader;
        ASSERT_EQ(reader.read(real_file_system(), dir.file("flash.txt"), flash), Verdict::ok)
            << reader.failure_reason();
        ASSERT_FALSE(flash.empty());
        EXPECT_EQ(flash.runs()[0].bytes.size(), 2000u);
    }
}

}  // namespace
