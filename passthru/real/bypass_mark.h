#pragma once

// The conntrack mark that lets a flow no class can match leave the verdict
// queue. The daemon owns the top byte of the mark and nothing else: other
// programs keep their marks in the other bits (the low bits, 0x00FF0000 for
// some VPNs), and every change the daemon makes is masked to its byte.
//
//   bits 26..31  the generation of the classes the flow was judged by (1..63;
//                0 = never judged)
//   bit 24       its outgoing packets may pass the queue
//   bit 25       its incoming packets may pass the queue
//
// Both directions share one generation: a flow is judged again in either
// direction after every change of the classes. The rule before the queue
// rule of a direction matches the current generation and that direction's
// bit, so marks of any earlier generation no longer let anything pass.

#include <cstdint>
#include <string>

#include "passthru/engine/packet.h"

namespace harlune {

inline constexpr std::uint32_t kBypassMarkMask = 0xFF000000u;
inline constexpr std::uint32_t kBypassGenerationMask = 0xFC000000u;
inline constexpr unsigned kBypassGenerationShift = 26;
inline constexpr std::uint32_t kMaxBypassGeneration =
    kBypassGenerationMask >> kBypassGenerationShift;

// The generation after `generation`: 1 after the last one (and after 0), so
// 0 stays "never judged". The caller clears every mark of the daemon when it
// wraps (WrapsAround), since flows idle since then may still carry them.
std::uint32_t NextBypassGeneration(std::uint32_t generation);
bool WrapsAround(std::uint32_t from, std::uint32_t to);

std::uint32_t BypassDirectionBit(Direction direction);
// The daemon's byte of a flow judged in `generation` whose packets may pass
// the queue in the directions given.
std::uint32_t BypassMark(std::uint32_t generation, bool send, bool receive);

// What the rule of `direction` compares the mark with, under BypassRuleMask.
std::uint32_t BypassRuleValue(std::uint32_t generation, Direction direction);
std::uint32_t BypassRuleMask(Direction direction);

// "0x" and eight hexadecimal digits, as iptables writes marks.
std::string HexMark(std::uint32_t value);

}  // namespace harlune
