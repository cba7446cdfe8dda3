#include "core/base/safe_file.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "core/base/settings_folder_faults.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

namespace fs = std::filesystem;

class SafeFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = dir_.path();
    file_ = folder_ / "GeneralSetting.ini";
  }

  static void Put(const fs::path& path, const std::string& bytes) {
    testing::WriteFileText(path, bytes);
  }
  static std::string Read(const fs::path& path) { return testing::ReadFileText(path); }

  // Every name in the folder, sorted.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempDir dir_;
  fs::path folder_;
  fs::path file_;
};

using Names = std::vector<std::string>;

TEST_F(SafeFileTest, CreatesAMissingFileAndLeavesNothingElse) {
  const SafeWriteResult result = WriteSettingsFile(file_, "[GeneralSetting]\r\n");
  ASSERT_TRUE(result.ok()) << result.detail;
  EXPECT_EQ(result.UserMessage(), "");
  EXPECT_EQ(Read(file_), "[GeneralSetting]\r\n");
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});
}

TEST_F(SafeFileTest, ReplacesTheContentKeepingPermissionsAndNoBackup) {
  Put(file_, "old content that is longer than the new one");
  ASSERT_EQ(::chmod(file_.c_str(), 0640), 0);
  Put(BackupPath(file_), "stale backup");

  ASSERT_TRUE(WriteSettingsFile(file_, "new").ok());
  EXPECT_EQ(Read(file_), "new");
  struct stat status {};
  ASSERT_EQ(::stat(file_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0640U);
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});

  ASSERT_TRUE(WriteSettingsFile(file_, "").ok());
  EXPECT_EQ(Read(file_), "");
}

TEST_F(SafeFileTest, WritesThroughASymbolicLink) {
  const fs::path real = folder_ / "real.ini";
  Put(real, "old");
  fs::create_symlink("real.ini", file_);
  ASSERT_TRUE(WriteSettingsFile(file_, "new").ok());
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(file_)));
  EXPECT_EQ(Read(real), "new");
}

TEST_F(SafeFileTest, BackupThatCannotBeReplacedStopsTheSaveBeforeTheFileIsTouched) {
  // A non-empty folder in the backup's place stops the copy, even for root.
  Put(file_, "old");
  fs::create_directories(BackupPath(file_) / "inside");
  const SafeWriteResult result = WriteSettingsFile(file_, "new");
  EXPECT_EQ(result.failure, SafeWriteFailure::kBackup);
  EXPECT_EQ(result.UserMessage(), kBackupFailedMessage);
  EXPECT_NE(result.detail.find(".autobak"), std::string::npos) << result.detail;
  EXPECT_EQ(Read(file_), "old");
  EXPECT_EQ(Entries(), (Names{"GeneralSetting.ini", "GeneralSetting.ini.autobak"}));
  EXPECT_TRUE(fs::exists(BackupPath(file_) / "inside"));
}

TEST_F(SafeFileTest, FileThatCannotBeCopiedIsABackupFailure) {
  fs::create_directories(file_ / "inside");
  const SafeWriteResult result = WriteSettingsFile(file_, "new");
  EXPECT_EQ(result.failure, SafeWriteFailure::kBackup);
  EXPECT_TRUE(fs::is_directory(file_ / "inside"));
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});
}

TEST_F(SafeFileTest, FolderThatDoesNotExistIsAWriteFailure) {
  const SafeWriteResult result = WriteSettingsFile(folder_ / "absent" / "x.ini", "new");
  EXPECT_EQ(result.failure, SafeWriteFailure::kWrite);
  EXPECT_EQ(result.UserMessage(), kWriteFailedMessage);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(SafeFileTest, WriteThatRunsOutOfRoomLeavesTheFileAsItWas) {
  // A file-size limit fails the write for root as well; it is set in a child
  // so that it cannot reach the rest of the tests.
  Put(file_, "old");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const SafeWriteResult result = WriteSettingsFile(file_, std::string(100000, 'x'));
    ::_exit(result.failure == SafeWriteFailure::kWrite && !result.detail.empty() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the write did not fail as a write";
  EXPECT_EQ(Read(file_), "old");
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});
}

