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

#include <sys/stat.h>

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

void ListPids(const std::string& root, std::vector<std::int32_t>& pids) {
  pids.clear();
  const Folder folder = OpenFolder(root);
  if (!folder) {
    return;
  }
  while (const dirent* entry = readdir(folder.get())) {
    if (const std::optional<std::int32_t> pid = PidOf(entry->d_name)) {
      pids.push_back(*pid);
    }
  }
  std::sort(pids.begin(), pids.end());
}

std::vector<std::int32_t> ListPids(const std::string& root) {
  std::vector<std::int32_t> pids;
  ListPids(root, pids);
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

// What tells one process folder from a later one of the same id: a new
// process gets a new inode of the folder, made at its own time.
std::optional<ProcProcesses::FolderIdentity> IdentityOf(const std::string& folder) {
  struct stat status {};
  if (::stat(folder.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return ProcProcesses::FolderIdentity{status.st_dev, status.st_ino, status.st_ctim.tv_sec,
                                       status.st_ctim.tv_nsec};
}

}  // namespace

ProcProcesses::ProcProcesses(std::string procRoot) : root_(std::move(procRoot)) {}

std::optional<ProcessEntry> ProcProcesses::ProcessWithoutExecutable(std::int32_t pid,
                                                                    const std::string& folder,
                                                                    int exeError) {
  // A process without an executable that can never exec (a kernel thread,
  // a zombie) keeps its name while its folder is the same one.
  const std::optional<FolderIdentity> identity =
      exeError == ENOENT ? IdentityOf(folder) : std::nullopt;
  if (identity) {
    const auto known = withoutExecutable_.find(pid);
    if (known != withoutExecutable_.end() && known->second.identity == *identity) {
      return known->second.entry;
    }
  }
  const std::optional<std::string> comm = ReadSmallFile(folder + "/comm");
  if (!comm) {
    return std::nullopt;  // the process ended while the list was read
  }
  std::string_view commName(*comm);
  if (commName.ends_with('\n')) {
    commName.remove_suffix(1);
  }
  const std::optional<std::string> cmdline = ReadSmallFile(folder + "/cmdline");
  ProcessEntry entry;
  entry.processId = pid;
  entry.name = NameWithoutExecutable(commName, cmdline.value_or(std::string()));
  const bool refused = exeError == EACCES || exeError == EPERM;
  entry.path = std::string(refused ? kSecurityRestrictionText : kProcessErrorText);
  if (identity) {
    withoutExecutable_.insert_or_assign(pid, KnownProcess{*identity, entry});
  }
  return entry;
}

std::vector<ProcessEntry> ProcProcesses::ListProcesses() {
  std::vector<ProcessEntry> processes;
  const std::vector<std::int32_t> pids = ListPids(root_);
  for (const std::int32_t pid : pids) {
    const std::string folder = root_ + "/" + std::to_string(pid);
    const LinkRead exe = ReadLink(folder + "/exe");
    if (!exe.target) {
      if (std::optional<ProcessEntry> entry =
              ProcessWithoutExecutable(pid, folder, exe.errorCode)) {
        processes.push_back(std::move(*entry));
      }
      continue;
    }
    ProcessEntry entry;
    entry.processId = pid;
    entry.path = *exe.target;
    entry.name = std::string(BaseName(WithoutDeletedMark(entry.path)));
    processes.push_back(std::move(entry));
  }
  std::erase_if(withoutExecutable_, [&pids](const auto& known) {
    return !std::binary_search(pids.begin(), pids.end(), known.first);
  });
  return processes;
}

void ProcProcesses::ScanFds(std::int32_t pid) {
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
    const std::optional<std::uint64_t> inode = SocketInodeOf(*link.target);
    const auto asked = inode ? sockets_.find(*inode) : sockets_.end();
    // The first process found keeps the socket (a child inherits it).
    if (asked != sockets_.end() && asked->second.askedAt == call_ &&
        asked->second.owner == kUnknownOwner) {
      asked->second = {pid, 0, call_};
      --missingCount_;
    }
  }
}

void ProcProcesses::ReadPids() {
  std::swap(pids_, previousPids_);
  ListPids(root_, pids_);
}

void ProcProcesses::ForgetEndedProcesses() {
  ended_.clear();
  std::set_difference(previousPids_.begin(), previousPids_.end(), pids_.begin(), pids_.end(),
                      std::back_inserter(ended_));
  if (ended_.empty()) {
    return;
  }
  const auto endedPid = [this](std::int32_t pid) {
    return std::binary_search(ended_.begin(), ended_.end(), pid);
  };
  for (auto& [inode, socket] : sockets_) {
    if (socket.owner != kUnknownOwner && endedPid(socket.owner)) {
      socket = AskedSocket{};
    }
  }
  std::erase_if(scanned_, endedPid);
}

void ProcProcesses::AskFor(std::span<const std::uint64_t> inodes) {
  missing_.clear();
  missingCount_ = 0;
  askedCount_ = 0;
  for (const std::uint64_t inode : inodes) {
    if (inode == 0) {
      continue;
    }
    AskedSocket& socket = sockets_[inode];
    if (socket.askedAt == call_) {
      continue;  // listed twice
    }
    socket.askedAt = call_;
    ++askedCount_;
    if (socket.owner == kUnknownOwner && socket.misses < 2) {
      missing_.push_back(inode);
    }
  }
  missingCount_ = missing_.size();
}

void ProcProcesses::SearchMissing() {
  std::vector<std::int32_t> known;
  for (const std::int32_t pid : pids_) {
    if (scanned_.insert(pid).second) {
      ScanFds(pid);
    } else {
      known.push_back(pid);
    }
  }
  if (missingCount_ == 0) {
    return;
  }
  // A process seen before opened the socket (a server that accepted a
  // connection): processes that own sockets are the likely ones.
  std::unordered_set<std::int32_t> owning;
  for (const auto& [inode, socket] : sockets_) {
    owning.insert(socket.owner);
  }
  std::stable_partition(known.begin(), known.end(),
                        [&owning](std::int32_t pid) { return owning.contains(pid); });
  for (const std::int32_t pid : known) {
    if (missingCount_ == 0) {
      break;
    }
    ScanFds(pid);
  }
  for (const std::uint64_t inode : missing_) {
    AskedSocket& socket = sockets_[inode];
    if (socket.owner == kUnknownOwner) {
      ++socket.misses;
    }
  }
}

void ProcProcesses::ForgetUnasked() {
  if (sockets_.size() == askedCount_) {
    return;
  }
  std::erase_if(sockets_, [this](const auto& entry) { return entry.second.askedAt != call_; });
}

void ProcProcesses::Update(std::span<const std::uint64_t> inodes) {
  ++call_;
  // One read of the process list tells which owners ended.
  ReadPids();
  ForgetEndedProcesses();
  AskFor(inodes);
  if (missingCount_ != 0) {
    SearchMissing();
  }
  ForgetUnasked();
}

SocketOwnerMap ProcProcesses::SocketOwners(std::span<const std::uint64_t> inodes) {
  Update(inodes);
  SocketOwnerMap owners;
  for (const auto& [inode, socket] : sockets_) {
    if (socket.owner != kUnknownOwner) {
      owners.emplace(inode, socket.owner);
    }
  }
  return owners;
}

void ProcProcesses::FillSocketOwners(std::span<TcpTableRow> rows) {
  inodes_.clear();
  for (const TcpTableRow& row : rows) {
    inodes_.push_back(row.inode);
  }
  Update(inodes_);
  for (TcpTableRow& row : rows) {
    const auto socket = row.inode == 0 ? sockets_.end() : sockets_.find(row.inode);
    row.owningPid = socket == sockets_.end() ? kUnknownOwner : socket->second.owner;
  }
}

}  // namespace harlune
