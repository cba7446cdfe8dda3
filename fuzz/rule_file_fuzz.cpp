// Arbitrary bytes as a connection control rule file: what reads must write
// (every text read from a file can be stored) and read back as the same
// rules; a refusal names its reason.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/control/connection_control_rule_file.h"
#include "fuzz_target.h"

namespace {

using harlune::FileReadResult;
using harlune::FileReadStatus;
using harlune::OperateConnectionRuleIni;

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

// Host lists are not on disk here: a path ending in "missing" has none, any
// other path names a small list.
FileReadResult FakeHostList(std::string_view path) {
  if (path.ends_with("missing")) {
    return {FileReadStatus::kMissing, {}, {}};
  }
  return {FileReadStatus::kRead, "*.example.com\r\n%ResolveFailedHost%\r\n", {}};
}

bool SameRules(const OperateConnectionRuleIni& a, const OperateConnectionRuleIni& b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a.Rules()[i] == b.Rules()[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const harlune::RuleFileParseResult parsed =
      harlune::ParseConnectionControlRuleFile(bytes, FakeHostList);
  if (!parsed.rules) {
    Check(!parsed.error.empty());
    return 0;
  }
  for (const harlune::OperateConnectionRule& rule : parsed.rules->Rules()) {
    static_cast<void>(rule.ConditionText());
    static_cast<void>(harlune::ActionText(rule.Action));
    static_cast<void>(harlune::PriorConditionText(rule.PriorCondition));
    Check(rule.HostListProblem.empty() == !rule.RemoteHostListPath.ends_with("missing"));
  }

  const harlune::RuleFileWriteResult written =
      harlune::SerializeConnectionControlRuleFile(*parsed.rules);
  Check(written.ok());
  const harlune::RuleFileParseResult again =
      harlune::ParseConnectionControlRuleFile(written.bytes, FakeHostList);
  Check(again.rules.has_value());
  Check(SameRules(*parsed.rules, *again.rules));
  // The second write is the first one again.
  const harlune::RuleFileWriteResult rewritten =
      harlune::SerializeConnectionControlRuleFile(*again.rules);
  Check(rewritten.ok() && rewritten.bytes == written.bytes);
  return 0;
}
