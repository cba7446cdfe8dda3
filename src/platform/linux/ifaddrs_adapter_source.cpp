#include "platform/linux/ifaddrs_adapter_source.h"

#include <ifaddrs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "protocol/ip_address.h"

namespace harlune {

namespace {

// The socket the ethtool requests go through; closed when it goes.
class ControlSocket {
 public:
  ControlSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~ControlSocket() {
    if (fd_ >= 0) {
      close(fd_);
    }
  }
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  int Fd() const { return fd_; }

 private:
  int fd_;
};

struct Interface {
  std::string name;
  std::vector<std::uint32_t> addresses;
  std::vector<IpAddress> ipv6Addresses;
};

// getifaddrs names a labelled secondary address after its label
// ("eth0:1"); the address belongs to the interface before the colon, which
// no interface name may contain.
std::string InterfaceNameOf(const char* label) {
  const std::string name(label);
  return name.substr(0, name.find(':'));
}

Interface& FindOrAdd(std::vector<Interface>& interfaces, const std::string& name) {
  const auto found = std::find_if(interfaces.begin(), interfaces.end(),
                                  [&name](const Interface& known) { return known.name == name; });
  if (found != interfaces.end()) {
    return *found;
  }
  interfaces.push_back(Interface{name, {}, {}});
  return interfaces.back();
}

// An IPv4 or IPv6 address of the interface; other families (the link
// layer's AF_PACKET entry) are not addresses of the table.
void AddAddress(Interface& interface, const sockaddr& address) {
  if (address.sa_family == AF_INET) {
    sockaddr_in inet{};
    std::memcpy(&inet, &address, sizeof inet);
    interface.addresses.push_back(inet.sin_addr.s_addr);
  } else if (address.sa_family == AF_INET6) {
    sockaddr_in6 inet6{};
    std::memcpy(&inet6, &address, sizeof inet6);
    IpAddress::Bytes16 bytes{};
    std::memcpy(bytes.data(), inet6.sin6_addr.s6_addr, bytes.size());
    interface.ipv6Addresses.push_back(IpAddress::FromIpv6(bytes));
  }
}

std::vector<Interface> CollectInterfaces(const ifaddrs* list) {
  std::vector<Interface> interfaces;
  for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
    if (item->ifa_name == nullptr || (item->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    Interface& interface = FindOrAdd(interfaces, InterfaceNameOf(item->ifa_name));
    if (item->ifa_addr != nullptr) {
      AddAddress(interface, *item->ifa_addr);
    }
  }
  return interfaces;
}

// The alias set with "ip link set <if> alias <text>", or an empty text.
std::string ReadAlias(const std::filesystem::path& sysClassNet, const std::string& name) {
  std::ifstream file(sysClassNet / name / "ifalias", std::ios::binary);
  if (!file) {
    return {};
  }
  std::string alias((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  while (!alias.empty() && (alias.back() == '\n' || alias.back() == '\r')) {
    alias.pop_back();
  }
  return alias;
}

// The kernel driver's name from ETHTOOL_GDRVINFO, or an empty text when the
// interface does not tell.
std::string DriverNameOf(const ControlSocket& control, const std::string& name) {
  if (control.Fd() < 0 || name.size() >= IFNAMSIZ) {
    return {};
  }
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  ifreq request{};
  name.copy(request.ifr_name, IFNAMSIZ - 1);
  request.ifr_data = reinterpret_cast<char*>(&info);
  if (ioctl(control.Fd(), SIOCETHTOOL, &request) != 0) {
    return {};
  }
  return std::string(info.driver, strnlen(info.driver, sizeof info.driver));
}

std::string DescriptionOf(const std::filesystem::path& sysClassNet, const ControlSocket& control,
                          const std::string& name) {
  std::string alias = ReadAlias(sysClassNet, name);
  if (!alias.empty()) {
    return alias;
  }
  const std::string driver = DriverNameOf(control, name);
  return driver.empty() ? name : driver + " (" + name + ")";
}

}  // namespace

IfaddrsAdapterSource::IfaddrsAdapterSource(std::filesystem::path sysClassNet)
    : sysClassNet_(std::move(sysClassNet)) {}

AdapterListResult IfaddrsAdapterSource::ListAdapters() {
  AdapterListResult result;
  ifaddrs* head = nullptr;
  if (getifaddrs(&head) != 0) {
    result.status = AdapterListResult::Status::Failed;
    result.errorCode = errno;
    return result;
  }
  const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> list(head, &freeifaddrs);
  std::vector<Interface> interfaces = CollectInterfaces(list.get());

  const ControlSocket control;
  for (Interface& interface : interfaces) {
    const unsigned index = if_nametoindex(interface.name.c_str());
    // An interface that went away since getifaddrs (index 0) is left out.
    if (index == 0 || index > static_cast<unsigned>(std::numeric_limits<std::int32_t>::max())) {
      continue;
    }
    SystemAdapter adapter;
    adapter.index = static_cast<std::int32_t>(index);
    adapter.name = interface.name;
    adapter.description = DescriptionOf(sysClassNet_, control, interface.name);
    // The system's adapter list reports an adapter without an address as
    // holding 0.0.0.0.
    adapter.addresses = interface.addresses.empty() ? std::vector<std::uint32_t>{0}
                                                    : std::move(interface.addresses);
    adapter.ipv6Addresses = std::move(interface.ipv6Addresses);
    result.adapters.push_back(std::move(adapter));
  }
  std::stable_sort(
      result.adapters.begin(), result.adapters.end(),
      [](const SystemAdapter& a, const SystemAdapter& b) { return a.index < b.index; });

  if (result.adapters.empty()) {
    result.status = AdapterListResult::Status::NoData;
  }
  return result;
}

}  // namespace harlune
