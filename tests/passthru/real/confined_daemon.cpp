#include "confined_daemon.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "child.h"
#include "support/temp_dir.h"

namespace harlune::testing {
namespace {

constexpr int kConfinementFailed = 120;
constexpr const char* kSetpriv = "/usr/bin/setpriv";

struct MountEntry {
  std::string path;
  std::string options;  // the mount's own: "rw,nosuid,relatime"
  std::string type;
};

// Everything the child needs, made before the fork: after it the child
// only makes system calls.
struct Plan {
  int netns = -1;
  int output = -1;
  std::vector<std::pair<std::string, unsigned long>> readOnly;  // path, flags kept
  std::string writable;
  std::string groupFile;
  std::vector<std::string> hidden;
  std::string devices;
  std::vector<std::pair<std::string, std::string>> deviceNodes;  // machine's node, its copy
  mode_t umask = 0077;
  std::vector<std::string> args;
  std::vector<char*> argv;
};

// mountinfo writes a space, tab, newline or backslash as \ooo.
std::string Unescaped(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      plain += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

std::vector<MountEntry> Mounts(const std::filesystem::path& mountinfo) {
  std::istringstream lines(ReadFileText(mountinfo));
  std::vector<MountEntry> mounts;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, root, path, options, field, type;
    fields >> id >> parent >> device >> root >> path >> options;
    while (fields >> field && field != "-") {
    }
    fields >> type;
    mounts.push_back({Unescaped(path), options, type});
  }
  return mounts;
}

bool Below(const std::string& path, const std::string& folder) {
  return path == folder || path.starts_with(folder + "/");
}

// The API file systems and namespace files, which ProtectSystem leaves to
// other options.
bool Remountable(const MountEntry& mount) {
  return !Below(mount.path, "/proc") && !Below(mount.path, "/sys") && !Below(mount.path, "/dev") &&
         mount.type != "nsfs";
}

bool HasOption(const std::string& options, const std::string& option) {
  return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

unsigned long KeptFlags(const std::string& options) {
  constexpr std::pair<const char*, unsigned long> kFlags[] = {
      {"nosuid", MS_NOSUID},   {"nodev", MS_NODEV},           {"noexec", MS_NOEXEC},
      {"noatime", MS_NOATIME}, {"nodiratime", MS_NODIRATIME}, {"relatime", MS_RELATIME}};
  unsigned long flags = 0;
  for (const auto& [name, flag] : kFlags) {
    flags |= HasOption(options, name) ? flag : 0;
  }
  return flags;
}

void WriteText(const char* text) {
  if (::write(STDERR_FILENO, text, std::strlen(text)) < 0) {
    _exit(kConfinementFailed);
  }
}

[[noreturn]] void Fail(const char* what, const std::string& path) {
  const char* reason = std::strerror(errno);
  for (const char* part : {"confinement: cannot ", what, " ", path.c_str(), ": ", reason, "\n"}) {
    WriteText(part);
  }
  _exit(kConfinementFailed);
}

void Require(bool done, const char* what, const std::string& path) {
  if (!done) {
    Fail(what, path);
  }
}

void EnterNamespaces(const Plan& plan) {
  Require(::setns(plan.netns, CLONE_NEWNET) == 0, "enter the network namespace", "");
  Require(::unshare(CLONE_NEWNS) == 0, "make a mount namespace", "");
  Require(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make private", "/");
}

void MakeReadOnly(const Plan& plan) {
  for (const auto& [path, flags] : plan.readOnly) {
    // A mount hidden below another one has no path any more.
    if (::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | flags,
                nullptr) != 0 &&
        errno != ENOENT) {
      Fail("make read-only", path);
    }
  }
}

void MakePrivateDevices(const Plan& plan) {
  Require(::mount("tmpfs", plan.devices.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") == 0,
          "mount a tmpfs on", plan.devices);
  for (const auto& [device, node] : plan.deviceNodes) {
    const int fd = ::open(node.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    Require(fd >= 0, "create", node);
    ::close(fd);
    Require(::mount(device.c_str(), node.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind", node);
  }
  Require(::mount(plan.devices.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0, "move", "/dev");
}

// /sys of the network namespace (as `ip netns exec` mounts it), read-only;
// /proc with the daemon's own processes alone.
void MakeKernelViews() {
  Require(::umount2("/sys", MNT_DETACH) == 0, "unmount", "/sys");
  Require(
      ::mount("sysfs", "/sys", "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0,
      "mount", "/sys");
  Require(::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  "hidepid=invisible,subset=pid") == 0,
          "mount", "/proc");
}

void HideHomes(const Plan& plan) {
  for (const std::string& folder : plan.hidden) {
    Require(::mount("tmpfs", folder.c_str(), "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    "mode=000") == 0,
            "hide", folder);
  }
}

void ReplaceGroups(const Plan& plan) {
  if (plan.groupFile.empty()) {
    return;
  }
  Require(::mount(plan.groupFile.c_str(), "/etc/group", nullptr, MS_BIND, nullptr) == 0, "bind",
          plan.groupFile);
  Require(::mount(nullptr, "/etc/group", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0,
          "make read-only", "/etc/group");
}

void OpenWritable(const Plan& plan) {
  const char* path = plan.writable.c_str();
  Require(::mount(path, path, nullptr, MS_BIND, nullptr) == 0, "bind", plan.writable);
  Require(::mount(nullptr, path, nullptr, MS_REMOUNT | MS_BIND | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  nullptr) == 0,
          "make writable", plan.writable);
}

[[noreturn]] void RunConfined(const Plan& plan) {
  ::dup2(plan.output, STDOUT_FILENO);
  ::dup2(plan.output, STDERR_FILENO);
  Require(::setpgid(0, 0) == 0, "make a process group", "");
  EnterNamespaces(plan);
  MakeReadOnly(plan);
  MakePrivateDevices(plan);
  MakeKernelViews();
  HideHomes(plan);
  ReplaceGroups(plan);
  OpenWritable(plan);
  ::umask(plan.umask);
  ::execv(plan.argv[0], plan.argv.data());
  Fail("run", plan.args[0]);
}

void PlanMounts(const Confinement& confinement, const std::string& program, Plan& plan) {
  for (const MountEntry& mount : Mounts("/proc/self/mountinfo")) {
    if (Remountable(mount) && !HasOption(mount.options, "ro")) {
      plan.readOnly.emplace_back(mount.path, KeptFlags(mount.options));
    }
  }
  plan.writable = confinement.writable.string();
  plan.groupFile = confinement.groupFile.string();
  plan.devices = (confinement.scratch / "dev").string();
  std::filesystem::create_directories(plan.devices);
  for (const char* name : {"null", "zero", "full", "random", "urandom"}) {
    plan.deviceNodes.emplace_back(std::string("/dev/") + name, plan.devices + "/" + name);
  }
  // A home folder that holds the test's own files stays.
  for (const char* folder : {"/home", "/root", "/run/user"}) {
    if (std::filesystem::is_directory(folder) && !Below(plan.writable, folder) &&
        !Below(program, folder) && !Below(plan.devices, folder)) {
      plan.hidden.emplace_back(folder);
    }
  }
}

void PlanCommand(const Confinement& confinement, const std::vector<std::string>& command,
                 Plan& plan) {
  plan.args = {kSetpriv, "--bounding-set=" + SetprivCapabilities(confinement.capabilities),
               "--inh-caps=-all"};
  if (confinement.noNewPrivileges) {
    plan.args.emplace_back("--no-new-privs");
  }
  plan.args.emplace_back("--");
  plan.args.insert(plan.args.end(), command.begin(), command.end());
  for (std::string& argument : plan.args) {
    plan.argv.push_back(argument.data());
  }
  plan.argv.push_back(nullptr);
}

}  // namespace

ConfinedDaemon::ConfinedDaemon(const Confinement& confinement,
                               const std::vector<std::string>& command,
                               const std::filesystem::path& output) {
  Plan plan;
  plan.netns = ::open(("/run/netns/" + confinement.networkNamespace).c_str(), O_RDONLY | O_CLOEXEC);
  plan.output = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  plan.umask = confinement.umask;
  PlanMounts(confinement, command.empty() ? std::string() : command.front(), plan);
  PlanCommand(confinement, command, plan);
  if (plan.netns >= 0 && plan.output >= 0) {
    pid_ = ::fork();
    if (pid_ == 0) {
      RunConfined(plan);
    }
  }
  for (const int fd : {plan.netns, plan.output}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

ConfinedDaemon::~ConfinedDaemon() {
  if (pid_ > 0) {
    // The group: a traced daemon would outlive a killed strace.
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ConfinedDaemon::Signal(int signalNumber) const {
  return pid_ > 0 && ::kill(pid_, signalNumber) == 0;
}

std::optional<int> ConfinedDaemon::WaitForExit(std::chrono::milliseconds limit) {
  return WaitForChildExit(pid_, limit);
}

std::vector<std::string> UnitValues(const std::filesystem::path& unit, const std::string& key) {
  std::istringstream lines(ReadFileText(unit));
  std::vector<std::string> values;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(key + "=")) {
      values.push_back(line.substr(key.size() + 1));
    }
  }
  return values;
}

std::string UnitValue(const std::filesystem::path& unit, const std::string& key) {
  const std::vector<std::string> values = UnitValues(unit, key);
  return values.empty() ? std::string() : values.front();
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream stream(text);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) {
    words.push_back(word);
  }
  return words;
}

std::string SetprivCapabilities(const std::vector<std::string>& capabilities) {
  std::string set = "-all";
  for (std::string name : capabilities) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    set += ",+" + (name.starts_with("cap_") ? name.substr(4) : name);
  }
  return set;
}

std::optional<pid_t> ChildProcess(pid_t parent) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) {
      continue;
    }
    std::istringstream lines(ReadFileText(entry.path() / "status"));
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("PPid:") &&
          Words(line.substr(5)) == std::vector{std::to_string(parent)}) {
        return static_cast<pid_t>(std::stol(name));
      }
    }
  }
  return std::nullopt;
}

std::vector<std::string> WritableMounts(pid_t pid) {
  std::vector<std::string> writable;
  for (const MountEntry& mount :
       Mounts(std::filesystem::path("/proc") / std::to_string(pid) / "mountinfo")) {
    if (Remountable(mount) && !HasOption(mount.options, "ro")) {
      writable.push_back(mount.path);
    }
  }
  return writable;
}

}  // namespace harlune::testing
