#pragma once

// The sharing step of the HTB tick: what a class gets is shared among its
// children that are active on this tick. Each child's demand is its
// AllottedRate as compute demand left it.
//
// The children first hold their base, min(guaranteed rate, current rate).
// When the rate covers the base, the rest is handed out by priority level,
// smallest Priority first, by water-filling: every member of a level gets
// its guaranteed rate plus one common amount, never more than it wants and
// never less than its base, the amount chosen as large as the level's
// share allows (below 0 when the guarantees do not all fit). What a level
// does not want goes on to the next. When the rate does not cover the
// base, the excess is cut from the members' holdings, largest Priority
// first, in equal amounts, and the members' guaranteed rates are lowered
// for the rest of the tick (on the tick's copies only). docs/htb.md says
// where this departs from a literal reading of the rules and why.

#include <cstdint>

#include "core/htb/htb_class.h"

namespace harlune {

// Gives the class `rate`; an inner class then shares it among its active
// children as above, and those that are inner classes share in turn. The
// children together never get more than `rate`, none gets less than its
// base while the rate covers the bases, and children alike in what they
// want, are guaranteed, measure and in their priority get the same rate.
void SetAllottedRate(HTB_Class& cls, std::uint32_t rate);

}  // namespace harlune
