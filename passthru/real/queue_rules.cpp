#include "passthru/real/queue_rules.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "passthru/real/bypass_mark.h"

namespace harlune {
namespace {

constexpr std::size_t kMaxInterfaceName = 15;
// Jumps left by earlier runs are removed one at a time; more than this many
// copies means something else keeps adding them.
constexpr int kMaxLeftoverJumps = 16;

struct Hook {
  const char* builtInChain;
  const char* ownChain;
  const char* interfaceOption;
};
constexpr Hook kHooks[] = {{"PREROUTING", kIncomingChain, "-i"},
                           {"POSTROUTING", kOutgoingChain, "-o"}};

const Hook& HookOf(Direction direction) { return kHooks[direction == Direction::Receive ? 0 : 1]; }

}  // namespace

bool UsableInterfaceName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxInterfaceName && name.back() != '+' &&
         name.front() != '!' && std::none_of(name.begin(), name.end(), [](char c) {
           return c == ' ' || c == '/' || c == '\0';
         });
}

bool PlainInterfaceName(const std::string& name) {
  return UsableInterfaceName(name) && std::all_of(name.begin(), name.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ||
                  c == '.';
         });
}

int QueueRules::Iptables(std::vector<std::string> arguments, IpFamily family) {
  // -w waits for the xtables lock instead of failing when another program
  // holds it.
  arguments.insert(arguments.begin(), {IptablesProgram(family), "-w", "-t", "mangle"});
  return runner_.Run(arguments);
}

std::vector<std::string> QueueRules::QueueRule(const char* action, Direction direction,
                                               const std::string& interfaceName) const {
  const Hook& hook = HookOf(direction);
  return {action,    hook.ownChain, hook.interfaceOption,         interfaceName,   "-j",
          "NFQUEUE", "--queue-num", std::to_string(queueNumber_), "--queue-bypass"};
}

std::vector<std::string> BypassRule(Direction direction, std::uint32_t generation) {
  return {
      HookOf(direction).ownChain,
      "-m",
      "connmark",
      "--mark",
      HexMark(BypassRuleValue(generation, direction)) + "/" + HexMark(BypassRuleMask(direction)),
      "-j",
      "RETURN"};
}

std::uint32_t QueueRules::BypassGeneration(IpFamily family) const {
  const auto& directions = bypass_[static_cast<std::size_t>(family)];
  // Half moved (iptables refused the second direction) counts as neither.
  return directions[0] == directions[1] ? directions[0] : 0;
}

bool QueueRules::BypassAt(std::uint32_t generation) const {
  const auto at = [&](IpFamily family) {
    return BypassOf(family, Direction::Send) == generation &&
           BypassOf(family, Direction::Receive) == generation;
  };
  return at(IpFamily::Ipv4) && (!ipv6Available_ || at(IpFamily::Ipv6));
}

std::vector<std::string> QueueRules::BypassCommand(const char* action, Direction direction,
                                                   std::uint32_t generation) const {
  std::vector<std::string> command = BypassRule(direction, generation);
  command.insert(command.begin(), action);
  if (std::string_view(action) == "-I") {
    command.insert(command.begin() + 2, "1");  // first in the chain, before every queue rule
  }
  return command;
}

std::vector<std::vector<std::string>> QueueRules::BypassCommands(IpFamily family,
                                                                 std::uint32_t generation) const {
  std::vector<std::vector<std::string>> commands;
  for (const Direction direction : {Direction::Receive, Direction::Send}) {
    const std::uint32_t current = BypassOf(family, direction);
    if (current == generation) {
      continue;
    }
    if (current != 0) {
      commands.push_back(BypassCommand("-D", direction, current));
    }
    if (generation != 0) {
      commands.push_back(BypassCommand("-I", direction, generation));
    }
  }
  return commands;
}

bool QueueRules::MoveBypassOneByOne(IpFamily family, std::uint32_t generation) {
  for (const Direction direction : {Direction::Receive, Direction::Send}) {
    std::uint32_t& current = BypassOf(family, direction);
    if (current == generation) {
      continue;
    }
    // A rule removed by hand is gone already.
    if (current != 0 && Iptables(BypassCommand("-C", direction, current), family) == 0 &&
        Iptables(BypassCommand("-D", direction, current), family) != 0) {
      return false;
    }
    current = 0;
    if (generation != 0 && Iptables(BypassCommand("-I", direction, generation), family) != 0) {
      return false;
    }
    current = generation;
  }
  return true;
}

void QueueRules::RemoveChains(IpFamily family) {
  for (const Hook& hook : kHooks) {
    for (int i = 0; i < kMaxLeftoverJumps; ++i) {
      if (Iptables({"-D", hook.builtInChain, "-j", hook.ownChain}, family) != 0) {
        break;
      }
    }
    Iptables({"-F", hook.ownChain}, family);
    Iptables({"-X", hook.ownChain}, family);
  }
}

void QueueRules::RemoveAll() {
  RemoveChains(IpFamily::Ipv4);
  // Also when the IPv6 chains were not made this run: a killed daemon's
  // may be there.
  RemoveChains(IpFamily::Ipv6);
  queued_.clear();
  ipv6Available_ = false;
  bypass_ = {};
}

