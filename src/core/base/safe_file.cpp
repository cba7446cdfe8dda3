#include "core/base/safe_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

#include <sys/stat.h>

namespace harlune {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTemporaryInfix = ".tmp-";
constexpr std::size_t kTemporarySuffixLength = 8;
constexpr int kMaxNameAttempts = 100;
constexpr char kHexDigits[] = "0123456789abcdef";

std::string Reason(int error) { return std::generic_category().message(error); }

std::string Failed(std::string_view step, const fs::path& path, int error) {
  return std::string(step) + " " + path.string() + ": " + Reason(error);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // Closes now; returns 0 or the error of close.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

// Returns 0 or the error of the write that failed.
int WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

int SyncFolder(const fs::path& folder) {
  FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    return errno;
  }
  if (::fsync(fd.get()) != 0) {
    return errno;
  }
  return fd.Close();
}

std::string TemporaryPrefix(const fs::path& file) {
  return file.filename().string() + std::string(kTemporaryInfix);
}

// Temporaries of this file that a killed writer left behind.
void RemoveStaleTemporaries(const fs::path& folder, const std::string& prefix) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == prefix.size() + kTemporarySuffixLength && name.starts_with(prefix) &&
        name.find_first_not_of(kHexDigits, prefix.size()) == std::string::npos) {
      fs::remove(entry.path(), error);
    }
  }
}

std::string RandomSuffix() {
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> digit(0, 15);
  std::string suffix;
  for (std::size_t i = 0; i < kTemporarySuffixLength; ++i) {
    suffix.push_back(kHexDigits[digit(generator)]);
  }
  return suffix;
}

// The file that writing `file` replaces: the target of a symbolic link.
fs::path Target(const fs::path& file) {
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(file, error))) {
    fs::path resolved = fs::weakly_canonical(file, error);
    if (!error) {
      return resolved;
    }
  }
  return file;
}

// A folder that takes no new file and a full disk fail every later file of
// the save the same way; any other error concerns this file alone.
SafeWriteFailure FailureOf(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EACCES:
    case EPERM:
    case EROFS:
      return SafeWriteFailure::kNoSpaceOrAccess;
    default:
      return SafeWriteFailure::kWrite;
  }
}

SafeWriteResult FailedTemporary(std::string_view step, const fs::path& path, int error) {
  return {FailureOf(error), Failed(step, path, error)};
}

// Why an existing file must not be replaced: the user made it read-only.
// Root passes access(), so a file without any write bit is refused as well.
std::optional<std::string> ReadOnlyProblem(const fs::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;  // a missing file is created; anything else fails later
  }
  if ((status.st_mode & 0222) == 0) {
    return file.string() + " is read-only";
  }
  // On a read-only file system the temporary cannot be made either, which
  // tells the folder's problem rather than the file's.
  if (::access(file.c_str(), W_OK) != 0 && errno != EROFS) {
    return Failed("may not write", file, errno);
  }
  return std::nullopt;
}

// Creates a new temporary next to `file`; -1 with errno set when it cannot.
int CreateTemporary(const fs::path& folder, const std::string& prefix, fs::path& temporary) {
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    temporary = folder / (prefix + RandomSuffix());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

// Writes the content to a new temporary next to `file` and flushes it.
SafeWriteResult WriteTemporary(const fs::path& file, std::string_view content,
                               fs::path& temporary) {
  const fs::path folder = file.parent_path().empty() ? fs::path(".") : file.parent_path();
  const std::string prefix = TemporaryPrefix(file);
  RemoveStaleTemporaries(folder, prefix);

  FileDescriptor fd(CreateTemporary(folder, prefix, temporary));
  if (!fd.valid()) {
    const int error = errno;
    temporary.clear();
    return FailedTemporary("cannot create a temporary file in", folder, error);
  }
  struct stat old {};
  if (::stat(file.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      ::fchmod(fd.get(), old.st_mode & 07777) != 0) {
    return FailedTemporary("cannot set the permissions of", temporary, errno);
  }
  if (const int error = WriteAll(fd.get(), content); error != 0) {
    return FailedTemporary("cannot write", temporary, error);
  }
  if (::fsync(fd.get()) != 0) {
    return FailedTemporary("cannot flush", temporary, errno);
  }
  if (const int error = fd.Close(); error != 0) {
    return FailedTemporary("cannot close", temporary, error);
  }
  return {};
}

// Copies the file to its backup; false with `problem` set when the copy
// failed for a reason other than a missing file.
bool CopyToBackup(const fs::path& file, bool& made, std::string& problem) {
  const fs::path backup = BackupPath(file);
  std::error_code error;
  made = fs::copy_file(file, backup, fs::copy_options::overwrite_existing, error);
  if (!error) {
    return true;
  }
  std::error_code statusError;
  if (!fs::exists(fs::symlink_status(file, statusError))) {
    return true;  // nothing to keep
  }
  problem = "cannot copy " + file.string() + " to " + backup.string() + ": " + error.message();
  // A backup cut short by the failure must not pass for a copy of the file.
  if (fs::is_regular_file(fs::symlink_status(backup, statusError))) {
    fs::remove(backup, statusError);
  }
  return false;
}

std::string TimeStamp(const std::tm& time) {
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &time);
  return std::string(text, length);
}

// Renames the damaged file to a name that is not taken; the new path, or
// empty with `problem` set.
fs::path MoveAside(const fs::path& file, const std::tm& time, std::string& problem) {
  const std::string base = file.string() + ".damaged-" + TimeStamp(time);
  for (int attempt = 1; attempt <= kMaxNameAttempts; ++attempt) {
    const fs::path aside =
        attempt == 1 ? fs::path(base) : fs::path(base + "-" + std::to_string(attempt));
    std::error_code error;
    if (fs::exists(fs::symlink_status(aside, error))) {
      continue;
    }
    if (::rename(file.c_str(), aside.c_str()) != 0) {
      problem = Failed("cannot move aside", file, errno);
      return {};
    }
    return aside;
  }
  problem = "cannot find a free name to move aside " + file.string();
  return {};
}

// Takes the backup when it parses and puts it in the file's place.
bool RestoreFromBackup(const fs::path& file, const SettingsParser& parse,
                       SettingsLoadResult& result) {
  const fs::path backup = BackupPath(file);
  const FileReadResult read = ReadFileBytes(backup);
  if (read.status == FileReadStatus::kMissing) {
    return false;
  }
  if (read.status == FileReadStatus::kFailed) {
    result.problem += "; the backup cannot be used: " + read.error;
    return false;
  }
  if (const std::optional<std::string> error = parse(read.bytes)) {
    result.problem += "; the backup " + backup.string() + " cannot be used: " + *error;
    return false;
  }
  result.backup = backup;
  if (::rename(backup.c_str(), file.c_str()) != 0) {
    // The settings are in memory and the next save writes the file.
    result.problem += "; " + Failed("cannot rename the backup", backup, errno);
  }
  return true;
}

}  // namespace

