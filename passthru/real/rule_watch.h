#pragma once

// Finding which of the daemon's rules another program removed, from the
// text `iptables-save -t mangle` writes, and the iptables-restore input that
// puts back exactly those. Other tools (nftables.service's `flush ruleset`,
// a firewalld reload, `iptables -t mangle -F`, a Docker restart) rewrite the
// mangle table during a session; traffic would then pass unshaped while the
// application shows limits. Only what the daemon made is looked at and put
// back: every other rule is left as it is, where it is.

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace harlune {

// One rule the daemon keeps in place: `body` is what follows "-A CHAIN" in
// its iptables command. `first`: it goes back at the top of its chain (the
// jumps, and the bypass rule before the queue rules); else at the end.
struct WatchedRule {
  std::string chain;
  std::vector<std::string> body;
  bool first = false;
  std::string what;           // for the log: "the jump from POSTROUTING to HARLUNE-OUT"
  std::string interfaceName;  // a queue rule's interface; empty for the others
};

// What the daemon expects in one family's mangle table.
struct WatchedTable {
  std::vector<std::string> chains;
  std::vector<WatchedRule> rules;
};

// The mangle table as iptables-save wrote it.
struct SavedTable {
  bool seen = false;      // a "*mangle" section was there
  bool nftables = false;  // written by the nf_tables back end
  std::set<std::string> chains;
  // Each rule as "CHAIN word word ...", numbers in one form (NormalWords).
  std::multiset<std::string> rules;
};

SavedTable ParseSavedTable(std::string_view text);

// The words with every number ("0x00000004", "4", "0x4/0xfc") written in
// decimal, so that a rule reads the same however iptables prints it.
std::string NormalWords(const std::string& chain, const std::vector<std::string>& body);

struct MissingRules {
  std::vector<std::string> chains;
  std::vector<WatchedRule> rules;
  bool Empty() const { return chains.empty() && rules.empty(); }
};

MissingRules FindMissing(const SavedTable& saved, const WatchedTable& watched);

// The iptables-restore --noflush input that makes what is missing: a chain
// is declared only when it is gone (declaring one that exists would empty
// it), and a rule is inserted or appended, never a rule moved or replaced.
std::string RestoreInput(const MissingRules& missing);

// "chain HARLUNE-OUT, the jump from POSTROUTING to HARLUNE-OUT, ...".
std::string Describe(const MissingRules& missing);

}  // namespace harlune
