#pragma once

// The sharing step of the HTB tick: what a class gets is shared among its
// children that took part in the previous tick (their Applied flag). Each
// child's demand is its AllottedRate as compute demand left it.
//
// The children first hold their base, min(guaranteed rate, current rate).
// When the rate covers the base, the spare above it is handed out by
// priority level, smallest Priority first: each member of a level is
// offered its guaranteed rate plus an equal share; a member that wants less
// takes its demand, and what it leaves is shared among the others of its
// level and, once the level is served, passed on to the next level. When
// the rate does not cover the base, the excess is cut from the members'
// holdings, largest Priority first, and the members' guaranteed rates are
// lowered for the ticks that follow (on the tick's copies only). The
// choices where the rules leave room are in docs/htb.md.

#include <cstdint>

#include "core/htb/htb_class.h"

namespace harlune {

// Gives the class `rate`; an inner class then shares it among its applied
// children as above, and those that are inner classes share in turn. The
// children together never get more than `rate`, and none gets less than
// its base while the rate covers the bases.
void SetAllottedRate(HTB_Class& cls, std::uint32_t rate);

}  // namespace harlune
