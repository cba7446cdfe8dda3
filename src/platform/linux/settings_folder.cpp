#include "platform/linux/settings_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include <sys/file.h>

namespace harlune {
namespace {

// The lock lives beside the settings files; its contents do not matter.
constexpr const char* kLockFileName = ".harlune.lock";

bool Writable(const std::filesystem::path& folder) {
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::optional<std::filesystem::path> ConfigFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && xdg[0] == '/') {
    return std::filesystem::path(xdg) / "harlune";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::filesystem::path(home) / ".config" / "harlune";
  }
  return std::nullopt;
}

}  // namespace

std::filesystem::path ProgramFolder() {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::current_path() : exe.parent_path();
}

std::optional<std::filesystem::path> ChooseSettingsFolder(
    const std::filesystem::path& programFolder, std::string& error) {
  if (Writable(programFolder)) {
    return programFolder;
  }
  const std::optional<std::filesystem::path> config = ConfigFolder();
  if (!config) {
    error = "neither XDG_CONFIG_HOME nor HOME names a folder for the settings";
    return std::nullopt;
  }
  std::error_code made;
  std::filesystem::create_directories(*config, made);
  if (made) {
    error = "cannot create " + config->string() + ": " + made.message();
    return std::nullopt;
  }
  return config;
}

SettingsFolderLock::SettingsFolderLock(const std::filesystem::path& folder) {
  const std::filesystem::path file = folder / kLockFileName;
  fd_ = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    problem_ = "cannot open " + file.string() + ": " + std::strerror(errno);
    return;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    problem_ = errno == EWOULDBLOCK
                   ? "another Harlune is already running on the settings folder " + folder.string()
                   : "cannot lock " + file.string() + ": " + std::strerror(errno);
    return;
  }
  held_ = true;
}

SettingsFolderLock::~SettingsFolderLock() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

}  // namespace harlune
