#pragma once

// harlune-passthru started under as much of its systemd unit's sandbox as a
// test can make without systemd: in a network namespace, a mount namespace
// of its own where the whole filesystem is read-only but the socket's
// folder (ProtectSystem=strict with the RuntimeDirectory), /home, /root and
// /run/user are empty and closed (ProtectHome), /dev holds only the null,
// zero, full, random and urandom devices (PrivateDevices), /sys is
// read-only (ProtectKernelTunables) and /proc shows only the daemon's own
// processes and no /proc/sys or /proc/net (ProtectProc=invisible,
// ProcSubset=pid); /etc/group of the test's choosing; the unit's umask; then setpriv with a
// capability bounding set and no new privileges. Root only. Killed when the object goes.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace harlune::testing {

struct Confinement {
  std::string networkNamespace;           // a name below /run/netns
  std::vector<std::string> capabilities;  // "CAP_NET_ADMIN", as in the unit
  bool noNewPrivileges = true;
  mode_t umask = 0077;
  std::filesystem::path writable;  // the socket's folder
  std::filesystem::path scratch;   // an empty folder of the test's, for the private /dev
  // Bound read-only over /etc/group when not empty: the groups the daemon
  // sees, whatever the machine's are.
  std::filesystem::path groupFile;
};

class ConfinedDaemon {
 public:
  ConfinedDaemon(const Confinement& confinement, const std::vector<std::string>& command,
                 const std::filesystem::path& output);
  ~ConfinedDaemon();
  ConfinedDaemon(const ConfinedDaemon&) = delete;
  ConfinedDaemon& operator=(const ConfinedDaemon&) = delete;

  pid_t Pid() const { return pid_; }
  bool Signal(int signalNumber) const;
  // The exit status once the program ended within the time, else nothing.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
};

// The values of a unit file's `key=` lines, in order.
std::vector<std::string> UnitValues(const std::filesystem::path& unit, const std::string& key);
// The value of the first `key=` line of a unit file ("" when there is none).
std::string UnitValue(const std::filesystem::path& unit, const std::string& key);
// The words of a line, split at spaces.
std::vector<std::string> Words(const std::string& text);
// setpriv's form of capability names: "-all,+net_admin,+net_raw".
std::string SetprivCapabilities(const std::vector<std::string>& capabilities);

// A process whose parent is `parent` (the daemon under strace, say).
std::optional<pid_t> ChildProcess(pid_t parent);

// The daemon's mounts that a process can write to, from its mountinfo
// (/proc, /sys and /dev and what lies below them left out).
std::vector<std::string> WritableMounts(pid_t pid);

}  // namespace harlune::testing
