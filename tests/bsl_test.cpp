// The programmer: loader frames and image files on their own, then BSL.EXE
// against the simulated loader, and a whole run of k210prog with it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "bsl/ti_txt.h"
#include "harness.h"

namespace {

TEST(LoaderFrames, MatchTheLoadersWorkedExamples) {
    EXPECT_EQ(make_frame(BSL_TX_DATA_BLOCK, 0x0FF0, 14),
              (Bytes{0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x0E, 0x00, 0x85, 0xE0}));
    EXPECT_EQ(make_frame(BSL_MASS_ERASE, 0x0000, MASS_ERASE_KEY),
              (Bytes{0x80, 0x18, 0x04, 0x04, 0x00, 0x00, 0x06, 0xA5, 0x7D, 0x46}));

    Bytes reply = {0x80, 0x00, 0x02, 0x02, 0xF1, 0x49};
    std::uint8_t low, high;
    bsl_checksum(reply.data(), reply.size(), low, high);
    reply.push_back(low);
    reply.push_back(high);
    Bytes data;
    EXPECT_TRUE(parse_data_frame(reply, 2, data));
    EXPECT_EQ(data, (Bytes{0xF1, 0x49}));
    EXPECT_FALSE(parse_data_frame(reply, 4, data));  // not the length asked for
    reply[5] ^= 1;
    EXPECT_FALSE(parse_data_frame(reply, 2, data));  // damaged
}

TEST(LoaderFrames, BlocksAreWordAlignedAndPaddedWithErasedBytes) {
    Image image = {{0x1101, Bytes(3, 0x11)}, {0x1104, {0x22}}, {0x2000, Bytes(500, 0x33)}};
    const std::vector<WriteBlock> blocks = plan_write_blocks(image);
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].address, 0x1100);
    EXPECT_EQ(blocks[0].bytes, (Bytes{0xFF, 0x11, 0x11, 0x11, 0x22, 0xFF}));
    EXPECT_EQ(blocks[0].from_image, (std::vector<bool>{false, true, true, true, true, false}));
    EXPECT_EQ(blocks[1].address, 0x2000);
    EXPECT_EQ(blocks[1].bytes.size(), MAX_BLOCK);
    EXPECT_EQ(blocks[3].address, 0x2000 + 2 * MAX_BLOCK);
    EXPECT_EQ(blocks[3].bytes.size(), 20u);

    EXPECT_EQ(password_for(image, true), Bytes(32, 0xFF));
    image.push_back({0xFFFE, {0x00, 0x11}});
    Bytes vectors(32, 0xFF);
    vectors[30] = 0x00;
    vectors[31] = 0x11;
    EXPECT_EQ(password_for(image, false), vectors);
}

TEST(ImageFiles, ReadsTiTxtAndRejectsAnythingElseWithItsLine) {
    Image image;
    std::string error;
    ASSERT_TRUE(parse_ti_txt("@1100\r\n0a Bc 12  \r\n\r\n@ffe0\n01 02\nq\n", "A.TXT", image, error)) << error;
    ASSERT_EQ(image.size(), 2u);
    EXPECT_EQ(image[0].address, 0x1100u);
    EXPECT_EQ(image[0].bytes, (Bytes{0x0A, 0xBC, 0x12}));
    EXPECT_EQ(image[1].address, 0xFFE0u);
    Image again;
    ASSERT_TRUE(parse_ti_txt(write_ti_txt(image), "B.TXT", again, error));
    EXPECT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].bytes, image[0].bytes);

    const std::vector<std::pair<std::string, std::string>> bad = {
        {"@1100\n12 G4\nq\n", "A.TXT:2: bad hex byte 'G4'"},
        {"12 34\nq\n", "A.TXT:1: data before the first @address line"},
        {"@1100\n12 345\nq\n", "A.TXT:2: bad hex byte '345'"},
        {"@1100\n12\n", "A.TXT:2: missing the final 'q'"},
        {"@1100\n12\nq\n@1200\n", "A.TXT:4: text after the final 'q'"},
        {"@10000\n12\nq\n", "A.TXT:1: bad section address '@10000'"},
        {"@FFFF\n12 34\nq\n", "A.TXT:2: section runs past address FFFF"},
        {"@1100\n12 34\n@1101\n56\nq\n", "A.TXT:5: sections overlap"},
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(parse_ti_txt(c.first, "A.TXT", image, error));
        EXPECT_EQ(error, c.second);
    }
    EXPECT_FALSE(read_ti_txt("/nonexistent/K210t.TXT", image, error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

// An image of `size` bytes from 0x1100, with the vectors the simulator's
// present firmware has, so a password without erase is right.
std::string test_image(std::size_t size) {
    Image image = {{0x1100, {}}, {0xFFE0, {}}};
    for (std::size_t i = 0; i < size; ++i) image[0].bytes.push_back(static_cast<std::uint8_t>(i * 13 + 5));
    for (int i = 0; i < 16; ++i) image[1].bytes.insert(image[1].bytes.end(), {0x00, 0x11});
    return write_ti_txt(image);
}

RunResult run_bsl(const std::string& dir, const std::vector<std::string>& arguments) {
    return run_program(BSL_DIR "/BSL.EXE", dir, "", {}, 60, arguments);
}

bool port_is_free(const std::string& device) {
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return free;
}

TEST(Programmer, ProgramsAndVerifiesThroughRetries) {
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

TEST(Programmer, OldUnitRunGetsNewFirmwareAndItsOwnSettingsBack) {
    TempDir dir;
    write_file(dir.file("K210fxt.TXT"), test_image(2000));
    Simulator sim(dir.path, 2, {"--old-unit", "--dump", dir.file("flash.txt")});
    const char* path = std::getenv("PATH");
    const RunResult r = run_program(K210PROG_PATH, dir.path, "2\ny\ny\nn\nc\nc\n", {std::string("PATH=") + BSL_DIR + ":" + path});
    EXPECT_EQ(r.exit_status, 0) << r.out;
    EXPECT_NE(r.out.find("BSL: done: erased, programmed, verified, started; K210fxt.TXT"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 22), "Programming Complete!\n");
    sim.stop();
    TempDir other;
    Simulator untouched(other.path, 2);  // an analyzer of the same profile, never programmed
    untouched.stop();
    std::vector<std::string> expected = untouched.log_lines("FINAL");
    expected[1] = "VERS 4.2";  // the new firmware's version; everything else as captured
    EXPECT_EQ(sim.log_lines("FINAL"), expected);
    EXPECT_NE(sim.log().find("FACTORY-SETTINGS"), std::string::npos);
    Image flash;
    std::string error;
    ASSERT_TRUE(read_ti_txt(dir.file("flash.txt"), flash, error)) << error;
    EXPECT_EQ(flash[0].bytes.size(), 2000u);
}

}  // namespace
