// The capture and the restore against an analyzer that exists only in the
// test (on the port's fault seam, with its clock), and files that fail on
// demand (on the file seam): what keeps an analyzer's settings safe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fake_device.h"
#include "harness.h"
#include "settings/capture.h"
#include "settings/query_table.h"
#include "settings/restore.h"

using namespace k210;
using namespace k210::harness;
using namespace k210::test;

namespace {

using Lines = std::vector<std::string>;

// Replies as the analyzer's profile makes them, by query.
const std::map<std::string, std::string> REPLIES = {{"\rLOGO?\r", "LOGO:VORTAN K210\r"},
                                                    {"VERS?\r", "VERS:3.7\r"},
                                                    {"SRAL?\r", "SRAL:210457\r"},
                                                    {"MODE?\r", "MODE:2\r"},
                                                    {"TIME?\r", "TIME:14:05:33\r"}};

// Answers each query 20 ms after it was sent; after `answers` queries it
// hangs up, or fails every write while reads only time out (as some
// drivers do when the adapter is gone).
struct FakeAnalyzer : FakeDevice {
    enum class Gone { no, hangs_up, writes_fail };
    explicit FakeAnalyzer(int answers = 16, Gone gone = Gone::no) {
        on_write = [this, answers, gone](const std::string& query) {
            if (++queries > answers) {
                hung_up = gone == Gone::hangs_up;
                return;
            }
            const auto reply = REPLIES.find(query);
            if (reply != REPLIES.end()) arrive(now_ms() + 20, reply->second);
            if (queries == answers && gone == Gone::writes_fail) write_error = EIO;  // the next query fails
        };
    }
    int queries = 0;
};

// The real files, with the calls of one kind failing as a full disk would.
struct FailingFiles : FileSystem {
    std::string failing;   // e.g. "write_all"
    std::string fails_at;  // only for names that begin so, when the call has one
    std::vector<std::string> calls;
    bool fails(const std::string& call, const std::string& name = "") {
        calls.push_back(call + (name.empty() ? "" : " " + name));
        return call == failing && name.rfind(fails_at, 0) == 0;
    }
    FileCall create_exclusive(const std::string& name, int& fd) override {
        return fails("create_exclusive", name) ? failed("No space left on device")
                                               : FileSystem::create_exclusive(name, fd);
    }
    FileCall write_all(int fd, const char* bytes, std::size_t length) override {
        return fails("write_all") ? failed("No space left on device") : FileSystem::write_all(fd, bytes, length);
    }
    FileCall flush_to_disk(int fd) override {
        return fails("flush_to_disk") ? failed("Input/output error") : FileSystem::flush_to_disk(fd);
    }
    FileCall rename_over(const std::string& from, const std::string& to) override {
        return fails("rename_over", to) ? failed("Input/output error") : FileSystem::rename_over(from, to);
    }
};

const PortName COM3 = *PortName::from_text("COM3");
const std::string SAVED = "MODE?\r\nMODE:9\r\n";

class SettingsOnTheLine : public ::testing::Test {
  protected:
    struct Seen {
        Capture capture;
        std::string out, err;
    };
    static Seen capture_from(FakeDevice& device, FileSystem& files) {
        AnalyzerLink link(device);
        SettingsStore store(files);
        EXPECT_EQ(link.open_port(COM3), OpenStatus::ok);
        std::istringstream no_input;
        std::ostringstream out;
        std::ostringstream err;
        Dialogue dialogue(no_input, out, err);
        Seen seen;
        seen.capture = capture_settings(link, store, COM3, dialogue);
        seen.out = out.str();
        seen.err = err.str();
        return seen;
    }
    std::vector<std::string> archives() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            if (entry.path().filename().string().rfind("SETTINGS-", 0) == 0)
                names.push_back(entry.path().filename().string());
        return names;
    }
    TempDir dir;
    WorkingFolder here{dir.path};
};

TEST_F(SettingsOnTheLine, ACaptureSavesWhatCameAndNamesItByTheSerial) {
    write_file(SETTINGS_FILE_NAME, SAVED);
    FakeAnalyzer analyzer;
    FileSystem files;
    const Seen seen = capture_from(analyzer, files);
    EXPECT_EQ(seen.capture.outcome, CaptureOutcome::captured);
    EXPECT_EQ(seen.capture.firmware_version, "3.7");
    EXPECT_EQ(seen.out,
              "Retrieving Settings...\nLOGO:VORTAN K210\rVERS:3.7\rSRAL:210457\rMODE:2\rTIME:14:05:33\r"
              "Upload Complete.\n");
    const std::string file =
        "\rLOGO?\r\nLOGO:VORTAN K210\r\nVERS?\r\nVERS:3.7\r\nSRAL?\r\nSRAL:210457\r\n"
        "MODE?\r\nMODE:2\r\nTIME?\r\nTIME:14:05:33\r\n";
    EXPECT_EQ(read_file(SETTINGS_FILE_NAME), file);
    EXPECT_EQ(read_file(SETTINGS_BACKUP_NAME), SAVED);
    ASSERT_EQ(archives().size(), 1u);
    EXPECT_EQ(archives()[0].rfind("SETTINGS-210457-", 0), 0u);
    EXPECT_EQ(read_file(archives()[0]), file);
    // Sixteen queries, each one read of at most 3.56 s: the silent ones take the whole time.
    EXPECT_EQ(analyzer.queries, 16);
    EXPECT_EQ(analyzer.now_ms(), 5 * (20 + 250) + 11 * 3560);
}

