// Arbitrary bytes as a host list: what reads must be clean patterns that read
// back the same when written as a list, and every pattern must match the
// names it describes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/text_encoding.h"
#include "core/control/operate_connection_rule.h"
#include "fuzz_target.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// The pattern with every '*' replaced by `fill`: a name the pattern matches.
std::string Instance(std::string_view pattern, std::string_view fill) {
  std::string name;
  for (const char c : pattern) {
    if (c == '*') {
      name += fill;
    } else {
      name += c;
    }
  }
  return name;
}

void CheckPattern(const std::string& pattern) {
  Check(!pattern.empty());
  Check(pattern.find('#') == std::string::npos);
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  Check(kBlanks.find(pattern.front()) == std::string_view::npos);
  Check(kBlanks.find(pattern.back()) == std::string_view::npos);
  Check(harlune::MatchesHostPattern(pattern, Instance(pattern, "")));
  Check(harlune::MatchesHostPattern(pattern, Instance(pattern, "x.*y")));
  if (pattern.find('*') == std::string::npos) {
    Check(harlune::MatchesHostPattern(pattern, pattern + "x") == false);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const harlune::HostListParseResult parsed = harlune::ParseHostList(bytes);
  if (!parsed.list) {
    Check(parsed.errorLine > 0 && !parsed.error.empty());
    return 0;
  }
  std::string text = parsed.list->resolveFailedHost ? "%ResolveFailedHost%\r\n" : "";
  for (const std::string& pattern : parsed.list->patterns) {
    CheckPattern(pattern);
    text += pattern + "\r\n";
  }
  const harlune::HostListParseResult again = harlune::ParseHostList(harlune::Utf8ToCp932(text));
  Check(again.list.has_value() && *again.list == *parsed.list);

  harlune::OperateConnectionRule rule;
  rule.HostPatterns = parsed.list->patterns;
  for (const std::string& pattern : parsed.list->patterns) {
    Check(rule.MatchesHost(Instance(pattern, "")));
  }
  return 0;
}
