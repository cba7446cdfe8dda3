#include "platform/linux/getnameinfo_lookup.h"

#include <limits.h>
#include <netdb.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>

namespace harlune {

std::optional<ReverseLookupAnswer> GetnameinfoLookup::ReverseLookup(std::uint32_t addressNet) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = addressNet;
  std::array<char, NI_MAXHOST> host{};
  const int result =
      getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host.data(),
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
