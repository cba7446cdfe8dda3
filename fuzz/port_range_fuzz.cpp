// Arbitrary bytes as a piece of port text: the parse must stay inside the
// text, keep its ends in order, and its result must format and name without
// fault; the application port text must take any ports and ranges.

#include <algorithm>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/filter/port_range.h"
#include "core/monitor/service_names.h"
#include "fuzz_target.h"
#include "protocol/byte_order.h"

namespace {

using harlune::protocol::NetToHost16;
using harlune::protocol::PortRange;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

void CheckRange(const PortRange& range) {
  Check(NetToHost16(range.first) <= NetToHost16(range.last));
  // The list text of one parsed range reads back as the same range.
  const std::string text = harlune::PortListText(std::span<const PortRange>(&range, 1));
  Check(harlune::ParsePortRange(text) == range);
  const std::string_view name = harlune::ServiceName(range.first, range.last);
  Check(name.size() <= 11);
  harlune::PortTextBuffer buffer;
  const std::string_view portText = harlune::FormatPortText(range.first, range.last, buffer);
  Check(portText.substr(0, text.size()) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) {
    return 0;
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  std::vector<PortRange> ranges;
  std::size_t start = 0;
  while (start <= input.size()) {
    const std::size_t comma = std::min(input.find(',', start), input.size());
    ranges.push_back(harlune::ParsePortRange(input.substr(start, comma - start)));
    CheckRange(ranges.back());
    start = comma + 1;
  }

  // The bytes taken as host-order application ports, checked against the
  // parsed ranges.
  std::vector<std::uint16_t> ports;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    ports.push_back(static_cast<std::uint16_t>(data[i] | (data[i + 1] << 8)));
  }
  const std::string appText = harlune::ApplicationPortText(ports, ranges);
  Check(!appText.empty());
  return 0;
}
