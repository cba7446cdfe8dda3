#include "protocol/ip_address.h"

#include <array>
#include <charconv>
#include <cstring>

#include <arpa/inet.h>

namespace harlune::protocol {
namespace {

constexpr std::size_t kGroups = 8;

struct ZeroRun {
  std::size_t start = kGroups;
  std::size_t length = 0;
};

// The first longest run of zero groups; runs of one group are not shortened.
ZeroRun LongestZeroRun(const std::array<std::uint16_t, kGroups>& groups) {
  ZeroRun best;
  for (std::size_t i = 0; i < kGroups;) {
    std::size_t end = i;
    while (end < kGroups && groups[end] == 0) {
      ++end;
    }
    if (end - i > best.length && end - i >= 2) {
      best = {i, end - i};
    }
    i = end == i ? i + 1 : end;
  }
  return best;
}

std::string FormatIpv6(const IpAddress::Bytes16& bytes) {
  std::array<std::uint16_t, kGroups> groups{};
  for (std::size_t i = 0; i < kGroups; ++i) {
    groups[i] = static_cast<std::uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
  }
  const ZeroRun run = LongestZeroRun(groups);
  std::string text;
  text.reserve(39);
  for (std::size_t i = 0; i < kGroups; ++i) {
    if (i == run.start) {
      text += "::";
      i += run.length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') {
      text.push_back(':');
    }
    std::array<char, 4> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), groups[i], 16);
    text.append(digits.data(), result.ptr);
  }
  return text;
}

}  // namespace

std::string FormatIpv4(std::uint32_t networkOrder) {
  std::array<std::uint8_t, 4> octets{};
  std::memcpy(octets.data(), &networkOrder, 4);
  std::string text;
  text.reserve(15);
  for (std::size_t i = 0; i < 4; ++i) {
    if (i != 0) {
      text.push_back('.');
    }
    text += std::to_string(octets[i]);
  }
  return text;
}

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
  std::array<std::uint8_t, 4> octets{};
  const char* pos = text.data();
  const char* end = text.data() + text.size();
  for (std::size_t i = 0; i < 4; ++i) {
    if (i != 0) {
      if (pos == end || *pos != '.') {
        return std::nullopt;
      }
      ++pos;
    }
    const char* digitsEnd = pos;
    while (digitsEnd != end && *digitsEnd >= '0' && *digitsEnd <= '9') {
      ++digitsEnd;
    }
    if (digitsEnd == pos || digitsEnd - pos > 3) {
      return std::nullopt;
    }
    unsigned value = 0;
    std::from_chars(pos, digitsEnd, value);
    if (value > 255) {
      return std::nullopt;
    }
    octets[i] = static_cast<std::uint8_t>(value);
    pos = digitsEnd;
  }
  if (pos != end) {
    return std::nullopt;
  }
  std::uint32_t address = 0;
  std::memcpy(&address, octets.data(), 4);
  return address;
}

std::uint32_t IpAddress::Ipv4Value() const noexcept {
  if (!IsIpv4()) {
    return 0;
  }
  std::uint32_t value = 0;
  std::memcpy(&value, bytes_.data() + 12, 4);
  return value;
}

bool IpAddress::IsUnspecified() const noexcept {
  return IsIpv4() ? Ipv4Value() == 0 : bytes_ == Bytes16{};
}

bool IpAddress::IsLoopback() const noexcept {
  constexpr Bytes16 kIpv6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return IsIpv4() ? bytes_[12] == 127 : bytes_ == kIpv6Loopback;
}

std::string IpAddress::ToText() const {
  return IsIpv4() ? FormatIpv4(Ipv4Value()) : FormatIpv6(bytes_);
}

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
  if (const std::optional<std::uint32_t> ipv4 = ParseIpv4(text)) {
    return IpAddress::FromIpv4(*ipv4);
  }
  constexpr std::size_t kLongestIpv6Text = 45;  // INET6_ADDRSTRLEN without the terminator
  if (text.size() > kLongestIpv6Text || text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string terminated(text);
  IpAddress::Bytes16 bytes{};
  if (inet_pton(AF_INET6, terminated.c_str(), bytes.data()) != 1) {
    return std::nullopt;
  }
  return IpAddress::FromIpv6(bytes);
}

}  // namespace harlune::protocol
