#pragma once

// The iptables rules that send an interface's IPv4 packets to the daemon's
// verdict queue. They live in chains of the daemon's own in the mangle table
// (HARLUNE-IN, jumped to from PREROUTING; HARLUNE-OUT, from POSTROUTING), so
// that removing the chains removes exactly what the daemon added. Every rule
// has --queue-bypass: while no program listens on the queue, packets pass.
// Each direction of an interface has its own rule: the daemon queues only
// the directions whose packets its classes could hold or drop.
//
// Before the queue rules each chain holds one more rule, made with the
// first batch that asks for it: packets whose conntrack mark carries the
// current generation and the chain's direction bit (bypass_mark.h) return
// from the chain before meeting any queue rule. The daemon marks the flows
// no class could match; a new generation, after any change of the classes,
// sends every flow through the queue again until it is judged anew.
//
// IPv6 packets have the same chains, of the same names, in ip6tables'
// mangle table, and a rule of their own per interface and direction: an
// IPv6 direction is queued only while a class could stop IPv6 packets. A
// machine without ip6tables (or without IPv6) keeps its IPv4 rules; its
// IPv6 packets are never queued.
//
// Other programs may remove any of it during a session (nftables.service's
// `flush ruleset`, `iptables -t mangle -F`, a firewalld reload): Check puts
// back what is gone of the daemon's own, and nothing else.
//
// Not thread-safe: one thread at a time (the rule worker while it runs, the
// daemon's loop before and after).

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "passthru/engine/packet.h"
#include "passthru/real/command_runner.h"
#include "passthru/real/rule_watch.h"

namespace harlune {

inline constexpr const char* kIncomingChain = "HARLUNE-IN";
inline constexpr const char* kOutgoingChain = "HARLUNE-OUT";

// The iptables program of a family; its save and restore programs add
// "-save" and "-restore".
inline std::string IptablesProgram(IpFamily family) {
  return family == IpFamily::Ipv6 ? "ip6tables" : "iptables";
}

// One direction and family of an interface to be queued (or no longer
// queued).
struct RuleChange {
  std::string interfaceName;
  Direction direction = Direction::Send;
  bool queued = false;
  IpFamily family = IpFamily::Ipv4;
};

// What one look at the daemon's rules found.
struct RuleCheck {
  std::vector<std::string> reports;  // a log line each: what was put back, or why not
  std::vector<RuleChange> restoredQueueRules;
};

class QueueRules {
 public:
  QueueRules(CommandRunner& runner, std::uint16_t queueNumber)
      : runner_(runner), queueNumber_(queueNumber) {}

  // Removes what an earlier run left behind (after a crash, say) and makes
  // the two chains and their jumps anew, for IPv4 and, when ip6tables takes
  // them, for IPv6. False when iptables refuses.
  bool Prepare();
  // Whether the last Prepare made the IPv6 chains.
  bool Ipv6Available() const { return ipv6Available_; }
  // Queues the interface's packets of `family` going in `direction`; true
  // when they are.
  bool Add(const std::string& interfaceName, Direction direction, IpFamily family = IpFamily::Ipv4);
  // Removes that rule; true when it is not there any more.
  bool Remove(const std::string& interfaceName, Direction direction,
              IpFamily family = IpFamily::Ipv4);
  // Removes the interface's rules of both directions and families; true
  // when none is left.
  bool Remove(const std::string& interfaceName);
  // Makes every change (each interface, direction and family at most
  // once), in one iptables-restore (and one ip6tables-restore) call when it
  // can; whether each is in effect afterwards. When that call fails (a rule
  // removed behind the daemon's back fails the whole batch, say) the
  // changes are made one by one, so that only what iptables refuses fails.
  std::vector<bool> Apply(const std::vector<RuleChange>& changes);
  bool Has(const std::string& interfaceName, Direction direction,
           IpFamily family = IpFamily::Ipv4) const {
    return queued_.count({interfaceName, direction, family}) != 0;
  }
  // Apply, with the bypass rules of both families moved to match
  // `bypass` (1..63), or removed (0), in the same calls; `bypassDone` tells
  // whether they are so afterwards. Nothing: they stay as they are.
  std::vector<bool> Apply(const std::vector<RuleChange>& changes,
                          std::optional<std::uint32_t> bypass, bool& bypassDone);
  // The generation the bypass rules of a family match; 0 when there are
  // none, or when only one direction's rule moved.
  std::uint32_t BypassGeneration(IpFamily family = IpFamily::Ipv4) const;
  // Whether the rules of every family there is match `generation` (0: none
  // is there).
  bool BypassAt(std::uint32_t generation) const;
  // Removes the chains, their jumps and so every rule of the daemon.
  void RemoveAll();
  // Reads each family's mangle table (one iptables-save each) and puts back,
  // in one iptables-restore call, what another program removed of the
  // chains, their jumps, the queue rules and the bypass rules.
  RuleCheck Check();
  // Right after Prepare: whether the tables show what Prepare made. When
  // they do not (an iptables that writes rules in another form), Check
  // leaves that family alone from then on, rather than adding copies.
  bool StartWatching();
  // Whether a queue rule or a bypass rule is in place.
  bool HasRules() const;
  // Whether the last look at the IPv4 table found iptables' nf_tables back
  // end (whose changes the kernel can announce).
  bool NfTables() const { return nftables_; }

