#pragma once

// The line the headless program prints now and then so an operator sees it
// work: the filtering switch, the adapters in use (and those whose driver
// stopped answering), the number of filters and the current send and
// receive rates.

#include <cstdint>
#include <string>

namespace harlune {

class HarluneEngine;

std::string StatusLine(HarluneEngine& engine);

// The status lines of one run. A refused disconnection is appended to the
// first line printed after the last refused disconnection changed (another
// rule, or another reason, or refused anew after a success of its rule had
// cleared it) and left out of the lines after it: a refusal that repeats
// every second is told once, not on every line for the rest of the run.
// A change that is already cleared again when the line is printed adds
// nothing.
class StatusLines {
 public:
  std::string Next(HarluneEngine& engine);

 private:
  std::uint64_t shownFailureChange_ = 0;
};

}  // namespace harlune