TEST_F(SafeFileTest, TemporariesOfAKilledWriterGoWithTheNextWrite) {
  Put(folder_ / "GeneralSetting.ini.tmp-0123abcd", "half");
  Put(folder_ / "Other.ini.tmp-0123abcd", "not ours");
  Put(folder_ / "GeneralSetting.ini.tmp-notehere", "not a temporary name");
  ASSERT_TRUE(WriteSettingsFile(file_, "new").ok());
  EXPECT_EQ(Entries(), (Names{"GeneralSetting.ini", "GeneralSetting.ini.tmp-notehere",
                              "Other.ini.tmp-0123abcd"}));
}

// A file the user made read-only keeps its content, and so does its backup:
// the rename would need only the folder's permission, and root needs none.
TEST_F(SafeFileTest, ReadOnlyFileIsNeitherReplacedNorBackedUp) {
  Put(file_, "old");
  Put(BackupPath(file_), "older backup");
  ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
  const SafeWriteResult result = WriteSettingsFile(file_, "new");
  EXPECT_EQ(result.failure, SafeWriteFailure::kWrite);
  EXPECT_EQ(result.UserMessage(), kWriteFailedMessage);
  EXPECT_FALSE(result.EndsTheSave());
  EXPECT_NE(result.detail.find("read-only"), std::string::npos) << result.detail;
  EXPECT_EQ(Read(file_), "old");
  EXPECT_EQ(Read(BackupPath(file_)), "older backup");
  struct stat status {};
  ASSERT_EQ(::stat(file_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444U);
  EXPECT_EQ(Entries(), (Names{"GeneralSetting.ini", "GeneralSetting.ini.autobak"}));

  // Writable again, it is written as always.
  ASSERT_EQ(::chmod(file_.c_str(), 0644), 0);
  ASSERT_TRUE(WriteSettingsFile(file_, "new").ok());
  EXPECT_EQ(Read(file_), "new");
}

TEST_F(SafeFileTest, ReadOnlyFileBehindASymbolicLinkIsNotReplaced) {
  const fs::path real = folder_ / "real.ini";
  Put(real, "old");
  ASSERT_EQ(::chmod(real.c_str(), 0444), 0);
  fs::create_symlink("real.ini", file_);
  EXPECT_EQ(WriteSettingsFile(file_, "new").failure, SafeWriteFailure::kWrite);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(file_)));
  EXPECT_EQ(Read(real), "old");
  EXPECT_EQ(Entries(), (Names{"GeneralSetting.ini", "real.ini"}));
}

TEST_F(SafeFileTest, FileThisUserMayNotWriteIsRefusedThoughOthersMay) {
  // Only the group may write: the write bits alone do not tell.
  Put(file_, "old");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file_.c_str(), testing::kNobody, testing::kNobody), 0);
  }
  ASSERT_EQ(::chmod(file_.c_str(), 0464), 0);
  const int code = testing::RunWithoutRoot(folder_, [this] {
    const SafeWriteResult result = WriteSettingsFile(file_, "new");
    return result.failure == SafeWriteFailure::kWrite ? 0 : 1;
  });
  ASSERT_NE(code, testing::kCouldNotDropRoot) << "cannot run as an ordinary user";
  EXPECT_EQ(code, 0) << "the file was not refused as read-only";
  EXPECT_EQ(Read(file_), "old");
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});
}

TEST_F(SafeFileTest, FolderThatTakesNoFileEndsTheSaveWithTheSpaceMessage) {
  Put(file_, "old");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file_.c_str(), testing::kNobody, testing::kNobody), 0);
  }
  ASSERT_EQ(::chmod(folder_.c_str(), 0555), 0);
  const int code = testing::RunWithoutRoot(folder_, [this] {
    const SafeWriteResult result = WriteSettingsFile(file_, "new");
    if (result.failure != SafeWriteFailure::kNoSpaceOrAccess) {
      return 1;
    }
    return result.UserMessage() == kBackupFailedMessage && result.EndsTheSave() ? 0 : 2;
  });
  ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
  ASSERT_NE(code, testing::kCouldNotDropRoot) << "cannot run as an ordinary user";
  EXPECT_EQ(code, 0) << "1: not the space-or-access failure, 2: wrong message or the save goes on";
  EXPECT_EQ(Read(file_), "old");
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});
}

