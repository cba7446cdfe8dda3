// Arbitrary bytes as a statistics line format (first half) and a remote host
// name (second half): the line is one line ending in "\n", and its CP932
// text converts without fault and holds no line end but the last.

#include <cstdlib>
#include <string>
#include <string_view>

#include "core/log/log_lines.h"
#include "core/log/logger.h"
#include "fuzz_target.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) {
    return 0;
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view format = input.substr(0, size / 2);
  harlune::ConnectionStatsValues values;
  values.remoteHost = std::string(input.substr(size / 2));
  values.processPath = values.remoteHost;

  const std::string line = harlune::ConnectionStatsLine(format, values, 1700000000);
  Check(!line.empty() && line.back() == '\n');
  const std::string noEnd = line.substr(0, line.size() - 1);
  // Only the format's own text may break a line; values never do.
  const bool formatHasBreaks = format.find_first_of("\r\n") != std::string_view::npos;
  Check(formatHasBreaks || noEnd.find_first_of("\r\n") == std::string::npos);

  const std::string bytes = harlune::ToLogFileText(line);
  Check(!bytes.empty() && bytes.back() == '\n');
  const std::string control =
      harlune::ConnectionControlLine(0, values.remoteHost, harlune::IpAddress(), format);
  Check(control.find('\n') == control.size() - 1);
  return 0;
}
