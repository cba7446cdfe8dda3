#pragma once

// The machine's processes as the connection table shows them: a process id
// gives an executable name and a full path, rebuilt at each refresh from the
// system's process list, and a socket gives its owning process.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/monitor/tcp_table.h"

namespace harlune {

// The fixed texts of the process columns.
inline constexpr std::string_view kUnknownProcessText = "不明";
inline constexpr std::string_view kSecurityRestrictionText = "N/A (security restriction)";
inline constexpr std::string_view kProcessErrorText = "N/A (error)";
inline constexpr std::string_view kSystemProcessName = "[System Process]";

// One process as the system lists it. The path is the full path of its
// executable, or kSecurityRestrictionText when the system refuses to tell,
// or kProcessErrorText when reading it failed otherwise.
struct ProcessEntry {
  std::int32_t processId = 0;
  std::string name;
  std::string path;
};

// Socket inode -> owning process id.
using SocketOwnerMap = std::unordered_map<std::uint64_t, std::int32_t>;

class ProcessSource {
 public:
  virtual ~ProcessSource() = default;
  // Every process of the system, in ascending id order.
  virtual std::vector<ProcessEntry> ListProcesses() = 0;
  // The owners of the given socket inodes; an inode whose owner cannot be
  // found (another user's process, a socket already gone) and inode 0 are
  // absent from the answer.
  virtual SocketOwnerMap SocketOwners(std::span<const std::uint64_t> inodes) = 0;
  // Sets every row's owner to its socket's owner as SocketOwners finds it
  // (kUnknownOwner when not found, and for inode 0). A source that keeps
  // the owners itself answers without handing a copy of them over.
  virtual void FillSocketOwners(std::span<TcpTableRow> rows);
};

// The process-id -> name and process-id -> path maps of one refresh.
class ProcessTable {
 public:
  // Replaces both maps with the listed processes. Id 0, when a system lists
  // it, is named kSystemProcessName whatever name it was given.
  void Rebuild(const std::vector<ProcessEntry>& processes);

  // The name or path of the process, kUnknownProcessText when the id is
  // not in the table (including -1).
  const std::string& NameOf(std::int32_t processId) const;
  const std::string& PathOf(std::int32_t processId) const;

  // The ids of the processes named `name` (compared case-insensitively), in
  // ascending id order. Without a list, answers the first at once; with a
  // list, appends every one to it and answers the first. -1 when none.
  std::int32_t IdsOf(std::string_view name, std::vector<std::int32_t>* ids = nullptr) const;

 private:
  std::map<std::int32_t, std::string> names_;
  std::map<std::int32_t, std::string> paths_;
};

// Local port (network order in the low 16 bits of the stored value) ->
// owning process. Built from the rows in table order: the first row of a
// port whose owner is known owns the port; later ones are ignored.
using PortProcessMap = std::map<std::uint16_t, std::int32_t>;

PortProcessMap BuildPortProcessMap(const std::vector<TcpTableRow>& rows,
                                   const SocketOwnerMap& owners);

// Sets every row's owner from the map by its local port, kUnknownOwner when
// the port is absent. This is how a table without owners gets them.
void ApplyPortProcessMap(std::vector<TcpTableRow>& rows, const PortProcessMap& ports);

}  // namespace harlune
