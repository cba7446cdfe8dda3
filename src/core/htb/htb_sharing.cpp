#include "core/htb/htb_sharing.h"

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

namespace harlune {

namespace {

constexpr std::uint32_t kMaxRate = std::numeric_limits<std::uint32_t>::max();

// What one member brings to the division. Signed and wide, so that sums
// over many members and levels below a guarantee never wrap.
struct Claim {
  HTB_Class* member = nullptr;
  std::int64_t floor = 0;      // never given less
  std::int64_t guarantee = 0;  // where its equal shares start
  std::int64_t top = 0;        // never given more
};

using Claims = std::vector<Claim>;

// The member's grant at a water level: its guarantee plus the level, kept
// between its floor and its top. The level is below 0 when the guarantees
// do not all fit.
std::int64_t GrantAt(const Claim& claim, std::int64_t level) {
  return std::max(claim.floor, std::min(claim.top, claim.guarantee + level));
}

std::int64_t TotalAt(const Claims& claims, std::int64_t level) {
  std::int64_t total = 0;
  for (const Claim& claim : claims) {
    total += GrantAt(claim, level);
  }
  return total;
}

// The highest water level whose grants fit in `available` (at least the
// claims' floors). Members alike get the same grant at any level, so they
// get the same rate whatever their order; what a level cannot split
// evenly, less than a byte per member, stays with the class.
std::int64_t WaterLevel(const Claims& claims, std::int64_t available) {
  std::int64_t low = 0;
  std::int64_t high = 0;
  for (const Claim& claim : claims) {
    low = std::min(low, claim.floor - claim.guarantee);
    high = std::max(high, claim.top - claim.guarantee);
  }
  while (low < high) {
    const std::int64_t middle = low + (high - low + 1) / 2;
    if (TotalAt(claims, middle) <= available) {
      low = middle;
    } else {
      high = middle - 1;
    }
  }
  return low;
}

// Gives every member its grant at the level that fits `available`;
// returns what was given.
std::int64_t Fill(const Claims& claims, std::int64_t available) {
  const std::int64_t level = WaterLevel(claims, available);
  std::int64_t given = 0;
  for (const Claim& claim : claims) {
    const std::int64_t grant = GrantAt(claim, level);
    given += grant;
    SetAllottedRate(*claim.member, static_cast<std::uint32_t>(grant));
  }
  return given;
}

// What a member holds before anything is shared: its guaranteed rate as
// far as it uses it.
std::int64_t BaseOf(const HTB_Class& member) {
  return std::min(member.TickAssuredRate, member.CurrentRate);
}

std::int64_t TotalBase(const Claims& claims) {
  std::int64_t total = 0;
  for (const Claim& claim : claims) {
    total += claim.floor;
  }
  return total;
}

// The children that take part: those active on this tick. Their demand is
// their AllottedRate as compute demand left it.
Claims SpareClaims(const HTB_Class& cls) {
  Claims claims;
  for (const auto& child : cls.Children) {
    if (child->Active) {
      const std::int64_t base = BaseOf(*child);
      claims.push_back({child.get(), base, child->TickAssuredRate,
                        std::max<std::int64_t>(child->AllottedRate, base)});
    }
  }
  return claims;
}

// The claims grouped by Priority, smallest number first.
std::vector<Claims> PriorityLevels(const Claims& claims) {
  std::map<std::uint32_t, Claims> byPriority;
  for (const Claim& claim : claims) {
    byPriority[claim.member->Priority].push_back(claim);
  }
  std::vector<Claims> levels;
  for (auto& [priority, level] : byPriority) {
    levels.push_back(std::move(level));
  }
  return levels;
}

// Enough bandwidth: level by level, smallest Priority first, each level
// is filled from what is left once the bases of the later levels are set
// aside, so a later level keeps at least its base.
void ShareSpare(const Claims& claims, std::int64_t rate) {
  std::int64_t left = rate;
  std::int64_t laterBases = TotalBase(claims);
  for (const Claims& level : PriorityLevels(claims)) {
    laterBases -= TotalBase(level);
    left -= Fill(level, left - laterBases);
  }
}

// A member that kept part of its holding keeps that part as its guaranteed
// rate for the rest of the tick, with the percentage of the class's
// guaranteed rate it makes (widened, so a fast link does not wrap). A rate
// that did not actually fall keeps its percentage, which recomputing would
// only round.
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

// Too little bandwidth: the excess over the rate is cut from the members'
// holdings (their bases), largest Priority first, in equal amounts down
// to 0 within a level; a member that held less than the others' cut gives
// up all it held and the rest of the level shares the remainder of the cut.
void CutExcess(const HTB_Class& cls, const Claims& claims, std::int64_t rate) {
  std::vector<Claims> levels = PriorityLevels(claims);
  std::reverse(levels.begin(), levels.end());
  std::int64_t excess = TotalBase(claims) - rate;
  for (Claims& level : levels) {
    const std::int64_t holding = TotalBase(level);
    const std::int64_t cut = std::min(excess, holding);
    excess -= cut;
    for (Claim& claim : level) {
      claim = {claim.member, 0, claim.floor, claim.floor};
    }
    Fill(level, holding - cut);
    for (const Claim& claim : level) {
      KeepAsAssurance(*claim.member, cls);
    }
  }
}

}  // namespace

void SetAllottedRate(HTB_Class& cls, std::uint32_t rate) {
  cls.AllottedRate = rate;
  if (cls.Children.empty()) {
    return;
  }
  const Claims claims = SpareClaims(cls);
  if (rate >= TotalBase(claims)) {
    ShareSpare(claims, rate);
  } else {
    CutExcess(cls, claims, rate);
  }
}

}  // namespace harlune
