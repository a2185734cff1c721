// The POSIX file layer itself, not a fake of it: writes that are whole or
// fail, files that are only ever created new, flushes to disk in the right
// order around each move into place, no descriptor left behind, and no
// half-made file after a full disk, with k210prog run as a user runs it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fake_device.h"
#include "files/file_steps.h"
#include "files/file_system.h"
#include "harness.h"
#include "settings/capture.h"
#include "settings/restore.h"

using namespace k210;
using namespace k210::harness;
using namespace k210::test;

namespace {

using Lines = std::vector<std::string>;

std::size_t open_descriptors() {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) n += entry.exists() ? 1 : 0;
    return n;
}

// RLIMIT_FSIZE for this process, with SIGXFSZ ignored, until the end of the scope.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) : old_handler_(std::signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        const rlimit limit{bytes, saved_.rlim_max};
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    FileSizeLimit(FileSizeLimit&&) = delete;
    FileSizeLimit& operator=(FileSizeLimit&&) = delete;

  private:
    void (*old_handler_)(int);
    rlimit saved_{};
};

TEST(RealFiles, WriteWholeOrFailAndCreateOnlyNewFiles) {
    TempDir dir;
    WorkingFolder here(dir.path);
    FileSystem& files = real_file_system();
    int fd = -1;
    ASSERT_EQ(files.create_exclusive("A.TXT", fd), FileCall::done) << files.reason();
    ASSERT_EQ(files.write_all(fd, "abc", 3), FileCall::done);
    ASSERT_EQ(files.close(fd), FileCall::done);
    EXPECT_EQ(files.create_exclusive("A.TXT", fd), FileCall::failed);  // never opened again, never cut
    EXPECT_EQ(read_file("A.TXT"), "abc");
    ASSERT_EQ(symlink("TARGET.TXT", "LINK.TXT"), 0);
    EXPECT_EQ(files.create_exclusive("LINK.TXT", fd), FileCall::failed);  // never through a link
    EXPECT_FALSE(file_exists("TARGET.TXT"));

    // A nearly full disk: the write takes what fits, and says it failed.
    const std::string block(10000, 'x');
    ASSERT_EQ(files.create_exclusive("BIG.TXT", fd), FileCall::done);
    {
        FileSizeLimit limit(4096);
        EXPECT_EQ(files.write_all(fd, block.data(), block.size()), FileCall::failed);
        EXPECT_NE(files.reason().find("too large"), std::string::npos) << files.reason();
    }
    EXPECT_EQ(files.close(fd), FileCall::done);
}

// A capture, a restore, the folder syncs and every kind of refused read
// give back every descriptor they took.
TEST(RealFiles, LeaveNoDescriptorBehind) {
    TempDir dir;
    WorkingFolder here(dir.path);
    ASSERT_EQ(mkfifo("FIFO.TXT", 0644), 0);
    ASSERT_EQ(mkdir("FOLDER.TXT", 0755), 0);
    write_file("SMALL.TXT", "MODE?\r\nMODE:9\r\n");
    SettingsStore store(real_file_system());
    std::istringstream no_input;
    std::ostringstream out;
    Dialogue dialogue(no_input, out, out);
    const std::size_t before = open_descriptors();
    for (const char* name : {"SMALL.TXT", "FIFO.TXT", "FOLDER.TXT", "MISSING.TXT"})
        (void)read_regular_file(real_file_system(), name, 8);  // too large, not files, missing
    real_file_system().sync_folder();
    {
        FakeDevice analyzer;
        analyzer.on_write = [&analyzer](const std::string&) { analyzer.arrive(analyzer.now_ms() + 20, "MODE:9\r"); };
        AnalyzerLink link(analyzer);
        ASSERT_EQ(link.open_port(*PortName::from_text("COM3")), OpenStatus::ok);
        EXPECT_EQ(capture_settings(link, store, *PortName::from_text("COM3"), dialogue).outcome,
                  CaptureOutcome::captured)
            << out.str();
        EXPECT_EQ(restore_settings(link, store, dialogue), RestoreStatus::ok);
    }
    EXPECT_EQ(open_descriptors(), before);
}

// SETTINGS.TXT as the simulated analyzer's profile makes it, from a run that saves it.
std::string captured_profile() {
    TempDir dir;
    Simulator sim(dir.path, 3);
    (void)run_k210prog(dir.path, "3\nn\nn\nn\nq\n");
    return read_file(dir.file("SETTINGS.TXT"));
}

const std::string OLDER = "MODE?\r\nMODE:9\r\n";

