#pragma once

// Settings files written so that neither a crash, a kill nor a full disk
// leaves a half-written file, and read so that a damaged file is never
// replaced without a trace.
//
// Writing a file F keeps the product's ".autobak" copy, but F itself is
// only ever replaced whole: the new content goes to a temporary file in F's
// folder and is flushed to disk, F is copied to F.autobak, the temporary is
// renamed over F (atomic), the folder is flushed and the backup deleted. At
// every moment F holds either its old or its new content. A symbolic link at
// F is followed: the file it names is replaced and keeps being linked. A file
// the user made read-only is never replaced, although the rename would only
// need the folder's permission.

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harlune {

// The product's messages for a failed save of a settings file.
inline constexpr std::string_view kBackupFailedMessage =
    "設定の保存に失敗しました。空き容量を確認してください。";
inline constexpr std::string_view kWriteFailedMessage = "設定ファイル書き込み失敗";

// F followed by ".autobak".
std::filesystem::path BackupPath(const std::filesystem::path& file);

enum class SafeWriteFailure {
  kNone,
  kBackup,  // F exists but could not be copied to its backup; F was not written
  // The folder takes no new file or the disk is full (no space, no quota
  // left, no permission, a read-only file system); F is as it was.
  kNoSpaceOrAccess,
  kWrite,  // the new content could not be put in place, or F is read-only; F is as it was
};

struct [[nodiscard]] SafeWriteResult {
  SafeWriteFailure failure = SafeWriteFailure::kNone;
  std::string detail;  // the step that failed and the system's reason
  // Keys whose value the file cannot hold: a writer that fills this left
  // them as the file had them and wrote everything else.
  std::vector<std::string> keptKeys = {};

  bool ok() const { return failure == SafeWriteFailure::kNone; }
  // Whether the next files of a save would only fail the same way, so the
  // save ends here.
  bool EndsTheSave() const {
    return failure == SafeWriteFailure::kBackup || failure == SafeWriteFailure::kNoSpaceOrAccess;
  }
  // kBackupFailedMessage (kBackup, kNoSpaceOrAccess), kWriteFailedMessage,
  // or empty when it succeeded.
  std::string_view UserMessage() const;
};

// Replaces F's content. A failure leaves F as it was and no temporary file
// behind; a read-only F (no write permission for this process, or no write
// bit at all, which also stops root) is a kWrite failure that leaves F and
// its backup untouched. Temporaries left by a writer that was killed are
// removed by the next write of the same file.
SafeWriteResult WriteSettingsFile(const std::filesystem::path& file, std::string_view content);

enum class FileReadStatus { kRead, kMissing, kFailed };

struct FileReadResult {
  FileReadStatus status = FileReadStatus::kFailed;
  std::string bytes;
  std::string error;  // for kFailed: the file and the system's reason
};

// The whole content of a file; kMissing only when there is no such file.
FileReadResult ReadFileBytes(const std::filesystem::path& file);

// Takes the bytes of a settings file into the caller's settings. Returns
// nothing when it accepted them, otherwise why not. It may be called for F
// and then for its backup, so each call starts from the defaults.
using SettingsParser = std::function<std::optional<std::string>(std::string_view bytes)>;

// The local wall-clock time (injected so tests can fix it).
using LocalClock = std::function<std::tm()>;
std::tm LocalTimeNow();

enum class SettingsLoadOutcome {
  kLoaded,              // F parsed
  kMissing,             // no F and no usable backup: the caller writes defaults
  kRestoredFromBackup,  // F was damaged or missing; its backup parsed and is F again
  kDamagedMovedAside,   // F was damaged and moved aside; the caller writes defaults
  kFailed,              // F was damaged and could not be moved aside: do not write F
};

struct SettingsLoadResult {
  SettingsLoadOutcome outcome = SettingsLoadOutcome::kMissing;
  std::filesystem::path damagedCopy;  // where a damaged F now is
  std::filesystem::path backup;       // the backup that supplied the settings
  std::string problem;                // why F was not used, for the user
};

// Reads F through `parse`. A damaged F (one that cannot be read or parsed)
// is moved aside as F + ".damaged-YYYYMMDD-HHMMSS" (local time, with "-2",
// "-3"... when that name is taken) and its backup, when it parses, is put in
// its place. A backup that does not parse is left where it is.
SettingsLoadResult LoadSettingsFile(const std::filesystem::path& file, const SettingsParser& parse,
                                    const LocalClock& now = LocalTimeNow);

}  // namespace harlune
