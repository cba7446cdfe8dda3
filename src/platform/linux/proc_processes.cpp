#include "platform/linux/proc_processes.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace harlune {

namespace {

struct CloseFolder {
  void operator()(DIR* folder) const { closedir(folder); }
};
using Folder = std::unique_ptr<DIR, CloseFolder>;

Folder OpenFolder(const std::string& path) { return Folder(opendir(path.c_str())); }

// The process id a folder name of /proc stands for, nothing for the others.
std::optional<std::int32_t> PidOf(std::string_view name) {
  std::int32_t pid = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (error != std::errc() || end != name.data() + name.size() || pid <= 0) {
    return std::nullopt;
  }
  return pid;
}

std::vector<std::int32_t> ListPids(const std::string& root) {
  std::vector<std::int32_t> pids;
  const Folder folder = OpenFolder(root);
  if (!folder) {
    return pids;
  }
  while (const dirent* entry = readdir(folder.get())) {
    if (const std::optional<std::int32_t> pid = PidOf(entry->d_name)) {
      pids.push_back(*pid);
    }
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

struct LinkRead {
  std::optional<std::string> target;
  int errorCode = 0;
};

LinkRead ReadLink(const std::string& path) {
  std::array<char, 4096> buffer;
  const ssize_t size = readlink(path.c_str(), buffer.data(), buffer.size());
  if (size < 0) {
    return {std::nullopt, errno};
  }
  if (static_cast<std::size_t>(size) == buffer.size()) {
    return {std::nullopt, ENAMETOOLONG};  // cut short: not the whole target
  }
  return {std::string(buffer.data(), static_cast<std::size_t>(size)), 0};
}

// A small file of /proc (comm, cmdline), at most its first 4 KiB.
std::optional<std::string> ReadSmallFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::array<char, 4096> buffer;
  ssize_t size = 0;
  do {
    size = read(fd, buffer.data(), buffer.size());
  } while (size < 0 && errno == EINTR);
  close(fd);
  if (size < 0) {
    return std::nullopt;
  }
  return std::string(buffer.data(), static_cast<std::size_t>(size));
}

std::string_view BaseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The kernel marks the executable of a process whose file was replaced or
// removed; the process still runs the program of that name.
std::string_view WithoutDeletedMark(std::string_view path) {
  constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
    path.remove_suffix(kDeleted.size());
  }
  return path;
}

// The name when the executable cannot be read. argv[0] is whatever the
// program was started with or has since written there ("sshd: user@pts/0"),
// so its base name is trusted only when it begins with "comm" (the first 15
// bytes of the executable's name at start).
std::string NameWithoutExecutable(std::string_view comm, std::string_view cmdline) {
  const std::string_view argv0 = cmdline.substr(0, cmdline.find('\0'));
  const std::string_view base = BaseName(argv0);
  if (!base.empty() && base.starts_with(comm)) {
    return std::string(base);
  }
  return std::string(comm.empty() ? base : comm);
}

// The inode of a "socket:[12345]" link target.
std::optional<std::uint64_t> SocketInodeOf(std::string_view target) {
  constexpr std::string_view kPrefix = "socket:[";
  if (!target.starts_with(kPrefix) || !target.ends_with(']')) {
    return std::nullopt;
  }
  const std::string_view digits = target.substr(kPrefix.size(), target.size() - kPrefix.size() - 1);
  std::uint64_t inode = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
  if (error != std::errc() || end != digits.data() + digits.size() || inode == 0) {
    return std::nullopt;
  }
  return inode;
}

}  // namespace

ProcProcesses::ProcProcesses(std::string procRoot) : root_(std::move(procRoot)) {}