TEST(SafeFileFullDisk, WriteToAFullDiskEndsTheSaveAndLeavesTheFile) {
  testing::SmallDisk disk;
  if (disk.skipReason()) {
    GTEST_SKIP() << *disk.skipReason();
  }
  const fs::path file = disk.path() / "HtbSetting.xml";
  ASSERT_TRUE(WriteSettingsFile(file, "old").ok());
  ASSERT_TRUE(disk.Fill());
  const SafeWriteResult result = WriteSettingsFile(file, std::string(8192, 'n'));
  EXPECT_EQ(result.failure, SafeWriteFailure::kNoSpaceOrAccess) << result.detail;
  EXPECT_EQ(result.UserMessage(), kBackupFailedMessage);
  EXPECT_TRUE(result.EndsTheSave());
  EXPECT_EQ(testing::ReadFileText(file), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(disk.path()), fs::directory_iterator()), 2)
      << "only the file and the filler";
}

TEST_F(SafeFileTest, KilledWriterLeavesTheOldOrTheNewContentWhole) {
  const std::string first(2 << 20, 'a');
  const std::string second = std::string((2 << 20) + 4096, 'b');
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(WriteSettingsFile(file_, first).ok());
  const auto oneWrite = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - started);

  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> writesBefore(0, 2);
  std::uniform_int_distribution<long> moment(0, 2 * oneWrite.count());
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (int round = 0; round < 12; ++round) {
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(progress[0]);
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      for (int i = 0; std::chrono::steady_clock::now() < giveUp; ++i) {
        (void)WriteSettingsFile(file_, i % 2 == 0 ? second : first);
        const char done = 1;
        (void)::write(progress[1], &done, 1);
      }
      ::_exit(0);
    }
    ::close(progress[1]);
    // Kill somewhere inside one of the first few writes.
    for (int done = writesBefore(random); done > 0; --done) {
      char byte = 0;
      ASSERT_EQ(::read(progress[0], &byte, 1), 1);
    }
    ::usleep(static_cast<useconds_t>(moment(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(progress[0]);
    const std::string content = Read(file_);
    EXPECT_TRUE(content == first || content == second)
        << "round " << round << ": " << content.size() << " bytes";
  }
  ASSERT_TRUE(WriteSettingsFile(file_, "final").ok());
  EXPECT_EQ(Read(file_), "final");
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});
}

// Loading ---------------------------------------------------------------

std::tm FixedTime() {
  std::tm time{};
  time.tm_year = 2024 - 1900;
  time.tm_mon = 2;
  time.tm_mday = 9;
  time.tm_hour = 7;
  time.tm_min = 5;
  time.tm_sec = 3;
  return time;
}

// Accepts bytes that start with "OK" and keeps the last bytes accepted.
struct RecordingParser {
  std::optional<std::string> operator()(std::string_view bytes) {
    ++calls;
    if (!bytes.starts_with("OK")) {
      return "line 1: not OK";
    }
    taken = bytes;
    return std::nullopt;
  }
  std::string taken;
  int calls = 0;
};

class SafeFileLoad : public SafeFileTest {
 protected:
  SettingsLoadResult Load() {
    return LoadSettingsFile(
        file_, [this](std::string_view bytes) { return parser_(bytes); }, FixedTime);
  }

  RecordingParser parser_;
  const std::string aside_ = "GeneralSetting.ini.damaged-20240309-070503";
};

TEST_F(SafeFileLoad, ReadsAGoodFileAndIgnoresAStaleBackup) {
  Put(file_, "OK file");
  Put(BackupPath(file_), "OK backup");
  const SettingsLoadResult result = Load();
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kLoaded);
  EXPECT_EQ(parser_.taken, "OK file");
  EXPECT_EQ(Entries(), (Names{"GeneralSetting.ini", "GeneralSetting.ini.autobak"}));
}

