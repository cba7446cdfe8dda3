#include "platform/linux/getnameinfo_lookup.h"

#include <limits.h>
#include <netdb.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>

namespace harlune {

namespace {

// The socket address of an address, as its own family's.
sockaddr_storage SocketAddressOf(const IpAddress& address, socklen_t& length) {
  sockaddr_storage storage{};
  if (address.IsIpv4()) {
    sockaddr_in inet{};
    inet.sin_family = AF_INET;
    inet.sin_addr.s_addr = address.Ipv4Value();
    std::memcpy(&storage, &inet, sizeof inet);
    length = sizeof inet;
  } else {
    sockaddr_in6 inet6{};
    inet6.sin6_family = AF_INET6;
    std::memcpy(inet6.sin6_addr.s6_addr, address.Ipv6Bytes().data(), address.Ipv6Bytes().size());
    std::memcpy(&storage, &inet6, sizeof inet6);
    length = sizeof inet6;
  }
  return storage;
}

}  // namespace

std::optional<ReverseLookupAnswer> GetnameinfoLookup::ReverseLookup(const IpAddress& address) {
  socklen_t length = 0;
  const sockaddr_storage socketAddress = SocketAddressOf(address, length);
  std::array<char, NI_MAXHOST> host{};
  const int result =
      getnameinfo(reinterpret_cast<const sockaddr*>(&socketAddress), length, host.data(),
                  static_cast<socklen_t>(host.size()), nullptr, 0, NI_NAMEREQD);
  if (result != 0 || host[0] == '\0') {
    return std::nullopt;
  }
  ReverseLookupAnswer answer;
  answer.officialName.assign(host.data(), strnlen(host.data(), host.size()));
  return answer;
}

std::optional<std::string> GetnameinfoLookup::LocalHostName() {
  std::array<char, HOST_NAME_MAX + 1> name{};
  if (gethostname(name.data(), name.size()) != 0) {
    return std::nullopt;
  }
  // POSIX leaves a truncated name without its end; such a name is no name.
  const std::size_t length = strnlen(name.data(), name.size());
  if (length == 0 || length == name.size()) {
    return std::nullopt;
  }
  return std::string(name.data(), length);
}

std::optional<std::uint32_t> GetnameinfoLookup::FirstAddressOf(const std::string& hostName) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(hostName.c_str(), nullptr, &hints, &list) != 0) {
    return std::nullopt;
  }
  std::optional<std::uint32_t> first;
  for (const addrinfo* item = list; item != nullptr; item = item->ai_next) {
    if (item->ai_family == AF_INET && item->ai_addr != nullptr &&
        item->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in inet{};
      std::memcpy(&inet, item->ai_addr, sizeof inet);
      first = inet.sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(list);
  return first;
}

}  // namespace harlune