std::vector<ProcessEntry> ProcProcesses::ListProcesses() {
  std::vector<ProcessEntry> processes;
  for (const std::int32_t pid : ListPids(root_)) {
    const std::string folder = root_ + "/" + std::to_string(pid);
    const LinkRead exe = ReadLink(folder + "/exe");
    ProcessEntry entry;
    entry.processId = pid;
    if (exe.target) {
      entry.path = *exe.target;
      entry.name = std::string(BaseName(WithoutDeletedMark(entry.path)));
    } else {
      const std::optional<std::string> comm = ReadSmallFile(folder + "/comm");
      if (!comm) {
        continue;  // the process ended while the list was read
      }
      std::string_view commName(*comm);
      if (commName.ends_with('\n')) {
        commName.remove_suffix(1);
      }
      const std::optional<std::string> cmdline = ReadSmallFile(folder + "/cmdline");
      entry.name = NameWithoutExecutable(commName, cmdline.value_or(std::string()));
      const bool refused = exe.errorCode == EACCES || exe.errorCode == EPERM;
      entry.path = std::string(refused ? kSecurityRestrictionText : kProcessErrorText);
    }
    processes.push_back(std::move(entry));
  }
  return processes;
}

void ProcProcesses::ScanFds(std::int32_t pid, std::unordered_set<std::uint64_t>& missing) {
  const std::string folderPath = root_ + "/" + std::to_string(pid) + "/fd";
  const Folder folder = OpenFolder(folderPath);
  ++fdFoldersRead_;
  if (!folder) {
    return;  // ended, or another user's process
  }
  while (const dirent* entry = readdir(folder.get())) {
    if (entry->d_name[0] == '.') {
      continue;
    }
    const LinkRead link = ReadLink(folderPath + "/" + entry->d_name);
    if (!link.target) {
      continue;
    }
    if (const std::optional<std::uint64_t> inode = SocketInodeOf(*link.target)) {
      owners_.try_emplace(*inode, pid);
      missing.erase(*inode);
    }
  }
}

void ProcProcesses::ForgetEndedProcesses(const std::vector<std::int32_t>& pids) {
  const auto ended = [&pids](std::int32_t pid) {
    return !std::binary_search(pids.begin(), pids.end(), pid);
  };
  std::erase_if(owners_, [&ended](const auto& owner) { return ended(owner.second); });
  std::erase_if(scanned_, ended);
}

SocketOwnerMap ProcProcesses::SocketOwners(std::span<const std::uint64_t> inodes) {
  // One read of the process list tells which owners ended; a socket of an
  // ended process may live on in a child and is then looked for again.
  const std::vector<std::int32_t> pids = ListPids(root_);
  ForgetEndedProcesses(pids);

  std::unordered_set<std::uint64_t> asked;
  std::unordered_set<std::uint64_t> missing;
  for (const std::uint64_t inode : inodes) {
    if (inode == 0) {
      continue;
    }
    asked.insert(inode);
    if (!owners_.contains(inode) && !unowned_.contains(inode)) {
      missing.insert(inode);
    }
  }

  if (!missing.empty()) {
    std::vector<std::int32_t> known;
    for (const std::int32_t pid : pids) {
      if (scanned_.insert(pid).second) {
        ScanFds(pid, missing);
      } else {
        known.push_back(pid);
      }
    }
    if (!missing.empty()) {
      // A process seen before opened the socket (a server that accepted a
      // connection): processes that own sockets are the likely ones.
      std::unordered_set<std::int32_t> owning;
      for (const auto& owner : owners_) {
        owning.insert(owner.second);
      }
      std::stable_partition(known.begin(), known.end(),
                            [&owning](std::int32_t pid) { return owning.contains(pid); });
      for (const std::int32_t pid : known) {
        if (missing.empty()) {
          break;
        }
        ScanFds(pid, missing);
      }
      for (const std::uint64_t inode : missing) {
        if (missedOnce_.erase(inode) != 0) {
          unowned_.insert(inode);
        } else {
          missedOnce_.insert(inode);
        }
      }
    }
  }

  // Sockets that left the table are forgotten, so the map stays the size of
  // the table.
  std::erase_if(owners_, [&asked](const auto& owner) { return !asked.contains(owner.first); });
  const auto gone = [&asked](std::uint64_t inode) { return !asked.contains(inode); };
  std::erase_if(unowned_, gone);
  std::erase_if(missedOnce_, gone);
  std::erase_if(missedOnce_, [this](std::uint64_t inode) { return owners_.contains(inode); });
  return owners_;
}

}  // namespace harlune