bool QueueRules::MakeChains(IpFamily family) {
  for (const Hook& hook : kHooks) {
    if (Iptables({"-N", hook.ownChain}, family) != 0 ||
        Iptables({"-I", hook.builtInChain, "-j", hook.ownChain}, family) != 0) {
      return false;
    }
  }
  return true;
}

bool QueueRules::Prepare() {
  RemoveAll();
  if (!MakeChains(IpFamily::Ipv4)) {
    RemoveAll();
    return false;
  }
  ipv6Available_ = MakeChains(IpFamily::Ipv6);
  if (!ipv6Available_) {
    RemoveChains(IpFamily::Ipv6);  // half made: nothing of it stays
  }
  return true;
}

bool QueueRules::Add(const std::string& interfaceName, Direction direction, IpFamily family) {
  if (Has(interfaceName, direction, family)) {
    return true;
  }
  if (!UsableInterfaceName(interfaceName) ||
      Iptables(QueueRule("-A", direction, interfaceName), family) != 0) {
    return false;
  }
  queued_.insert({interfaceName, direction, family});
  return true;
}

bool QueueRules::Remove(const std::string& interfaceName, Direction direction, IpFamily family) {
  if (!Has(interfaceName, direction, family)) {
    return true;
  }
  // A rule that is not there (removed by hand, say) is fine.
  if (Iptables(QueueRule("-C", direction, interfaceName), family) == 0 &&
      Iptables(QueueRule("-D", direction, interfaceName), family) != 0) {
    return false;
  }
  queued_.erase({interfaceName, direction, family});
  return true;
}

bool QueueRules::Remove(const std::string& interfaceName) {
  bool removed = true;
  for (const IpFamily family : {IpFamily::Ipv4, IpFamily::Ipv6}) {
    removed = Remove(interfaceName, Direction::Receive, family) && removed;
    removed = Remove(interfaceName, Direction::Send, family) && removed;
  }
  return removed;
}

bool QueueRules::ApplyOne(const RuleChange& change) {
  return change.queued ? Add(change.interfaceName, change.direction, change.family)
                       : Remove(change.interfaceName, change.direction, change.family);
}

bool QueueRules::Restore(const std::vector<RuleChange>& changes,
                         const std::vector<std::size_t>& indexes, IpFamily family,
                         std::optional<std::uint32_t> bypass) {
  std::string input = "*mangle\n";
  if (bypass) {
    for (const std::vector<std::string>& command : BypassCommands(family, *bypass)) {
      for (const std::string& word : command) {
        input += word + ' ';
      }
      input.back() = '\n';
    }
  }
  for (const std::size_t index : indexes) {
    const RuleChange& change = changes[index];
    for (const std::string& word :
         QueueRule(change.queued ? "-A" : "-D", change.direction, change.interfaceName)) {
      input += word + ' ';
    }
    input.back() = '\n';
  }
  input += "COMMIT\n";
  // --noflush keeps every other rule of the table; the batch is one
  // transaction, made whole or not at all.
  const char* program = family == IpFamily::Ipv6 ? "ip6tables-restore" : "iptables-restore";
  if (runner_.RunWithInput({program, "-w", "--noflush"}, input) != 0) {
    return false;
  }
  if (bypass) {
    bypass_[static_cast<std::size_t>(family)] = {*bypass, *bypass};
  }
  for (const std::size_t index : indexes) {
    const RuleChange& change = changes[index];
    if (change.queued) {
      queued_.insert({change.interfaceName, change.direction, change.family});
    } else {
      queued_.erase({change.interfaceName, change.direction, change.family});
    }
  }
  return true;
}

std::vector<bool> QueueRules::Apply(const std::vector<RuleChange>& changes) {
  bool bypassDone = true;
  return Apply(changes, std::nullopt, bypassDone);
}

std::vector<bool> QueueRules::Apply(const std::vector<RuleChange>& changes,
                                    std::optional<std::uint32_t> bypass, bool& bypassDone) {
  std::vector<bool> done(changes.size(), false);
  std::vector<std::size_t> batches[2];
  for (std::size_t i = 0; i < changes.size(); ++i) {
    const RuleChange& change = changes[i];
    if (Has(change.interfaceName, change.direction, change.family) == change.queued) {
      done[i] = true;
    } else if (PlainInterfaceName(change.interfaceName)) {
      batches[static_cast<std::size_t>(change.family)].push_back(i);
    } else {
      done[i] = ApplyOne(change);  // refused at once when not usable at all
    }
  }
  bypassDone = true;
  for (const IpFamily family : {IpFamily::Ipv4, IpFamily::Ipv6}) {
    const std::vector<std::size_t>& batch = batches[static_cast<std::size_t>(family)];
    const bool moveBypass = bypass && !BypassCommands(family, *bypass).empty() &&
                            (family == IpFamily::Ipv4 || ipv6Available_);
    const bool restored = (!batch.empty() || moveBypass) &&
                          Restore(changes, batch, family, moveBypass ? bypass : std::nullopt);
    for (const std::size_t index : batch) {
      done[index] = restored || ApplyOne(changes[index]);
    }
    if (moveBypass && !restored && !MoveBypassOneByOne(family, *bypass)) {
      bypassDone = false;
    }
  }
  return done;
}

}  // namespace harlune
