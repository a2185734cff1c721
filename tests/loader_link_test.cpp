// The loader link and the programmer's actions against a loader that exists
// only in the test (fake_loader.h), on every system's port calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bsl/loader_actions.h"
#include "bsl/programmer.h"
#include "bsl/ti_txt.h"
#include "fake_loader.h"

using namespace k210;
using namespace k210::bsl;
using namespace k210::test;

namespace {

const PortName COM3 = *PortName::from_text("COM3");

// The link and the actions on a port open to the fake loader.
struct OnFake {
    explicit OnFake(FakeLoader& loader)
        : calls(loader), port(calls.system()), link(port, false, false), actions(link, request, output) {
        EXPECT_EQ(port.open(COM3, loader_line(), ReadPolicy{}), OpenStatus::ok) << port.failure_reason();
    }
    ~OnFake() { std::fclose(out); }
    OnFake(const OnFake&) = delete;
    OnFake& operator=(const OnFake&) = delete;
    OnFake(OnFake&&) = delete;
    OnFake& operator=(OnFake&&) = delete;
    FakeLoaderPort calls;
    SerialPort port;
    LoaderLink link;
    ProgrammerRequest request;
    std::FILE* out = std::tmpfile();
    RunOutput output{out};
    LoaderActions actions;
};

// A sync answered, then `fault` for the frame, on every try.
std::deque<Fault> each_try(Fault fault) {
    std::deque<Fault> faults;
    for (int i = 0; i < FRAME_TRIES; ++i) faults.insert(faults.end(), {Fault::none, fault});
    return faults;
}

TEST(LoaderLink, EveryExchangeEndsInATypedReply) {
    struct Case {
        const char* what;
        std::deque<Fault> faults;
        bool read;  // a block read, else a command
        Reply reply;
        std::size_t frames;  // sent, retries included
        const char* why;
    };
    const Case cases[] = {
        {"a refusal is asked again, and stands", each_try(Fault::nak), false, Reply::refused, 4,
         "the bootstrap loader refused the command"},
        {"a wrong byte", each_try(Fault::bad_byte), false, Reply::damaged, 4, "the bootstrap loader gave a bad reply"},
        {"an ACK with a parity error", each_try(Fault::parity_error), false, Reply::damaged, 4,
         "a reply came with a parity error"},
        {"no reply", each_try(Fault::silent), false, Reply::silent, 4, "the bootstrap loader stopped answering"},
        {"the device hung up: no retry", {Fault::none, Fault::hang_up}, false, Reply::gone, 1, "the port went away"},
        {"a wrong answer to the sync is no refusal",
         {Fault::nak, Fault::nak, Fault::nak},
         false,
         Reply::damaged,
         0,
         "the bootstrap loader answered the sync wrongly"},
        {"a damaged block is asked again", {Fault::none, Fault::damaged_block}, true, Reply::ack, 2, ""},
        {"a read refused", each_try(Fault::nak), true, Reply::refused, 4, "the bootstrap loader refused to read"},
        {"a block damaged every time", each_try(Fault::damaged_block), true, Reply::damaged, 4,
         "the bootstrap loader sent a damaged block"},
    };
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.faults = c.faults;
        loader.memory[0x1101] = 0x42;
        OnFake on(loader);
        const Bytes password = make_frame(BSL_RX_PASSWORD, 0xFFE0, 32, Bytes(32, 0xFF));
        const Answer answer = c.read ? on.link.read_block(0x1100, 2) : on.link.command(password, COMMAND_BUSY_MS);
        EXPECT_EQ(answer.reply, c.reply) << c.what;
        EXPECT_EQ(loader.frames_of(c.read ? BSL_TX_DATA_BLOCK : BSL_RX_PASSWORD), c.frames) << c.what;
        EXPECT_EQ(on.link.failure_reason().find(c.why), 0u) << c.what << ": " << on.link.failure_reason();
        EXPECT_EQ(answer.data, c.reply == Reply::ack ? Bytes({0xFF, 0x42}) : Bytes()) << c.what;
    }
}

