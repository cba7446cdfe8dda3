// Arbitrary bytes as a host name: the domain must be a whole-label tail of
// the name with one or two dots, or empty; a name with a domain keeps it
// when a label is put in front of it.

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/monitor/host_resolver.h"
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
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const std::string domain = harlune::DomainOfHost(name);
  if (domain.empty()) {
    return 0;
  }
  Check(domain.size() <= name.size());
  Check(name.substr(name.size() - domain.size()) == domain);
  Check(domain.size() == name.size() || name[name.size() - domain.size() - 1] == '.');
  const auto dots = std::count(domain.begin(), domain.end(), '.');
  Check(dots == 1 || dots == 2);
  Check(harlune::DomainOfHost("x." + std::string(name)) == domain);
  return 0;
}
