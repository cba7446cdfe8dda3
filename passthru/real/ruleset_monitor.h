#pragma once

// Wakes the daemon when the nf_tables ruleset of its network namespace
// changes: a netlink socket in the kernel's NFNLGRP_NFTABLES group, which
// hears of every committed change (a rule, a chain or a table made or
// removed, by nft or by iptables' nf_tables back end). The daemon then
// checks its rules at once instead of every few seconds. Changes made
// through iptables-legacy are not announced.

#include <string>

namespace harlune {

class RulesetMonitor {
 public:
  RulesetMonitor() = default;
  ~RulesetMonitor();
  RulesetMonitor(const RulesetMonitor&) = delete;
  RulesetMonitor& operator=(const RulesetMonitor&) = delete;

  // Empty on success, else the reason.
  std::string Open();
  // Readable while announcements wait; -1 before Open.
  int Fd() const { return fd_; }
  // Reads every waiting announcement, without waiting; true when there was
  // any, or when the kernel dropped some (the socket's buffer overflowed).
  bool TakeChanges();

 private:
  int fd_ = -1;
};

}  // namespace harlune
