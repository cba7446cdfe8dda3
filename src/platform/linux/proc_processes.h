#pragma once

// The machine's processes from /proc: for each /proc/<pid>, the path is the
// target of its "exe" link (kSecurityRestrictionText when reading it is
// refused, kProcessErrorText when it fails otherwise, as for kernel
// threads), and the name is the base name of that path, else the base name
// of argv[0] when it agrees with "comm", else "comm".
//
// A process without an executable to read whose exe link is missing (a
// kernel thread or a zombie, neither of which can start another program)
// has its comm and cmdline read once, and keeps that name while its folder
// is the same one (inode and change time): the once-a-second list then
// reads one link per process.
//
// The owners of sockets come from the "socket:[inode]" links of
// /proc/<pid>/fd. Reading every process's fd folder is the expensive part,
// so the inode -> pid map is kept between calls: only the process list is
// read while every asked inode is known (owners that ended are forgotten,
// so their sockets are looked for again); an unknown inode first has the
// fd folders of processes not seen before read, and only when that does not
// find it the others (those owning sockets first), stopping once all are
// found. An
// inode that no readable folder holds is looked for once more at the next
// call (an accepted socket has its inode a moment before its descriptor
// appears in the fd folder), and after that is noted as unowned (another
// user's socket) and causes no further scan while it stays in the table.
// A call that meets no new socket and no ended process allocates nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/monitor/process_table.h"

namespace harlune {

class ProcProcesses : public ProcessSource {
 public:
  // procRoot: the folder holding one folder per process id.
  explicit ProcProcesses(std::string procRoot = "/proc");

  std::vector<ProcessEntry> ListProcesses() override;
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t> inodes) override;
  void FillSocketOwners(std::span<TcpTableRow> rows) override;

  // The number of fd folders read so far: what the cache saves.
  std::size_t FdFoldersRead() const { return fdFoldersRead_; }

  struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
    friend bool operator==(const FolderIdentity&, const FolderIdentity&) = default;
  };

 private:
  struct KnownProcess {
    FolderIdentity identity;
    ProcessEntry entry;
  };
  // The entry of a process whose exe link could not be read (`exeError`),
  // nothing when it ended meanwhile.
  std::optional<ProcessEntry> ProcessWithoutExecutable(std::int32_t pid, const std::string& folder,
                                                       int exeError);

  // A socket asked for, with its owner once an fd folder showed it.
  struct AskedSocket {
    std::int32_t owner = kUnknownOwner;
    // Searches that missed it; at two it counts as another user's.
    std::uint8_t misses = 0;
    // The call that last asked for it.
    std::uint64_t askedAt = 0;
  };

  // Brings the owners up to date for the sockets of this call.
  void Update(std::span<const std::uint64_t> inodes);
  void ReadPids();
  // Owners that ended are forgotten, so their sockets are looked for again
  // (they may live on in a child).
  void ForgetEndedProcesses();
  void AskFor(std::span<const std::uint64_t> inodes);
  void SearchMissing();
  // Reads the fd folder of one process; the asked sockets without an owner
  // that it holds get it.
  void ScanFds(std::int32_t pid);
  // Sockets that left the table are forgotten, so the map stays the size of
  // the table.
  void ForgetUnasked();

  std::string root_;
  std::unordered_map<std::int32_t, KnownProcess> withoutExecutable_;
  std::unordered_map<std::uint64_t, AskedSocket> sockets_;
  std::unordered_set<std::int32_t> scanned_;
  // This call's and the last call's process ids, ascending.
  std::vector<std::int32_t> pids_;
  std::vector<std::int32_t> previousPids_;
  std::vector<std::int32_t> ended_;
  // The asked sockets without an owner that are still looked for.
  std::vector<std::uint64_t> missing_;
  std::size_t missingCount_ = 0;
  std::size_t askedCount_ = 0;
  std::vector<std::uint64_t> inodes_;
  std::uint64_t call_ = 0;
  std::size_t fdFoldersRead_ = 0;
};

}  // namespace harlune