TEST_F(SettingsOnTheLine, ASilentOrVanishingAnalyzerLeavesTheSettingsAsTheyWere) {
    struct Case {
        const char* what;
        int answers;
        FakeAnalyzer::Gone gone;
        CaptureOutcome outcome;
        std::string out;
        long most_ms;
    };
    const std::vector<Case> cases = {
        {"silent from the start", 0, FakeAnalyzer::Gone::no, CaptureOutcome::no_first_reply,
         "Retrieving Settings...\n  No Response from VORTAN.\n", 3560},
        {"unplugged after three queries", 3, FakeAnalyzer::Gone::hangs_up, CaptureOutcome::failed,
         "Retrieving Settings...\nLOGO:VORTAN K210\rVERS:3.7\rSRAL:210457\r Error Reading COM3 !\n", 3L * 270},
        {"writes failing after three queries", 3, FakeAnalyzer::Gone::writes_fail, CaptureOutcome::failed,
         "Retrieving Settings...\nLOGO:VORTAN K210\rVERS:3.7\rSRAL:210457\r Error Reading COM3 !\n", 3L * 270},
    };
    for (const Case& c : cases) {
        write_file(SETTINGS_FILE_NAME, SAVED);
        write_file(SETTINGS_BACKUP_NAME, "an older backup\r\n");
        FakeAnalyzer analyzer(c.answers, c.gone);
        FileSystem files;
        const Seen seen = capture_from(analyzer, files);
        EXPECT_EQ(seen.capture.outcome, c.outcome) << c.what;
        EXPECT_EQ(seen.out, c.out) << c.what;
        EXPECT_LE(analyzer.now_ms(), c.most_ms) << c.what;  // no waiting out silent reads of a gone device
        EXPECT_EQ(read_file(SETTINGS_FILE_NAME), SAVED) << c.what;
        EXPECT_EQ(read_file(SETTINGS_BACKUP_NAME), "an older backup\r\n") << c.what;
        EXPECT_FALSE(file_exists(SETTINGS_TEMP_NAME)) << c.what;
        EXPECT_TRUE(archives().empty()) << c.what;
    }
    std::remove(SETTINGS_FILE_NAME);  // none at all: an empty one is made, for the restore
    FakeAnalyzer silent(0);
    FileSystem files;
    EXPECT_EQ(capture_from(silent, files).capture.outcome, CaptureOutcome::no_first_reply);
    EXPECT_EQ(read_file(SETTINGS_FILE_NAME), "");
}

TEST_F(SettingsOnTheLine, AFileThatCannotBeWrittenWholeReplacesNothing) {
    struct Case {
        const char* failing;
        const char* at;
        const char* reason;
    };
    const Case cases[] = {
        {"write_all", "", "cannot write SETTINGS.TMP: No space left on device"},  // a full disk
        {"flush_to_disk", "", "cannot write SETTINGS.TMP: Input/output error"},
        {"create_exclusive", "SETTINGS-", "cannot create SETTINGS-"},  // the archive
        {"create_exclusive", SETTINGS_BACKUP_TEMP_NAME, "cannot make SETTINGS.BAK"},
        {"rename_over", SETTINGS_FILE_NAME, "cannot replace SETTINGS.TXT"},
    };
    for (const Case& c : cases) {
        write_file(SETTINGS_FILE_NAME, SAVED);
        FakeAnalyzer analyzer;
        FailingFiles files;
        files.failing = c.failing;
        files.fails_at = c.at;
        const Seen seen = capture_from(analyzer, files);
        EXPECT_EQ(seen.capture.outcome, CaptureOutcome::failed) << c.failing << " " << c.at;
        EXPECT_NE(seen.out.find("Upload Complete.\nCould not write data file!\n"), std::string::npos) << seen.out;
        EXPECT_NE(seen.err.find(c.reason), std::string::npos) << seen.err;
        EXPECT_EQ(read_file(SETTINGS_FILE_NAME), SAVED) << c.failing;
        EXPECT_FALSE(file_exists(SETTINGS_TEMP_NAME)) << c.failing;
        for (const std::string& name : archives()) std::remove(name.c_str());
    }
    // The capture is on the disk before it takes the place of the settings.
    FakeAnalyzer analyzer;
    FailingFiles files;
    (void)capture_from(analyzer, files);
    const auto at = [&](const std::string& call) {
        return std::find(files.calls.begin(), files.calls.end(), call) - files.calls.begin();
    };
    EXPECT_LT(at("flush_to_disk"), at(std::string("rename_over ") + SETTINGS_FILE_NAME));
}

