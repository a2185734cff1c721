// The programmer's loader frames, write blocks, speed settings and image files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bsl/bsl_protocol.h"
#include "bsl/ti_txt.h"

using namespace k210;
using namespace k210::bsl;

namespace {

FlashImage image_of(const std::vector<ImageRun>& runs) {
    FlashImage image;
    for (const ImageRun& run : runs) EXPECT_EQ(image.place(run.address, run.bytes), Placed::ok);
    return image;
}

TEST(LoaderFrames, MatchTheLoadersWorkedExamples) {
    EXPECT_EQ(make_frame(BSL_TX_DATA_BLOCK, 0x0FF0, 14),
              (Bytes{0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x0E, 0x00, 0x85, 0xE0}));
    EXPECT_EQ(make_frame(BSL_MASS_ERASE, 0x0000, MASS_ERASE_KEY),
              (Bytes{0x80, 0x18, 0x04, 0x04, 0x00, 0x00, 0x06, 0xA5, 0x7D, 0x46}));

    Bytes reply = {0x80, 0x00, 0x02, 0x02, 0xF1, 0x49};
    std::uint8_t low = 0;
    std::uint8_t high = 0;
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
    const FlashImage image = image_of({{0x1101, Bytes(3, 0x11)}, {0x1104, {0x22}}, {0x2000, Bytes(500, 0x33)}});
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
    Bytes vectors(32, 0xFF);
    vectors[30] = 0x00;
    vectors[31] = 0x11;
    EXPECT_EQ(password_for(image_of({{0x1100, {0x12}}, {0xFFFE, {0x00, 0x11}}}), false), vectors);
}

TEST(LoaderFrames, FasterRatesOnlyWhereTheyAreDocumented) {
    struct Case {
        const char* what;
        std::uint8_t chip_high;
        unsigned version, baud;
        bool documented;
    };
    const Case cases[] = {
        {"1.60 is the first version with the speed change", 0xF1, 0x0160, 38400, true},
        {"F4xx", 0xF4, 0x0161, 19200, true},
        {"1.30 has none", 0xF1, 0x0130, 19200, false},
        {"2.00 and on are other loaders", 0xF1, 0x0200, 19200, false},
        {"no F2xx clock settings", 0xF2, 0x0161, 19200, false},
        {"no such rate", 0xF1, 0x0161, 57600, false},
    };
    for (const Case& c : cases) {
        LoaderIdentity loader;
        loader.chip_high = c.chip_high;
        loader.version = c.version;
        SpeedSetting setting{};
        EXPECT_EQ(speed_setting_for(loader, c.baud, setting), c.documented) << c.what;
    }
}

TEST(ImageFiles, ReadsTiTxtAndRejectsAnythingElseWithItsLine) {
    FlashImage image;
    ImageReader reader;
    const std::string& error = reader.failure_reason();
    ASSERT_EQ(reader.parse("@1100\r\n0a Bc 12  \r\n\r\n@ffe0\n01 02\nq\n", "A.TXT", image), Verdict::ok) << error;
    ASSERT_EQ(image.runs().size(), 2u);
    EXPECT_EQ(image.runs()[0].address, 0x1100u);
    EXPECT_EQ(image.runs()[0].bytes, (Bytes{0x0A, 0xBC, 0x12}));
    EXPECT_EQ(image.runs()[1].address, 0xFFE0u);
    EXPECT_EQ(image.line_of(0x1102), 2);
    EXPECT_EQ(image.line_of(0xFFE1), 5);
    EXPECT_EQ(image.end_line(), 6);
    FlashImage again;
    ASSERT_EQ(reader.parse(write_ti_txt(image), "B.TXT", again), Verdict::ok);
    EXPECT_TRUE(again == image);

    const std::string long_token(5000, 'G');
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"@1100\n12 G4\nq\n", "A.TXT:2: bad hex byte 'G4'"},
        {"12 34\nq\n", "A.TXT:1: data before the first @address line"},
        {"@1100\n12 345\nq\n", "A.TXT:2: bad hex byte '345'"},
        {"@1100\n12\n", "A.TXT:2: missing the final 'q'"},
        {"@1100\n12\nq\n@1200\n", "A.TXT:4: text after the final 'q'"},
        {"@10000\n12\nq\n", "A.TXT:1: bad section address '@10000'"},
        {"@FFFF\n12 34\nq\n", "A.TXT:2: section runs past address FFFF"},
        {"@1100\n12 34\n@1101\n56\nq\n", "A.TXT:4: sections overlap"},
        {"@1102\n56\n@1100\n12 34 78\nq\n", "A.TXT:4: sections overlap"},
        {"@1100\n12 " + long_token + "\nq\n", "A.TXT:2: bad hex byte 'GGGGGGGGGGGGGGGGGGGGGGGGGGGGGGGG...'"},
        {"@1100\r12 34\rq\r", "A.TXT:1: a line ends in a CR alone; the lines of an image end in LF or CR LF"},
        {"@1100\n12 \x1b[2J\nq\n", "A.TXT:2: bad hex byte '\\x1B[2J'"},
        {"@1100\n12 \x7f\xff\xc3\xa9\nq\n", R"(A.TXT:2: bad hex byte '\x7F\xFF\xC3\xA9')"},  // shown, never sent raw
    };
    for (const auto& c : bad) {
        EXPECT_EQ(reader.parse(c.first, "A.TXT", image), Verdict::refused);
        EXPECT_EQ(error, c.second);
        EXPECT_TRUE(image.empty());
    }
    // Sections that only touch, in either order, are one stretch of flash.
    for (const char* touching : {"@1100\n12 34\n@1102\n56\nq\n", "@1102\n56\n@1100\n12 34\nq\n"}) {
        ASSERT_EQ(reader.parse(touching, "A.TXT", image), Verdict::ok) << touching << error;
        EXPECT_EQ(image.runs().size(), 1u);
    }
    EXPECT_EQ(reader.read(real_file_system(), "/nonexistent/K210t.TXT", image), Verdict::refused);
    EXPECT_NE(error.find("/nonexistent/K210t.TXT: cannot open the image file"), std::string::npos);
}

// The system's files, but every read after the first fails, as a disk or a
// network folder that fails half-way does.
class FailsHalfWay : public FileSystem {
  public:
    FileCall read_some(int fd, char* buffer, std::size_t size, std::size_t& got) override {
        if (reads_++ == 0) return FileSystem::read_some(fd, buffer, size, got);
        got = 0;
        return failed("Input/output error");
    }

  private:
    int reads_ = 0;
};

TEST(ImageFiles, AReadThatFailsHalfWayIsNoImage) {
    FlashImage big;
    ASSERT_EQ(big.place(0x1100, Bytes(30000, 0x5A)), Placed::ok);  // about 90 KB of text: two reads or more
    const std::string path =
        (std::filesystem::temp_directory_path() / ("k210-half-" + std::to_string(std::rand()) + ".TXT")).string();
    { std::ofstream(path, std::ios::binary) << write_ti_txt(big); }
    FailsHalfWay files;
    ImageReader reader;
    FlashImage image;
    EXPECT_EQ(reader.read(files, path, image), Verdict::refused);
    EXPECT_EQ(reader.failure_reason(), path + ": cannot read the image file (Input/output error)");
    EXPECT_TRUE(image.empty());
    EXPECT_EQ(reader.read(real_file_system(), path, image), Verdict::ok);
    EXPECT_TRUE(image == big);
    std::remove(path.c_str());
}

}  // namespace