fs::path BackupPath(const fs::path& file) { return fs::path(file.string() + ".autobak"); }

std::string_view SafeWriteResult::UserMessage() const {
  switch (failure) {
    case SafeWriteFailure::kBackup:
    case SafeWriteFailure::kNoSpaceOrAccess:
      return kBackupFailedMessage;
    case SafeWriteFailure::kWrite:
      return kWriteFailedMessage;
    case SafeWriteFailure::kNone:
      break;
  }
  return {};
}

SafeWriteResult WriteSettingsFile(const fs::path& file, std::string_view content) {
  const fs::path target = Target(file);
  if (std::optional<std::string> problem = ReadOnlyProblem(target)) {
    return {SafeWriteFailure::kWrite, std::move(*problem)};
  }
  fs::path temporary;
  if (SafeWriteResult written = WriteTemporary(target, content, temporary); !written.ok()) {
    if (!temporary.empty()) {
      ::unlink(temporary.c_str());
    }
    return written;
  }

  bool backupMade = false;
  std::string problem;
  if (!CopyToBackup(target, backupMade, problem)) {
    ::unlink(temporary.c_str());
    return {SafeWriteFailure::kBackup, std::move(problem)};
  }
  const fs::path backup = BackupPath(target);

  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    SafeWriteResult result{SafeWriteFailure::kWrite, Failed("cannot replace", target, errno)};
    ::unlink(temporary.c_str());
    if (backupMade) {
      ::unlink(backup.c_str());
    }
    return result;
  }
  const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (const int error = SyncFolder(folder); error != 0) {
    // The new content may not survive a crash: put the old one back.
    if (backupMade) {
      ::rename(backup.c_str(), target.c_str());
    } else {
      ::unlink(target.c_str());
    }
    return {SafeWriteFailure::kWrite, Failed("cannot flush the folder", folder, error)};
  }
  if (backupMade) {
    ::unlink(backup.c_str());  // a backup left over is harmless: the next save replaces it
  }
  return {};
}

FileReadResult ReadFileBytes(const fs::path& file) {
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) {
      return {FileReadStatus::kMissing, {}, {}};
    }
    return {FileReadStatus::kFailed, {}, Failed("cannot open", file, errno)};
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return {FileReadStatus::kFailed, {}, Failed("cannot examine", file, errno)};
  }
  if (S_ISDIR(status.st_mode)) {
    return {FileReadStatus::kFailed, {}, Failed("cannot read", file, EISDIR)};
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return {FileReadStatus::kFailed, {}, Failed("cannot read", file, errno)};
    }
    if (got == 0) {
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return {FileReadStatus::kRead, std::move(bytes), {}};
}

std::tm LocalTimeNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

SettingsLoadResult LoadSettingsFile(const fs::path& file, const SettingsParser& parse,
                                    const LocalClock& now) {
  SettingsLoadResult result;
  const FileReadResult read = ReadFileBytes(file);
  if (read.status == FileReadStatus::kMissing) {
    result.problem = file.string() + " is missing";
    result.outcome = RestoreFromBackup(file, parse, result)
                         ? SettingsLoadOutcome::kRestoredFromBackup
                         : SettingsLoadOutcome::kMissing;
    return result;
  }
  if (read.status == FileReadStatus::kFailed) {
    result.problem = read.error;
  } else if (const std::optional<std::string> error = parse(read.bytes)) {
    result.problem = file.string() + ": " + *error;
  } else {
    result.outcome = SettingsLoadOutcome::kLoaded;
    return result;
  }

  std::string moveProblem;
  result.damagedCopy = MoveAside(file, now(), moveProblem);
  if (result.damagedCopy.empty()) {
    result.problem += "; " + moveProblem;
    result.outcome = SettingsLoadOutcome::kFailed;
    return result;
  }
  result.outcome = RestoreFromBackup(file, parse, result) ? SettingsLoadOutcome::kRestoredFromBackup
                                                          : SettingsLoadOutcome::kDamagedMovedAside;
  return result;
}

}  // namespace harlune
