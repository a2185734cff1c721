// The settings files in a real folder: planted links, FIFOs and devices,
// backups that are replaced but never lost, archives, the pending-restore
// record and the one-run-per-folder lock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"
#include "settings/capture_file.h"
#include "settings/folder_lock.h"
#include "settings/pending_record.h"
#include "settings/settings_store.h"

using namespace k210;
using namespace k210::harness;

namespace {

// A temporary folder that is the working folder while the test runs.
class SettingsFiles : public ::testing::Test {
  protected:
    std::vector<std::string> names() const {
        std::vector<std::string> all;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            all.push_back(entry.path().filename().string());
        std::sort(all.begin(), all.end());
        return all;
    }
    TempDir dir, outside;
    WorkingFolder here{dir.path};
};

// A whole capture through the store, as the capture pass makes it; the
// reason when it fails.
bool capture(const std::string& bytes, std::string& error) {
    FileSystem files;
    CaptureFile file(files);
    bool ok = file.begin() == StoreResult::ok;
    if (ok) file.write(bytes);
    ok = ok && file.finish() == StoreResult::ok && file.replace_settings() == StoreResult::ok;
    error = file.failure_reason();
    return ok;
}

TEST_F(SettingsFiles, PlantedFilesAreNeverWrittenThroughOrWaitedOn) {
    const std::string victim = outside.file("victim.txt");
    write_file(victim, "not yours\n");
    std::string error;
    ASSERT_EQ(link(victim.c_str(), SETTINGS_TEMP_NAME), 0);  // a hard link
    ASSERT_TRUE(capture("MODE?\r\nMODE:1\r\n", error)) << error;
    ASSERT_EQ(symlink(victim.c_str(), SETTINGS_TEMP_NAME), 0);  // a symbolic link
    ASSERT_TRUE(capture("MODE?\r\nMODE:2\r\n", error)) << error;
    ASSERT_EQ(mkfifo(SETTINGS_TEMP_NAME, 0644), 0);  // a FIFO would hold the writer for good
    ASSERT_TRUE(capture("MODE?\r\nMODE:3\r\n", error)) << error;
    EXPECT_EQ(read_file(victim), "not yours\n");
    EXPECT_EQ(read_file(SETTINGS_FILE_NAME), "MODE?\r\nMODE:3\r\n");

    struct Case {
        const char* what;
        void (*plant)();
        SettingsRead read;
        const char* reason;
    };
    const Case cases[] = {
        {"a FIFO", [] { mkfifo(SETTINGS_FILE_NAME, 0644); }, SettingsRead::refused, "is a FIFO"},
        {"a device", [] { (void)symlink("/dev/zero", SETTINGS_FILE_NAME); }, SettingsRead::refused, "is a device"},
        {"a folder", [] { mkdir(SETTINGS_FILE_NAME, 0755); }, SettingsRead::refused, "is a folder"},
        {"a huge file", [] { write_file(SETTINGS_FILE_NAME, std::string(SETTINGS_FILE_LIMIT + 1, '\n')); },
         SettingsRead::refused, "is larger than"},
        {"nothing", [] {}, SettingsRead::missing, ""},
    };
    FileSystem files;
    SettingsStore store(files);
    for (const Case& c : cases) {
        std::filesystem::remove_all(SETTINGS_FILE_NAME);
        c.plant();
        std::string content;
        EXPECT_EQ(store.read(SETTINGS_FILE_NAME, content), c.read) << c.what;
        EXPECT_NE(store.failure_reason().find(c.reason), std::string::npos) << c.what << ": " << store.failure_reason();
    }
}

TEST_F(SettingsFiles, BackupsAreReplacedNeverLost) {
    std::string error;
    write_file(SETTINGS_FILE_NAME, "first\r\n");
    write_file(SETTINGS_BACKUP_NAME, "older\r\n");
    ASSERT_TRUE(capture("second\r\n", error)) << error;
    EXPECT_EQ(read_file(SETTINGS_FILE_NAME), "second\r\n");
    EXPECT_EQ(read_file(SETTINGS_BACKUP_NAME), "first\r\n");

    // SETTINGS.TXT that cannot be backed up: nothing is replaced, nothing lost.
    for (auto plant : {+[] { mkfifo(SETTINGS_FILE_NAME, 0644); }, +[] { mkdir(SETTINGS_FILE_NAME, 0755); }}) {
        std::filesystem::remove_all(SETTINGS_FILE_NAME);
        plant();
        EXPECT_FALSE(capture("third\r\n", error));
        EXPECT_NE(error.find("not a settings file"), std::string::npos) << error;
        EXPECT_EQ(read_file(SETTINGS_BACKUP_NAME), "first\r\n");
        EXPECT_FALSE(file_exists(SETTINGS_BACKUP_TEMP_NAME));
        EXPECT_FALSE(file_exists(SETTINGS_TEMP_NAME));  // the unfinished capture is gone too
    }
}

TEST_F(SettingsFiles, CapturesAreArchivedAndAPendingRestoreIsRecorded) {
    const std::string profile = "\rLOGO?\r\nLOGO:K210\r\nSRAL?\r\nSRAL:210457\r\n";
    EXPECT_EQ(settings_serial(profile), "210457");
    EXPECT_EQ(settings_serial("sral?\r\nSN:AB/12 x\r\n"), "AB/12 x");
    EXPECT_EQ(settings_serial("MODE?\r\nMODE:1\r\n"), "unknown");
    EXPECT_EQ(settings_serial("SRAL?\r\n"), "unknown");
    std::tm noon{};
    noon.tm_year = 126;
    noon.tm_mon = 11;
    noon.tm_mday = 7;
    noon.tm_hour = 14;
    noon.tm_min = 5;
    noon.tm_sec = 33;
    noon.tm_isdst = -1;
    const std::time_t when = std::mktime(&noon);
    EXPECT_EQ(archive_file_name("AB/12 x", when), "SETTINGS-AB_12_x-20261207-140533.TXT");
    EXPECT_EQ(archive_file_name("", when), "SETTINGS-unknown-20261207-140533.TXT");
    EXPECT_EQ(archive_file_name("../..", when), "SETTINGS-_____-20261207-140533.TXT");

    FileSystem files;
    CaptureFile file(files);
    ASSERT_EQ(file.begin(), StoreResult::ok);
    file.write(profile);
    ASSERT_EQ(file.finish(), StoreResult::ok);
    ASSERT_EQ(file.archive_as("SETTINGS-210457-x.TXT"), StoreResult::ok) << file.failure_reason();
    EXPECT_EQ(file.archive_as("SETTINGS-210457-x.TXT"), StoreResult::failed);  // an archive is never replaced
    ASSERT_EQ(file.replace_settings(), StoreResult::ok);
    EXPECT_EQ(read_file("SETTINGS-210457-x.TXT"), profile);

    SettingsStore store(files);
    PendingRecord record(store);
    using State = PendingRestore::State;
    EXPECT_EQ(record.state().state, State::none);
    ASSERT_EQ(record.mark(), StoreResult::ok) << record.failure_reason();
    const PendingRestore pending = record.state();
    ASSERT_EQ(pending.state, State::pending);
    EXPECT_EQ(pending.serial, "210457");
    EXPECT_EQ(pending.since.size(), 19u);
    write_file(SETTINGS_FILE_NAME, "SRAL?\r\nSRAL:000000\r\n");
    ASSERT_EQ(record.mark(), StoreResult::ok);
    EXPECT_EQ(record.state().serial, "210457");  // an existing record stays as it is
    ASSERT_EQ(record.clear(), StoreResult::ok);
    EXPECT_EQ(record.state().state, State::none);
    ASSERT_EQ(record.mark(), StoreResult::ok);
    std::remove(SETTINGS_FILE_NAME);
    EXPECT_EQ(record.state().state, State::none);  // nothing left to protect
}

TEST_F(SettingsFiles, OneRunHoldsTheFolderAndLeavesNoFileBehind) {
    const std::vector<std::string> before = names();
    FileSystem files;
    {
        FolderLock first(files);
        ASSERT_EQ(first.take(), FolderLock::Result::taken) << first.failure_reason();
        FolderLock second(files);
        EXPECT_EQ(second.take(), FolderLock::Result::held_by_another_run);
        EXPECT_NE(second.failure_reason().find("another k210prog run"), std::string::npos);
    }
    FolderLock again(files);
    EXPECT_EQ(again.take(), FolderLock::Result::taken);
    EXPECT_EQ(names(), before);
}

}  // namespace