TEST_F(SettingsOnTheLine, ARecordThatCannotBeReadStillKeepsTheSettings) {
    struct Case {
        const char* what;
        void (*plant)();
    };
    const Case cases[] = {
        {"a FIFO", [] { mkfifo(PENDING_RESTORE_NAME, 0644); }},
        {"a folder", [] { mkdir(PENDING_RESTORE_NAME, 0755); }},
        {"a link to a device", [] { (void)symlink("/dev/zero", PENDING_RESTORE_NAME); }},
        {"too large", [] { write_file(PENDING_RESTORE_NAME, std::string(SETTINGS_FILE_LIMIT + 1, 'x')); }},
        {"not a record", [] { write_file(PENDING_RESTORE_NAME, "garbage"); }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(PENDING_RESTORE_NAME);
        c.plant();
        write_file(SETTINGS_FILE_NAME, SAVED);
        FakeAnalyzer analyzer;
        FileSystem files;
        const Seen seen = capture_from(analyzer, files);
        EXPECT_EQ(seen.capture.outcome, CaptureOutcome::captured) << c.what;
        EXPECT_EQ(read_file(SETTINGS_FILE_NAME), SAVED) << c.what;
        EXPECT_EQ(archives().size(), 1u) << c.what;
        EXPECT_NE(seen.err.find("SETTINGS.PND could not be read"), std::string::npos) << c.what << ": " << seen.err;
        EXPECT_NE(seen.err.find("delete SETTINGS.PND"), std::string::npos) << c.what;
        for (const std::string& name : archives()) std::remove(name.c_str());
    }
}

struct Restored {
    RestoreStatus status;
    std::string out, err;
};

Restored restore_to(FakeDevice& device) {
    AnalyzerLink link(device);
    FileSystem files;
    SettingsStore store(files);
    EXPECT_EQ(link.open_port(COM3), OpenStatus::ok);
    std::istringstream no_input;
    std::ostringstream out;
    std::ostringstream err;
    Dialogue dialogue(no_input, out, err);
    const RestoreStatus status = restore_settings(link, store, dialogue);
    return {status, out.str(), err.str()};
}

std::vector<std::pair<long, std::string>> sent(const FakeDevice& device) {
    std::vector<std::pair<long, std::string>> commands;
    for (const FakeDevice::Write& w : device.writes) commands.emplace_back(w.at_ms, w.bytes);
    return commands;
}

// Every line read, header or not, is followed by half a second before the next.
TEST_F(SettingsOnTheLine, TheRestorePausesHalfASecondAfterEveryLine) {
    write_file(SETTINGS_FILE_NAME, "MODE?\r\nM:1\r\nVERS?\r\nV:2\r\nSMOK?\r\nS:0\r\nTEFF?\r\nT:80");
    FakeDevice analyzer;
    const Restored r = restore_to(analyzer);
    EXPECT_EQ(r.status, RestoreStatus::ok);
    EXPECT_EQ(r.out, "Downloading Data...\nMODE?\rM:1\rVERS?\rV:2\rSMOK?\rS:0\rTEFF?\rT:80");
    using Sent = std::vector<std::pair<long, std::string>>;
    EXPECT_EQ(sent(analyzer), (Sent{{500, "MODE 1\r"}, {2500, "SMOK 0\r"}, {3500, "TEFF 80"}}));
    EXPECT_EQ(analyzer.now_ms(), 8 * 500);
}

TEST_F(SettingsOnTheLine, TheRestoreStopsAtAnAnalyzerThatIsGoneAndAtAFileThatIsNot) {
    write_file(SETTINGS_FILE_NAME, "MODE?\r\nM:1\r\nSMOK?\r\nS:0\r\n");
    FakeDevice vanishing;
    vanishing.on_write = [&](const std::string&) { vanishing.write_error = EIO; };
    Restored r = restore_to(vanishing);
    EXPECT_EQ(r.status, RestoreStatus::write_failed);
    EXPECT_EQ(r.out, "Downloading Data...\nMODE?\rM:1\rSMOK?\rS:0\r");
    EXPECT_EQ(vanishing.writes.size(), 1u);
    EXPECT_EQ(vanishing.now_ms(), 3 * 500);  // no pause after the command that failed

    std::remove(SETTINGS_FILE_NAME);
    ASSERT_EQ(mkfifo(SETTINGS_FILE_NAME, 0644), 0);
    FakeDevice analyzer;
    r = restore_to(analyzer);
    EXPECT_NE(r.err.find("SETTINGS.TXT is a FIFO"), std::string::npos);
    EXPECT_EQ(r.status, RestoreStatus::file_refused);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(analyzer.writes.empty());

    std::remove(SETTINGS_FILE_NAME);
    r = restore_to(analyzer);
    EXPECT_EQ(r.status, RestoreStatus::ok);
    EXPECT_EQ(r.out, "");
}

}  // namespace
