#include "core/monitor/process_table.h"

#include <algorithm>

#include "core/base/ascii_case.h"

namespace harlune {

namespace {

const std::string& UnknownText() {
  static const std::string text(kUnknownProcessText);
  return text;
}

// Executable names differ in case only in ASCII letters; other bytes of a
// UTF-8 name must match exactly.
bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  return EqualIgnoringAsciiCase(a, b);
}

}  // namespace

void ProcessSource::FillSocketOwners(std::span<TcpTableRow> rows) {
  std::vector<std::uint64_t> inodes;
  inodes.reserve(rows.size());
  for (const TcpTableRow& row : rows) {
    inodes.push_back(row.inode);
  }
  const SocketOwnerMap found = SocketOwners(inodes);
  for (TcpTableRow& row : rows) {
    const auto owner = row.inode == 0 ? found.end() : found.find(row.inode);
    row.owningPid = owner == found.end() ? kUnknownOwner : owner->second;
  }
}

void ProcessTable::Rebuild(const std::vector<ProcessEntry>& processes) {
  names_.clear();
  paths_.clear();
  for (const ProcessEntry& process : processes) {
    const bool system = process.processId == 0;
    names_.insert_or_assign(process.processId,
                            system ? std::string(kSystemProcessName) : process.name);
    paths_.insert_or_assign(process.processId, process.path);
  }
}

const std::string& ProcessTable::NameOf(std::int32_t processId) const {
  const auto found = names_.find(processId);
  return found == names_.end() ? UnknownText() : found->second;
}

const std::string& ProcessTable::PathOf(std::int32_t processId) const {
  const auto found = paths_.find(processId);
  return found == paths_.end() ? UnknownText() : found->second;
}

std::int32_t ProcessTable::IdsOf(std::string_view name, std::vector<std::int32_t>* ids) const {
  std::int32_t first = -1;
  for (const auto& [processId, processName] : names_) {
    if (!SameNameIgnoringCase(processName, name)) {
      continue;
    }
    if (first == -1) {
      first = processId;
    }
    if (ids == nullptr) {
      break;
    }
    ids->push_back(processId);
  }
  return first;
}

PortProcessMap BuildPortProcessMap(const std::vector<TcpTableRow>& rows,
                                   const SocketOwnerMap& owners) {
  PortProcessMap ports;
  for (const TcpTableRow& row : rows) {
    if (row.inode == 0) {
      continue;
    }
    const auto owner = owners.find(row.inode);
    if (owner != owners.end()) {
      ports.try_emplace(static_cast<std::uint16_t>(row.localPort & 0xFFFFu), owner->second);
    }
  }
  return ports;
}

void ApplyPortProcessMap(std::vector<TcpTableRow>& rows, const PortProcessMap& ports) {
  for (TcpTableRow& row : rows) {
    const auto found = ports.find(static_cast<std::uint16_t>(row.localPort & 0xFFFFu));
    row.owningPid = found == ports.end() ? kUnknownOwner : found->second;
  }
}

}  // namespace harlune