TEST_F(SafeFileLoad, MissingFileWithoutBackupAsksForDefaults) {
  EXPECT_EQ(Load().outcome, SettingsLoadOutcome::kMissing);
  EXPECT_EQ(parser_.calls, 0);
  EXPECT_TRUE(Entries().empty());
}

TEST_F(SafeFileLoad, MissingFileComesBackFromItsBackup) {
  Put(BackupPath(file_), "OK backup");
  const SettingsLoadResult result = Load();
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kRestoredFromBackup);
  EXPECT_EQ(result.backup, BackupPath(file_));
  EXPECT_TRUE(result.damagedCopy.empty());
  EXPECT_EQ(parser_.taken, "OK backup");
  EXPECT_EQ(Read(file_), "OK backup");
  EXPECT_EQ(Entries(), Names{"GeneralSetting.ini"});
}

TEST_F(SafeFileLoad, DamagedFileIsMovedAsideAndReplacedByAGoodBackup) {
  Put(file_, "garbage");
  Put(BackupPath(file_), "OK backup");
  const SettingsLoadResult result = Load();
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kRestoredFromBackup);
  EXPECT_EQ(result.damagedCopy, folder_ / aside_);
  EXPECT_EQ(result.backup, BackupPath(file_));
  EXPECT_NE(result.problem.find("not OK"), std::string::npos) << result.problem;
  EXPECT_EQ(parser_.taken, "OK backup");
  EXPECT_EQ(Read(file_), "OK backup");
  EXPECT_EQ(Read(folder_ / aside_), "garbage");
  EXPECT_EQ(Entries(), (Names{"GeneralSetting.ini", aside_}));
}

TEST_F(SafeFileLoad, DamagedFileWithoutUsableBackupIsMovedAsideNeverLost) {
  Put(file_, "garbage");
  Put(BackupPath(file_), "backup garbage");
  const SettingsLoadResult result = Load();
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_EQ(result.damagedCopy, folder_ / aside_);
  EXPECT_TRUE(result.backup.empty());
  EXPECT_NE(result.problem.find(".autobak"), std::string::npos) << result.problem;
  EXPECT_EQ(Read(folder_ / aside_), "garbage");
  EXPECT_EQ(Read(BackupPath(file_)), "backup garbage");
  EXPECT_FALSE(fs::exists(file_));

  // A second damaged file within the same second gets its own name.
  Put(file_, "more garbage");
  fs::remove(BackupPath(file_));
  const SettingsLoadResult again = Load();
  EXPECT_EQ(again.outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_EQ(again.damagedCopy, folder_ / (aside_ + "-2"));
  EXPECT_EQ(Read(folder_ / aside_), "garbage");
  EXPECT_EQ(Read(again.damagedCopy), "more garbage");
}

TEST_F(SafeFileLoad, FileThatCannotBeReadCountsAsDamaged) {
  fs::create_directories(file_ / "inside");
  const SettingsLoadResult result = Load();
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kDamagedMovedAside);
  EXPECT_EQ(parser_.calls, 0);
  EXPECT_TRUE(fs::exists(folder_ / aside_ / "inside"));
}

TEST_F(SafeFileLoad, DamagedFileThatCannotBeMovedAsideIsReportedAndKept) {
  Put(file_, "garbage");
  Put(BackupPath(file_), "OK backup");
  Put(folder_ / aside_, "taken");
  for (int i = 2; i <= 100; ++i) {
    Put(folder_ / (aside_ + "-" + std::to_string(i)), "taken");
  }
  const SettingsLoadResult result = Load();
  EXPECT_EQ(result.outcome, SettingsLoadOutcome::kFailed);
  EXPECT_NE(result.problem.find("move aside"), std::string::npos) << result.problem;
  EXPECT_EQ(Read(file_), "garbage");
  EXPECT_EQ(Read(BackupPath(file_)), "OK backup");
}

}  // namespace
}  // namespace harlune
