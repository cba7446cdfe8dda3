#include "passthru/real/bypass_mark.h"

#include <cstdio>

namespace harlune {

std::uint32_t NextBypassGeneration(std::uint32_t generation) {
  return generation >= kMaxBypassGeneration ? 1 : generation + 1;
}

bool WrapsAround(std::uint32_t from, std::uint32_t to) { return from != 0 && to <= from; }

std::uint32_t BypassDirectionBit(Direction direction) {
  return direction == Direction::Send ? 0x01000000u : 0x02000000u;
}

std::uint32_t BypassMark(std::uint32_t generation, bool send, bool receive) {
  return ((generation << kBypassGenerationShift) & kBypassGenerationMask) |
         (send ? BypassDirectionBit(Direction::Send) : 0) |
         (receive ? BypassDirectionBit(Direction::Receive) : 0);
}

std::uint32_t BypassRuleValue(std::uint32_t generation, Direction direction) {
  return BypassMark(generation, direction == Direction::Send, direction == Direction::Receive);
}

std::uint32_t BypassRuleMask(Direction direction) {
  return kBypassGenerationMask | BypassDirectionBit(direction);
}

std::string HexMark(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

}  // namespace harlune
