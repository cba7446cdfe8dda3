#pragma once

// Where the settings files live: the program's own folder when it can be
// written (a portable or build-tree install), else $XDG_CONFIG_HOME/harlune
// (~/.config/harlune). Only one process may use a settings folder at a time.

#include <filesystem>
#include <optional>
#include <string>

namespace harlune {

// The folder holding the running executable.
std::filesystem::path ProgramFolder();

// The settings folder by the rule above, created when missing. `error`
// tells why when there is none.
std::optional<std::filesystem::path> ChooseSettingsFolder(
    const std::filesystem::path& programFolder, std::string& error);

// An exclusive lock on a settings folder, held while the object lives and
// released by the system when the process ends in any way.
class SettingsFolderLock {
 public:
  // Takes the lock; Held() tells whether it was free.
  explicit SettingsFolderLock(const std::filesystem::path& folder);
  ~SettingsFolderLock();
  SettingsFolderLock(const SettingsFolderLock&) = delete;
  SettingsFolderLock& operator=(const SettingsFolderLock&) = delete;

  bool Held() const { return held_; }
  // Why the lock is not held (another process has it, or the error).
  const std::string& Problem() const { return problem_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  std::string problem_;
};

}  // namespace harlune
