#pragma once

// The machine's processes from /proc: for each /proc/<pid>, the path is the
// target of its "exe" link (kSecurityRestrictionText when reading it is
// refused, kProcessErrorText when it fails otherwise, as for kernel
// threads), and the name is the base name of that path, else the base name
// of argv[0] when it agrees with "comm", else "comm".
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

#include <cstddef>
#include <cstdint>
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

  // The number of fd folders read so far: what the cache saves.
  std::size_t FdFoldersRead() const { return fdFoldersRead_; }

 private:
  // Reads the fd folder of one process into the map; removes the inodes
  // found from `missing`.
  void ScanFds(std::int32_t pid, std::unordered_set<std::uint64_t>& missing);
  void ForgetEndedProcesses(const std::vector<std::int32_t>& pids);

  std::string root_;
  SocketOwnerMap owners_;
  std::unordered_set<std::uint64_t> missedOnce_;
  std::unordered_set<std::uint64_t> unowned_;
  std::unordered_set<std::int32_t> scanned_;
  std::size_t fdFoldersRead_ = 0;
};

}  // namespace harlune
