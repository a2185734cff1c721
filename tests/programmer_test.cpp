// BSL.EXE against the simulated loader, and a whole run of k210prog with it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bsl/ti_txt.h"
#include "harness.h"

namespace {

// An image of `size` bytes from 0x1100, with the vectors the simulator's
// present firmware has, so a password without erase is right.
std::string test_image(std::size_t size) {
    Image image = {{0x1100, {}}, {0xFFE0, {}}};
    for (std::size_t i = 0; i < size; ++i) image[0].bytes.push_back(static_cast<std::uint8_t>(i * 13 + 5));
    for (int i = 0; i < 16; ++i) image[1].bytes.insert(image[1].bytes.end(), {0x00, 0x11});
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

TEST(Programmer, ProgramsAndVerifiesThroughRetries) {
    if (wine_build()) GTEST_SKIP() << "the native programmer";
    TempDir dir;
    write_file(dir.file("K210t.TXT"), test_image(1000));
    Simulator sim(dir.path, 3, {"--dump", dir.file("flash.txt"), "--loader-nak-once", "--loader-corrupt-once"});
    const RunResult r = run_bsl(dir.path, {"+mpvr", "-cCOM3", "K210t.TXT"});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_NE(r.out.find("BSL: done: erased, programmed, verified, started"), std::string::npos);
    EXPECT_TRUE(port_is_free(sim.device));
    sim.stop();
    Image written, flash;
    std::string error;
    ASSERT_TRUE(parse_ti_txt(test_image(1000), "image", written, error));
    ASSERT_TRUE(read_ti_txt(dir.file("flash.txt"), flash, error)) << error;
    ASSERT_EQ(flash.size(), 2u);
    EXPECT_EQ(flash[0].address, 0x1100u);
    EXPECT_EQ(flash[0].bytes, written[0].bytes);
    EXPECT_EQ(sim.log_lines("PASSWORD"), std::vector<std::string>{"accepted"});
    EXPECT_EQ(sim.log_lines("LOADER").size(), 3u);  // entered, the refusal and the damaged block
}

TEST(Programmer, FailsClearlyAndNeverReportsSuccessAfterAFailure) {
    if (wine_build()) GTEST_SKIP() << "the native programmer";
    TempDir dir;
    write_file(dir.file("K210t.TXT"), test_image(600));
    write_file(dir.file("BAD.TXT"), "@1100\n12 34\nzz\nq\n");
    {  // switches off: the loader never answers
        Simulator sim(dir.path, 3, {"--loader-silent"});
        const RunResult r = run_bsl(dir.path, {"+mpvr", "-cCOM3", "K210t.TXT"});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_NE(r.out.find("no answer from the bootstrap loader: are the programming switches on?"),
                  std::string::npos);
        EXPECT_LT(r.seconds, 5);
        EXPECT_TRUE(port_is_free(sim.device));
    }
    {  // programming without erase cannot set bits; an old loader does not notice, verify does
        Simulator sim(dir.path, 3, {"--loader-no-write-check"});
        const RunResult r = run_bsl(dir.path, {"+pv", "-cCOM3", "K210t.TXT"});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_NE(r.out.find("BSL: failed: verify failed at 11"), std::string::npos) << r.out;
    }
    {  // a bad image is refused before the port is touched
        Simulator sim(dir.path, 3);
        RunResult r = run_bsl(dir.path, {"+mpvr", "-cCOM3", "BAD.TXT"});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_NE(r.out.find("BAD.TXT:3: bad hex byte 'zz'"), std::string::npos);
        r = run_bsl(dir.path, {"+mpvr", "-cCOM3", "MISSING.TXT"});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_NE(r.out.find("MISSING.TXT: cannot open the image file"), std::string::npos);
        sim.stop();
        EXPECT_EQ(sim.log().find("LOADER"), std::string::npos);
    }
    const std::vector<std::vector<std::string>> misuse = {{"+mpvx", "-cCOM3", "K210t.TXT"},
                                                           {"+mpvr", "-cCOM0", "K210t.TXT"},
                                                           {"+mpvr", "K210t.TXT"},
                                                           {"--fast", "+mpvr", "-cCOM3", "K210t.TXT"},
                                                           {"+mpvr", "-cCOM3"}};
    for (const auto& arguments : misuse) {
        const RunResult r = run_bsl(dir.path, arguments);
        EXPECT_EQ(r.exit_status, 1) << arguments[0];
        EXPECT_NE(r.err.find("usage: BSL.EXE"), std::string::npos) << arguments[0];
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

// An old unit loses its settings with the erase. Interrupted after the
// programming, it runs with factory settings; the rerun must still give it
// its own settings back, not the factory ones it now reports.
TEST(Programmer, AnInterruptedOldUnitUpdateGetsItsOwnSettingsBackOnTheRerun) {
    TempDir dir;
    write_file(dir.file("K210fxt.TXT"), test_image(2000));
    Simulator sim(dir.path, 2, {"--old-unit", "--dump", dir.file("flash.txt")});
    RunResult r = run_k210prog_with_bsl(dir.path, "2\ny\ny\nn\nc\nq\n");
    EXPECT_EQ(r.exit_status, 2) << r.out;
    EXPECT_NE(r.out.find("BSL: done: erased, programmed, verified"), std::string::npos) << r.out;
    const std::string saved = read_file(dir.file("SETTINGS.TXT"));
    EXPECT_NE(saved.find("SRAL:210457"), std::string::npos);
    EXPECT_TRUE(file_exists(dir.file("SETTINGS.PND")));

    r = run_k210prog_with_bsl(dir.path, "2\ny\ny\nn\nc\nc\n");
    EXPECT_EQ(r.exit_status, 0) << r.out;
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
    EXPECT_EQ(sim.log_lines("FINAL"), expected);
    Image flash;
    std::string error;
    ASSERT_TRUE(read_ti_txt(dir.file("flash.txt"), flash, error)) << error;
    ASSERT_FALSE(flash.empty());
    EXPECT_EQ(flash[0].bytes.size(), 2000u);
}

}  // namespace