TEST(RealFiles, AWriteCutShortByAFullDiskReplacesNothing) {
    if (wine_build()) GTEST_SKIP() << "the POSIX file layer";
    const std::string capture = captured_profile();
    ASSERT_GT(capture.size(), 100u);
    TempDir dir;
    write_file(dir.file("SETTINGS.TXT"), OLDER);
    Simulator sim(dir.path, 3);
    RunOptions full_disk;
    full_disk.file_size_limit = capture.size() - 3;  // the last reply's last bytes do not fit
    const RunResult r = run_k210prog(dir.path, "3\nn\nn\nn\nq\n", "0", full_disk);
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_NE(r.err.find("cannot write SETTINGS.TMP: File too large; SETTINGS.TXT was left as it was"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(dir.file("SETTINGS.TXT")), OLDER);
    EXPECT_FALSE(file_exists(dir.file("SETTINGS.TMP")));
}

// A small file system of its own, mounted over a temporary folder (as root,
// as the test command runs), nearly full: room for the capture, not for
// its archive as well.
class SmallDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        if (wine_build()) GTEST_SKIP() << "the POSIX file layer";
        if (mount("k210-small", dir.path.c_str(), "tmpfs", 0, "size=256k") != 0) {
            GTEST_SKIP() << "cannot mount a small file system here (" << std::strerror(errno) << "); needs root";
        }
        mounted = true;
    }
    void TearDown() override {
        if (mounted) {
            EXPECT_EQ(umount2(dir.path.c_str(), MNT_DETACH), 0);
        }
    }
    // Fills the disk, then frees `pages` of it.
    void leave_free(std::size_t pages) {
        const std::string filler = dir.file("FILLER");
        std::FILE* file = std::fopen(filler.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const std::string block(4096, 'f');
        while (std::fwrite(block.data(), 1, block.size(), file) == block.size() && std::fflush(file) == 0) {
        }
        std::fclose(file);
        const auto size = std::filesystem::file_size(filler);
        ASSERT_GT(size, pages * 4096);
        std::filesystem::resize_file(filler, size - pages * 4096);
    }
    TempDir log_dir;  // the simulator's log, off the small disk
    TempDir dir;
    bool mounted = false;
};

TEST_F(SmallDisk, AnArchiveThatDoesNotFitLeavesNoHalfMadeFile) {
    Simulator sim(dir.path, 3, {"--log", log_dir.file("sim.log")});
    leave_free(1);  // the capture's page, and none for its archive
    const RunResult r = run_k210prog(dir.path, "3\nn\nn\nn\nq\n");
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Could not write data file!"), std::string::npos) << r.out;
    Lines left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Lines{"COM3", "FILLER"})) << r.err;  // no SETTINGS-*.TXT, no SETTINGS.TMP
}

// The calls k210prog made, as the preloaded recorder wrote them down.
Lines recorded_calls(const std::string& log) {
    Lines calls;
    std::istringstream in(read_file(log));
    for (std::string line; std::getline(in, line);) calls.push_back(line);
    return calls;
}

std::size_t first(const Lines& calls, const std::string& call, std::size_t from = 0) {
    const auto at = std::find(calls.begin() + static_cast<long>(std::min(from, calls.size())), calls.end(), call);
    return static_cast<std::size_t>(at - calls.begin());
}

TEST(RealFiles, AFileIsOnTheDiskBeforeItIsMovedAndTheFolderAfter) {
    if (wine_build()) GTEST_SKIP() << "the POSIX file layer";
    TempDir dir;
    TempDir records;
    Simulator sim(dir.path, 3);
    RunOptions recorded;
    recorded.env = {"LD_PRELOAD=" FILE_CALLS_SHIM, "K210_FILE_CALLS=" + records.file("calls"),
                    "ASAN_OPTIONS=verify_asan_link_order=0"};
    const RunResult r = run_k210prog(dir.path, "3\ny\nn\nn\nc\nc\n", "0", recorded);  // an old unit
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
    const Lines calls = recorded_calls(records.file("calls"));
    ASSERT_FALSE(calls.empty()) << "nothing recorded";
    struct Move {
        const char* file;
        const char* into;
    };
    for (const Move& m : {Move{"SETTINGS.TMP", "SETTINGS.TXT"}, Move{"SETTINGS.PND.TMP", "SETTINGS.PND"}}) {
        const std::size_t moved = first(calls, std::string("rename ") + m.file + " " + m.into);
        ASSERT_LT(moved, calls.size()) << m.into;
        EXPECT_LT(first(calls, std::string("fsync ") + m.file), moved) << m.file << " moved before it was on the disk";
        EXPECT_LT(first(calls, "fsync .", moved), calls.size()) << "no folder sync after " << m.into;
    }
    const auto archive = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
        return call.rfind("open SETTINGS-210457-", 0) == 0;
    });
    ASSERT_NE(archive, calls.end());
    const std::string name = archive->substr(5);
    EXPECT_LT(first(calls, "fsync " + name), calls.size()) << "the archive was never flushed";
    EXPECT_LT(first(calls, "fsync .", first(calls, "close " + name)), calls.size()) << "no folder sync after it";
    const std::size_t cleared = first(calls, "unlink SETTINGS.PND");
    EXPECT_LT(first(calls, "fsync .", cleared), calls.size()) << "no folder sync after the record went";
    // Every descriptor opened is closed again, the folder syncs' among them.
    std::ptrdiff_t open = 0;
    for (const std::string& call : calls)
        open += call.rfind("open ", 0) == 0 ? 1 : call.rfind("close ", 0) == 0 ? -1 : 0;
    EXPECT_EQ(open, 0);
}

}  // namespace
