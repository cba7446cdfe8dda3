#pragma once

// Settings folders that fail the way a user's can: a small disk that is
// full, and a folder this process may not write. Both need privileges a test
// may lack; each says why it cannot run instead of pretending.

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

#include <sys/mount.h>
#include <sys/wait.h>

#include "support/temp_dir.h"

namespace harlune::testing {

// A tmpfs of 64 KiB mounted in a mount namespace of this process alone, so
// that nothing of it is seen outside the tests or left behind by a crash.
class SmallDisk {
 public:
  SmallDisk() : path_(dir_.path() / "disk") {
    if (::geteuid() != 0) {
      skipReason_ = "needs root to mount a tmpfs";
      return;
    }
    std::filesystem::create_directory(path_);
    if (!PrivateMounts()) {
      skipReason_ = "cannot make a private mount namespace: " + std::string(std::strerror(errno));
    } else if (::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") != 0) {
      skipReason_ = "cannot mount a tmpfs: " + std::string(std::strerror(errno));
    } else {
      mounted_ = true;
    }
  }
  ~SmallDisk() {
    if (mounted_) {
      ::umount2(path_.c_str(), MNT_DETACH);
    }
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // Why the disk could not be made; nothing when it is there.
  const std::optional<std::string>& skipReason() const { return skipReason_; }
  const std::filesystem::path& path() const { return path_; }

  // Takes every free byte with a file of its own; true when the disk is full.
  bool Fill() const {
    const std::string chunk(4096, 'f');
    std::FILE* filler = std::fopen((path_ / "filler").c_str(), "ab");
    if (filler == nullptr) {
      return false;
    }
    while (std::fwrite(chunk.data(), 1, chunk.size(), filler) == chunk.size() &&
           std::fflush(filler) == 0) {
    }
    const bool full = errno == ENOSPC;
    std::fclose(filler);
    return full;
  }

 private:
  static bool PrivateMounts() {
    static const bool made = ::unshare(CLONE_NEWNS) == 0 &&
                             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return made;
  }

  TempDir dir_;
  std::filesystem::path path_;
  bool mounted_ = false;
  std::optional<std::string> skipReason_;
};

// The exit code a child gives when it could not drop root.
inline constexpr int kCouldNotDropRoot = 99;
inline constexpr uid_t kNobody = 65534;

// Runs `check` in a child process without root's right to write anywhere
// (root passes every permission check): as root the child becomes the user
// "nobody", and `folder` is handed to that user first. Returns the child's
// exit code, which `check` gives.
inline int RunWithoutRoot(const std::filesystem::path& folder, const std::function<int()>& check) {
  const bool root = ::geteuid() == 0;
  if (root && ::chown(folder.c_str(), kNobody, kNobody) != 0) {
    return kCouldNotDropRoot;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(kCouldNotDropRoot);
    }
    ::_exit(check());
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
    return -1;
  }
  return WEXITSTATUS(status);
}

}  // namespace harlune::testing
