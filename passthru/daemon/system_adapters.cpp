#include "passthru/daemon/system_adapters.h"

#include <ifaddrs.h>

#include <algorithm>

#include <net/if.h>

namespace harlune {

std::vector<std::string> SystemAdapterNames() {
  std::vector<std::string> names;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) {
    return names;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_name != nullptr && (entry->ifa_flags & IFF_LOOPBACK) == 0) {
      names.emplace_back(entry->ifa_name);
    }
  }
  ::freeifaddrs(list);
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

}  // namespace harlune
