#include "passthru/real/queue_rules.h"

#include <algorithm>

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

}  // namespace

bool UsableInterfaceName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxInterfaceName && name.back() != '+' &&
         name.front() != '!' && std::none_of(name.begin(), name.end(), [](char c) {
           return c == ' ' || c == '/' || c == '\0';
         });
}

int QueueRules::Iptables(std::vector<std::string> arguments) {
  // -w waits for the xtables lock instead of failing when another program
  // holds it.
  arguments.insert(arguments.begin(), {"iptables", "-w", "-t", "mangle"});
  return runner_.Run(arguments);
}

std::vector<std::string> QueueRules::QueueRule(const char* action, const char* chain,
                                               const char* interfaceOption,
                                               const std::string& interfaceName) const {
  return {action,
          chain,
          interfaceOption,
          interfaceName,
          "-j",
          "NFQUEUE",
          "--queue-num",
          std::to_string(queueNumber_),
          "--queue-bypass"};
}

void QueueRules::RemoveAll() {
  for (const Hook& hook : kHooks) {
    for (int i = 0; i < kMaxLeftoverJumps; ++i) {
      if (Iptables({"-D", hook.builtInChain, "-j", hook.ownChain}) != 0) {
        break;
      }
    }
    Iptables({"-F", hook.ownChain});
    Iptables({"-X", hook.ownChain});
  }
  interfaces_.clear();
}

bool QueueRules::Prepare() {
  RemoveAll();
  for (const Hook& hook : kHooks) {
    if (Iptables({"-N", hook.ownChain}) != 0 ||
        Iptables({"-I", hook.builtInChain, "-j", hook.ownChain}) != 0) {
      RemoveAll();
      return false;
    }
  }
  return true;
}

bool QueueRules::Add(const std::string& interfaceName) {
  if (Has(interfaceName)) {
    return true;
  }
  if (!UsableInterfaceName(interfaceName)) {
    return false;
  }
  for (const Hook& hook : kHooks) {
    if (Iptables(QueueRule("-A", hook.ownChain, hook.interfaceOption, interfaceName)) != 0) {
      interfaces_.insert(interfaceName);  // so that Remove takes back the half added
      Remove(interfaceName);
      return false;
    }
  }
  interfaces_.insert(interfaceName);
  return true;
}

bool QueueRules::Remove(const std::string& interfaceName) {
  if (!Has(interfaceName)) {
    return true;
  }
  bool removed = true;
  for (const Hook& hook : kHooks) {
    // A rule that is not there (never added, removed by hand) is fine.
    const std::vector<std::string> check =
        QueueRule("-C", hook.ownChain, hook.interfaceOption, interfaceName);
    if (Iptables(check) == 0 &&
        Iptables(QueueRule("-D", hook.ownChain, hook.interfaceOption, interfaceName)) != 0) {
      removed = false;
    }
  }
  if (removed) {
    interfaces_.erase(interfaceName);
  }
  return removed;
}

}  // namespace harlune