TEST(LoaderLink, KeepsTheLoadersTimeRules) {
    const Bytes write = make_frame(BSL_RX_DATA_BLOCK, 0x1102, 2, {3, 4});
    struct Case {
        const char* what;
        std::deque<Fault> faults;
        std::deque<double> erase_ms;
    };
    const Case cases[] = {
        {"a turnaround after every reply, and after a damaged block", {Fault::none, Fault::damaged_block}, {}},
        {"after silence the retry waits the reply's whole time, then as long again",
         {Fault::none, Fault::none, Fault::none, Fault::silent},
         {}},
        {"a reply that comes after the wait is not taken for the retry's",
         {Fault::none, Fault::none, Fault::none, Fault::late},
         {}},
        {"a loader that works nearly as long as allowed is heard", {}, {ERASE_BUSY_MS - 10}},
    };
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.faults = c.faults;
        loader.erase_ms = c.erase_ms;
        OnFake on(loader);
        EXPECT_EQ(on.link.read_block(0x1100, 16).reply, Reply::ack) << c.what;
        EXPECT_EQ(on.link.command(write, WRITE_BUSY_MS).reply, Reply::ack) << c.what;
        EXPECT_EQ(on.link.command(make_frame(BSL_MASS_ERASE, 0xFF00, MASS_ERASE_KEY), ERASE_BUSY_MS).reply, Reply::ack)
            << c.what;
        // The new speed: the loader's clock settles first, and the port follows.
        EXPECT_EQ(on.link.change_speed({38400, 0xE0, 0x87, 2}), Reply::ack) << c.what;
        EXPECT_EQ(on.link.read_block(0x1100, 16).reply, Reply::ack) << c.what;
        EXPECT_EQ(loader.broken, std::vector<std::string>{}) << c.what;
        EXPECT_EQ(loader.memory[0x1102], 3) << c.what;
    }
}

TEST(MassErase, CountsTheLeastDelayedEraseTimeAgainstWhatTheFlashNeeds) {
    struct Times {
        const char* what;
        std::vector<double> replies_ms;
        std::vector<double> syncs_ms;
        double erased_ms;
    };
    const Times times[] = {
        {"nothing erased yet", {}, {5}, 0},
        {"each reply less the line's delay and the frame's wire time", {30, 30}, {5, 7, 5}, 2 * 15},
        {"the least delayed reply counts for each", {40, 25, 60}, {5}, 3 * 10},
        {"a reply quicker than the line counts nothing", {12}, {5}, 0},
        {"a timer that spreads the syncs over 16 ms can hold a reply back as long",
         {60},
         {3, 11, 19, 7, 15},
         60 - 10 - 3 - 16},
    };
    for (const Times& t : times) EXPECT_DOUBLE_EQ(erase_time_ms(t.replies_ms, t.syncs_ms, 10), t.erased_ms) << t.what;

    struct Case {
        const char* what;
        std::deque<double> erase_ms;
        double delay_ms;
        std::deque<double> late_ms;
        double tick_ms;
        std::size_t commands;  // 0: as many as it takes
    };
    const std::deque<double> old_flash(30, 17.2);  // version 1.10: 17.2 ms an erase, 200 ms needed
    const std::vector<Case> cases = {
        {"the old flash: 200 ms and a tenth more", old_flash, 0, {}, 0, 13},
        {"an adapter's delay is no erase time", old_flash, 8, {}, 0, 13},
        {"nor is a reply held back now and then", old_flash, 0, {0, 0, 0, 60, 0, 90}, 0, 13},
        {"one erase does", {250}, 0, {}, 0, 1},
        {"nor is the wait for a USB adapter's 16 ms tick", old_flash, 0, {}, 16, 0},
        {"nor for a 5 ms tick", old_flash, 0, {}, 5, 0},
        {"nor for a 10 ms tick", old_flash, 0, {}, 10, 0},
        {"nor for a 15 ms tick", old_flash, 0, {}, 15, 0},
        {"nor for a tick that falls just after each erase", old_flash, 0, {}, 15.5, 0},
    };
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.erase_ms = c.erase_ms;
        loader.delay_ms = c.delay_ms;
        loader.late_ms = c.late_ms;
        loader.tick_ms = c.tick_ms;
        OnFake on(loader);
        ASSERT_EQ(on.link.synchronise(), Reply::ack);  // a sync comes first, as after the entry
        ASSERT_EQ(on.actions.mass_erase(), ActionEnd::done) << c.what << on.actions.failure_reason();
        if (c.commands) {
            EXPECT_EQ(loader.frames_of(BSL_MASS_ERASE), c.commands) << c.what;
        }
        EXPECT_GE(loader.erased_ms, MASS_ERASE_NEEDS_MS) << c.what;
        EXPECT_LE(loader.frames_of(BSL_MASS_ERASE), MASS_ERASE_MAX_COMMANDS) << c.what;
    }
}

