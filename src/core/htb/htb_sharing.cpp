#include "core/htb/htb_sharing.h"

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

namespace harlune {

namespace {

constexpr std::uint32_t kMaxRate = std::numeric_limits<std::uint32_t>::max();

// Rates never wrap: a sum that would pass 2^32 - 1 stays there, and a
// difference that would fall below 0 stays at 0.
std::uint32_t SaturatingAdd(std::uint32_t a, std::uint32_t b) {
  return a > kMaxRate - b ? kMaxRate : a + b;
}

std::uint32_t SaturatingSub(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

using Members = std::vector<HTB_Class*>;

// What the base sets aside for a member: its guaranteed rate as far as it
// uses it.
std::uint32_t BaseOf(const HTB_Class& member) {
  return std::min(member.TickAssuredRate, member.CurrentRate);
}

// Serves the members in order; those for which `serve` answers true stay
// for the next pass.
template <typename Serve>
void ServeInOrder(Members& members, Serve serve) {
  Members staying;
  for (HTB_Class* member : members) {
    if (serve(*member)) {
      staying.push_back(member);
    }
  }
  members = std::move(staying);
}

Members AppliedChildren(const HTB_Class& cls) {
  Members members;
  for (const auto& child : cls.Children) {
    if (child->Applied) {
      members.push_back(child.get());
    }
  }
  return members;
}

// The members grouped by Priority, each level in child order.
std::vector<Members> PriorityLevels(const Members& members, bool largestFirst) {
  std::map<std::uint32_t, Members> byPriority;
  for (HTB_Class* member : members) {
    byPriority[member->Priority].push_back(member);
  }
  std::vector<Members> levels;
  for (auto& [priority, level] : byPriority) {
    levels.push_back(std::move(level));
  }
  if (largestFirst) {
    std::reverse(levels.begin(), levels.end());
  }
  return levels;
}

// What the class hands out. A member is never given more than is left once
// the bases of the members still to be served are set aside, so the
// members together get no more than the class has, and a later level keeps
// its base even when an earlier one was offered more than the spare held
// (guaranteed rates above the current rate are offered but not in the base).
class Purse {
 public:
  Purse(std::uint32_t rate, std::uint32_t base) : left_(rate), unserved_(base) {}

  void Give(HTB_Class& member, std::uint32_t amount) {
    unserved_ = SaturatingSub(unserved_, BaseOf(member));
    const std::uint32_t granted = std::min(amount, SaturatingSub(left_, unserved_));
    left_ -= granted;
    SetAllottedRate(member, granted);
  }

 private:
  std::uint32_t left_;
  std::uint32_t unserved_;
};

// Enough bandwidth: the spare above the base goes out by level, smallest
// Priority first. The spare loses a full share for every member served;
// since a member that takes less than its share passes the rest on as
// carry, the spare can run out before the last level, which then gets its
// guaranteed rates and whatever carry is left.
void ShareSpare(const Members& members, std::uint32_t rate, std::uint32_t base) {
  Purse purse(rate, base);
  std::uint32_t spare = rate - base;
  std::uint32_t carry = 0;
  for (Members level : PriorityLevels(members, false)) {
    std::uint32_t share = spare / static_cast<std::uint32_t>(level.size());
    do {
      share = SaturatingAdd(share, carry / static_cast<std::uint32_t>(level.size()));
      carry = 0;
      ServeInOrder(level, [&](HTB_Class& member) {
        const std::uint32_t demand = member.AllottedRate;
        const std::uint32_t offer = SaturatingAdd(member.TickAssuredRate, share);
        if (demand >= offer) {
          return true;
        }
        carry = SaturatingAdd(carry, offer - demand);
        spare = SaturatingSub(spare, share);
        purse.Give(member, demand);
        return false;
      });
    } while (carry != 0 && !level.empty());
    for (HTB_Class* member : level) {
      purse.Give(*member, SaturatingAdd(member->TickAssuredRate, share));
      spare = SaturatingSub(spare, share);
    }
  }
}

// A member that kept part of its holding keeps that part as its guaranteed
// rate from now on, with the percentage of the class's guaranteed rate it
// makes (widened, so a fast link does not wrap). A rate that did not
// actually fall keeps its percentage, which recomputing would only round.
void KeepAsAssurance(HTB_Class& member, const HTB_Class& cls) {
  const std::uint32_t kept = member.AllottedRate;
  if (cls.TickAssuredRate == 0) {
    member.LowerTickAssurance(0, member.TickAssuredRatePercentage);
    return;
  }
  if (kept >= member.TickAssuredRate) {
    return;
  }
  const std::uint64_t percentage = std::uint64_t{kept} * 100 / cls.TickAssuredRate;
  member.LowerTickAssurance(
      kept, static_cast<std::uint32_t>(std::min<std::uint64_t>(percentage, kMaxRate)));
}

// Too little bandwidth: the excess is cut from the members' holdings,
// largest Priority first, in equal shares. A member holding less than its
// share is cut to 0 and gives up its guarantee; the excess shrinks by what
// it held. Once the shares come to 0 the members keep what they hold.
void CutExcess(const HTB_Class& cls, const Members& members, std::uint32_t excess) {
  for (Members level : PriorityLevels(members, true)) {
    while (!level.empty()) {
      const std::uint32_t share = excess / static_cast<std::uint32_t>(level.size());
      ServeInOrder(level, [&](HTB_Class& member) {
        const std::uint32_t held = std::min(member.TickAssuredRate, member.AllottedRate);
        if (held < share) {
          member.LowerTickAssurance(0, 0);
          SetAllottedRate(member, 0);
          excess = SaturatingSub(excess, held);
          return false;
        }
        SetAllottedRate(member, held - share);
        excess = SaturatingSub(excess, share);
        if (share != 0) {
          return true;
        }
        KeepAsAssurance(member, cls);
        return false;
      });
    }
  }
}

}  // namespace

void SetAllottedRate(HTB_Class& cls, std::uint32_t rate) {
  cls.AllottedRate = rate;
  if (cls.Children.empty()) {
    return;
  }
  const Members members = AppliedChildren(cls);
  std::uint32_t base = 0;
  for (const HTB_Class* member : members) {
    base = SaturatingAdd(base, BaseOf(*member));
  }
  if (rate >= base) {
    ShareSpare(members, rate, base);
  } else {
    CutExcess(cls, members, base - rate);
  }
}

}  // namespace harlune
