// QueueRules::Check: the daemon's rules put back after another program
// removed them.

#include <utility>

#include "passthru/real/queue_rules.h"

namespace harlune {
namespace {

struct Jump {
  const char* builtInChain;
  const char* ownChain;
  Direction direction;
};
constexpr Jump kJumps[] = {{"PREROUTING", kIncomingChain, Direction::Receive},
                           {"POSTROUTING", kOutgoingChain, Direction::Send}};

const char* OwnChain(Direction direction) {
  return direction == Direction::Receive ? kIncomingChain : kOutgoingChain;
}

std::size_t IndexOf(IpFamily family) { return static_cast<std::size_t>(family); }

}  // namespace

bool QueueRules::HasRules() const {
  for (const auto& family : bypass_) {
    if (family[0] != 0 || family[1] != 0) {
      return true;
    }
  }
  return !queued_.empty();
}

WatchedTable QueueRules::Watched(IpFamily family) const {
  WatchedTable table{{kIncomingChain, kOutgoingChain}, {}};
  for (const Jump& jump : kJumps) {
    table.rules.push_back(
        {jump.builtInChain,
         {"-j", jump.ownChain},
         true,
         std::string("the jump from ") + jump.builtInChain + " to " + jump.ownChain,
         {}});
    if (const std::uint32_t generation = BypassOf(family, jump.direction); generation != 0) {
      std::vector<std::string> body = BypassRule(jump.direction, generation);
      body.erase(body.begin());  // the chain
      table.rules.push_back({jump.ownChain,
                             std::move(body),
                             true,
                             std::string("the bypass rule of ") + jump.ownChain,
                             {}});
    }
  }
  for (const auto& [name, direction, ruleFamily] : queued_) {
    if (ruleFamily != family) {
      continue;
    }
    std::vector<std::string> body = QueueRule("-A", direction, name);
    body.erase(body.begin(), body.begin() + 2);  // the action and the chain
    table.rules.push_back({OwnChain(direction), std::move(body), false,
                           std::string("the queue rule of ") + name + " in " + OwnChain(direction),
                           name});
  }
  return table;
}

std::optional<SavedTable> QueueRules::Save(IpFamily family) {
  std::string output;
  const std::string program = IptablesProgram(family) + "-save";
  if (runner_.RunForOutput({program, "-t", "mangle"}, output) == 0) {
    if (SavedTable saved = ParseSavedTable(output); saved.seen) {
      nftables_ = family == IpFamily::Ipv4 ? saved.nftables : nftables_;
      return saved;
    }
  }
  // The nf_tables back end has no mangle table at all after `nft flush
  // ruleset`, and iptables-save fails on it; so does `iptables -S` of
  // each chain, which tells that from a save that cannot run.
  for (const char* chain : {kIncomingChain, kOutgoingChain}) {
    if (Iptables({"-S", chain}, family) == 0) {
      return std::nullopt;
    }
  }
  SavedTable empty;
  empty.seen = true;
  return empty;
}

bool QueueRules::RestoreMissing(IpFamily family, const MissingRules& missing) {
  const std::string program = IptablesProgram(family) + "-restore";
  return runner_.RunWithInput({program, "-w", "--noflush"}, RestoreInput(missing)) == 0;
}

bool QueueRules::StartWatching() {
  bool works = true;
  for (const IpFamily family : {IpFamily::Ipv4, IpFamily::Ipv6}) {
    const std::size_t index = IndexOf(family);
    if (family == IpFamily::Ipv6 && !ipv6Available_) {
      watchOff_[index] = true;
      continue;
    }
    const std::optional<SavedTable> saved = Save(family);
    watchOff_[index] = !saved || !FindMissing(*saved, Watched(family)).Empty();
    works = works && !watchOff_[index];
  }
  return works;
}

RuleCheck QueueRules::Check() {
  RuleCheck check;
  CheckFamily(IpFamily::Ipv4, check);
  CheckFamily(IpFamily::Ipv6, check);
  return check;
}

void QueueRules::CheckFamily(IpFamily family, RuleCheck& check) {
  const std::size_t index = IndexOf(family);
  if (watchOff_[index]) {
    return;
  }
  const std::optional<SavedTable> saved = Save(family);
  if (!saved) {
    if (!std::exchange(unreadableReported_[index], true)) {
      check.reports.push_back("cannot read the " + IptablesProgram(family) +
                              " mangle table; rules other programs remove are not put back");
    }
    return;
  }
  unreadableReported_[index] = false;
  const MissingRules missing = FindMissing(*saved, Watched(family));
  if (missing.Empty()) {
    refusedReported_[index].clear();
    return;
  }
  RestoreAndVerify(family, missing, check);
}

void QueueRules::RestoreAndVerify(IpFamily family, const MissingRules& missing, RuleCheck& check) {
  const std::size_t index = IndexOf(family);
  const std::string what = Describe(missing);
  const std::string removed = "another program removed rules of the daemon from " +
                              IptablesProgram(family) + " (" + what + ")";
  if (!RestoreMissing(family, missing)) {
    if (refusedReported_[index] != what) {
      refusedReported_[index] = what;
      check.reports.push_back(removed + "; cannot put them back");
    }
    return;
  }
  refusedReported_[index].clear();
  const std::optional<SavedTable> after = Save(family);
  if (!after || !FindMissing(*after, Watched(family)).Empty()) {
    watchOff_[index] = true;
    check.reports.push_back(removed + "; put back, yet not seen there after: " +
                            IptablesProgram(family) + " is no longer checked");
    return;
  }
  check.reports.push_back(removed + "; put back");
  for (const WatchedRule& rule : missing.rules) {
    if (!rule.interfaceName.empty()) {
      const Direction direction =
          rule.chain == kIncomingChain ? Direction::Receive : Direction::Send;
      check.restoredQueueRules.push_back({rule.interfaceName, direction, true, family});
    }
  }
}

}  // namespace harlune