std::string printed(std::FILE* out) {
    std::string text;
    std::rewind(out);
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text += static_cast<char>(c);
    return text;
}

// A USB adapter that holds every reply back costs each frame twice; that is
// said once, with what it costs, and only when it is more than the line's own.
TEST(LoaderActions, SayOnceWhatALateAdapterCosts) {
    struct Case {
        double delay_ms;
        const char* said;  // "" for nothing
    };
    const Case cases[] = {{0, ""}, {2, ""}, {8, "the loader's replies reach this computer 8 ms late"}};
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.delay_ms = c.delay_ms;
        OnFake on(loader);
        ASSERT_EQ(on.actions.enter_loader(), ActionEnd::done);
        ASSERT_EQ(on.actions.unlock(Bytes(32, 0xFF)), ActionEnd::done);
        on.actions.note_reply_delay(274);
        on.actions.note_reply_delay(274);
        const std::string out = printed(on.out);
        const std::size_t at = out.find("note: ");
        if (*c.said == 0) {
            EXPECT_EQ(at, std::string::npos) << out;
            continue;
        }
        EXPECT_NE(out.find(c.said), std::string::npos) << out;
        EXPECT_NE(out.find("about 4 s of this run; " + latency_timer_advice()), std::string::npos) << out;
        EXPECT_EQ(out.find("note: ", at + 1), std::string::npos) << out;  // once
    }
}

struct Session {
    SessionEnd end;
    std::string said;
};

// A whole session of BSL.EXE +`letters` on the fake loader, its record in `record`.
Session run_session(FakeLoader& loader, const char* letters, const std::string& image,
                    const std::string& record = NO_RECORD) {
    FakeLoaderPort calls(loader);
    ProgrammerRequest request;
    EXPECT_EQ(take_action_letters(letters, request), Verdict::ok);
    request.port_name = "COM3";
    request.image_path = image;
    request.log_path = record;
    request.arguments = letters;
    std::FILE* out = std::tmpfile();
    ProgrammerSession session(request, out, calls.system());
    const SessionEnd end = session.run();
    Session run{end, printed(out)};
    std::fclose(out);
    return run;
}

// An image of `blocks` full write blocks from 0x1100, with every interrupt vector.
std::string image_file(const std::string& name, std::size_t blocks) {
    FlashImage image;
    EXPECT_EQ(image.place(0x1100, Bytes(blocks * MAX_BLOCK, 0x3C)), Placed::ok);
    EXPECT_EQ(image.place(VECTORS_ADDRESS, Bytes(PASSWORD_SIZE, 0x11)), Placed::ok);
    std::string path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(path, std::ios::binary) << write_ti_txt(image);
    return path;
}