 private:
  int Iptables(std::vector<std::string> arguments, IpFamily family = IpFamily::Ipv4);
  void RemoveChains(IpFamily family);
  bool MakeChains(IpFamily family);
  bool ApplyOne(const RuleChange& change);
  // The changes of `changes` at `indexes`, all of `family`, in one
  // iptables-restore call.
  // With a bypass generation the bypass rules move to it (or go, for 0) in
  // the same call.
  bool Restore(const std::vector<RuleChange>& changes, const std::vector<std::size_t>& indexes,
               IpFamily family, std::optional<std::uint32_t> bypass = std::nullopt);
  std::vector<std::string> QueueRule(const char* action, Direction direction,
                                     const std::string& interfaceName) const;
  // The commands that move a family's bypass rules to `generation` (none
  // for 0).
  std::vector<std::vector<std::string>> BypassCommands(IpFamily family,
                                                       std::uint32_t generation) const;
  std::vector<std::string> BypassCommand(const char* action, Direction direction,
                                         std::uint32_t generation) const;
  bool MoveBypassOneByOne(IpFamily family, std::uint32_t generation);
  std::uint32_t& BypassOf(IpFamily family, Direction direction) {
    return bypass_[static_cast<std::size_t>(family)][static_cast<std::size_t>(direction)];
  }
  std::uint32_t BypassOf(IpFamily family, Direction direction) const {
    return bypass_[static_cast<std::size_t>(family)][static_cast<std::size_t>(direction)];
  }

  WatchedTable Watched(IpFamily family) const;
  // Nothing when the table cannot be read.
  std::optional<SavedTable> Save(IpFamily family);
  // Puts back what is missing; false when iptables-restore refused.
  bool RestoreMissing(IpFamily family, const MissingRules& missing);
  void CheckFamily(IpFamily family, RuleCheck& check);
  // RestoreMissing, then a look at the table again: a rule still missing
  // after it means the check cannot read it, and would add it again and
  // again.
  void RestoreAndVerify(IpFamily family, const MissingRules& missing, RuleCheck& check);

  CommandRunner& runner_;
  std::uint16_t queueNumber_;
  std::set<std::tuple<std::string, Direction, IpFamily>> queued_;
  bool ipv6Available_ = false;
  // The generation each family's rule of each direction matches (0: none).
  std::array<std::array<std::uint32_t, 2>, 2> bypass_{};
  // Per family: the check leaves it alone; its failure was logged (so
  // that a failure is logged once, not at every check).
  std::array<bool, 2> watchOff_{};
  bool nftables_ = false;
  std::array<bool, 2> unreadableReported_{};
  std::array<std::string, 2> refusedReported_;
};

// The bypass rule of `direction` for `generation`, without its action.
std::vector<std::string> BypassRule(Direction direction, std::uint32_t generation);

// Whether iptables would take the name as one interface (not a wildcard
// "eth+", not a negation, at most 15 bytes).
bool UsableInterfaceName(const std::string& name);
// Whether the name can be written into iptables-restore's input as it is
// (no quotes, comment signs or escapes for its parser to read).
bool PlainInterfaceName(const std::string& name);

}  // namespace harlune