// The notes say what they mean: erases answered sooner than an erase takes
// are a warning on a plain line, and a note only where an adapter's timer
// hides the erase time; the cost of a late adapter counts every frame of
// the passes asked for.
TEST(ProgrammerNotes, SayWhatTheEraseHadAndWhatALateAdapterCosts) {
    struct Erase {
        double tick_ms;
        const char* said;
    };
    for (const Erase& e :
         {Erase{0,
                "warning: the loader answered each erase sooner than an erase takes; the flash "
                "may be partly erased"},
          Erase{16, "hides how long each erase took; 30 erases give the older flash at least 516 ms"}}) {
        FakeLoader loader;
        loader.erase_ms = std::deque<double>(MASS_ERASE_MAX_COMMANDS, 0.1);
        loader.tick_ms = e.tick_ms;
        OnFake on(loader);
        ASSERT_EQ(on.link.synchronise(), Reply::ack);
        ASSERT_EQ(on.actions.mass_erase(), ActionEnd::done);
        const std::string out = printed(on.out);
        EXPECT_NE(out.find(e.said), std::string::npos) << out;
        EXPECT_EQ(out.find(e.tick_ms > 0 ? "warning:" : "note:"), std::string::npos) << out;
    }

    const std::string path = image_file("k210-notes-" + std::to_string(std::rand()) + ".TXT", 30);  // 31 blocks
    struct Cost {
        const char* letters;
        const char* said;  // two replies a frame, each 40 ms late
    };
    for (const Cost& c : {Cost{"mp", "about 2 s of this run"}, Cost{"mpv", "about 5 s of this run"},
                          Cost{"mpvr", "about 5 s of this run"}, Cost{"pv", "about 5 s of this run"}}) {
        FakeLoader loader;
        loader.delay_ms = 40;
        const Session run = run_session(loader, c.letters, path);
        EXPECT_EQ(run.end, SessionEnd::succeeded) << c.letters << run.said;
        EXPECT_NE(run.said.find("the loader's replies reach this computer 40 ms late"), std::string::npos) << run.said;
        EXPECT_NE(run.said.find(c.said), std::string::npos) << c.letters << ": " << run.said;
    }
    std::remove(path.c_str());
}

std::string whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The record holds what the run did, in the order it did it, and a failed
// run's last line says what state the analyzer's flash is in.
TEST(RunRecord, HoldsWhatTheRunDidAndHowItEnded) {
    const std::string path = image_file("k210-record-" + std::to_string(std::rand()) + ".TXT", 3);
    const std::string record = path + ".LOG";
    struct Case {
        const char* what;
        std::deque<Fault> faults;
        long bad_cell;
        std::vector<std::string> lines;  // in this order
    };
    const std::string erased =
        "; the analyzer's flash is erased (or partly programmed): it will not start until it "
        "is programmed; run again";
    const std::vector<Case> cases = {
        {"a healthy run",
         {},
         -1,
         {std::string("BSL.EXE ") + K210_VERSION + ": mpvr",
          "system: ", "image: ", "port: ", "line asked: ", "entry: the TEST sequence", "lines: DTR off, RTS on",
          "sent 80", "received 90", "sync answered", "Erasing the flash...", "sent 80 18 04 04 00 FF 06 A5",
          "erase 1 answered", "erase figures: ", "loader: chip FFFF", "speed: 9600 baud", "sent 80 12", "port closed",
          "BSL: done: erased, programmed, verified, started"}},
        {"the cable pulled during the erase",
         {Fault::none, Fault::none, Fault::none, Fault::hang_up},
         -1,
         {"Erasing the flash...", "received nothing: the device is gone", "BSL: failed: the port went away",
          "(mass erase)" + erased}},
        {"a cell that keeps a wrong bit",
         {},
         0x11F0,
         {"verify mismatch in the block at 11F0: the image has 3C 3C", "; read 2C 3C",
          "BSL: failed: verify failed at 11F0: read 2C, image has 3C" + erased}},
    };
    for (const Case& c : cases) {
        FakeLoader loader;
        loader.faults = c.faults;
        loader.bad_cell = c.bad_cell;
        (void)run_session(loader, "mpvr", path, record);
        const std::string text = whole_file(record);
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            const std::size_t found = text.find(line, at);
            ASSERT_NE(found, std::string::npos) << c.what << ": no " << line << " after " << at << " in\n" << text;
            at = found;
        }
        EXPECT_EQ(text.compare(0, 11, "       0.0 "), 0) << c.what;  // milliseconds since the start, to a tenth
    }
    std::remove(path.c_str());
    std::remove(record.c_str());
    std::remove((record + ".1").c_str());
}

// The system's files, but every write from the `fail_from`th on fails (a full disk).
class FullAfter : public FileSystem {
  public:
    explicit FullAfter(int fail_from) : fail_from_(fail_from) {}
    FileCall write_all(int fd, const char* bytes, std::size_t length) override {
        if (++writes_ >= fail_from_) return failed("No space left on device");
        return FileSystem::write_all(fd, bytes, length);
    }

  private:
    int fail_from_;
    int writes_ = 0;
};

// The system's files, but nothing can be moved (a folder that refuses renames).
class NoMoves : public FileSystem {
  public:
    FileCall rename_over(const std::string&, const std::string&) override { return failed("Permission denied"); }
};

TEST(RunRecord, IsWrittenAsTheRunGoesWithinItsBoundAndNeverFailsTheRun) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("k210-record-" + std::to_string(std::rand()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "BSL.LOG").string();
    PortClock::time_point clock{};
    const auto now = [&clock] { return clock; };
    std::FILE* errors = std::tmpfile();
    {
        RunRecord first(real_file_system(), errors, now);
        first.start(path);
        first.line("the run before");
        EXPECT_NE(whole_file(path).find("the run before"), std::string::npos);  // there as soon as it is said
    }
    {
        RunRecord record(real_file_system(), errors, now);
        record.start(path);
        EXPECT_NE(whole_file(path + ".1").find("the run before"), std::string::npos);  // kept
        const std::string filler(1000, 'x');
        for (int i = 0; i < 6000; ++i) {  // about 6 MB
            clock += std::chrono::milliseconds(1);
            record.line(std::to_string(i) + " " + filler);
        }
        const std::string text = whole_file(path);
        EXPECT_LE(text.size(), RECORD_LIMIT);
        EXPECT_EQ(text.compare(0, 15, "       1.0 0 xx"), 0);  // the start stays
        const std::size_t marker = text.find("bytes of the record left out here");
        ASSERT_NE(marker, std::string::npos);
        EXPECT_GE(text.size() - text.find('\n', marker), RECORD_TAIL);  // and the last 1 MiB
        EXPECT_EQ(text.compare(text.size() - 1007, 6, " 5999 "), 0) << text.substr(text.size() - 1020, 20);  // the end

        // A record that cannot be written is said once, and the run goes on without it.
        FullAfter full(3);
        RunRecord broken(full, errors, now);
        broken.start((dir / "FULL.LOG").string());
        for (int i = 0; i < 10; ++i) broken.line("more");
        EXPECT_FALSE(broken.writing());
        const std::string said = printed(errors);
        EXPECT_EQ(said.find("no record of this run"), said.rfind("no record of this run")) << said;
        EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;

        // A bound that cannot be kept leaves the record whole as far as it went, and nothing beside it.
        NoMoves no_moves;
        const std::string kept = (dir / "KEPT.LOG").string();
        RunRecord unmoved(no_moves, errors, now);
        unmoved.start(kept);
        int lines = 0;
        while (unmoved.writing() && lines < 10000) unmoved.line(std::to_string(lines++) + " " + filler);
        const std::string left = whole_file(kept);
        EXPECT_GT(left.size(), RECORD_LIMIT - RECORD_TAIL);
        EXPECT_EQ(left.compare(11, 4, "0 xx"), 0);                                         // its start
        EXPECT_NE(left.find(" " + std::to_string(lines - 1) + " xx"), std::string::npos);  // the last line too
        EXPECT_FALSE(std::filesystem::exists(kept + ".new"));
    }  // every record closed: Windows removes no open file
    std::fclose(errors);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace
