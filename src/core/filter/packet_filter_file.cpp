#include "core/filter/packet_filter_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <system_error>
#include <utility>

#include "core/base/flag_text.h"
#include "core/base/xml_text.h"
#include "core/filter/port_range.h"
#include "protocol/ip_address.h"

namespace harlune {

namespace {

constexpr std::string_view kRootElement = "Root";
constexpr std::string_view kFilterElement = "PacketFilter";
constexpr std::string_view kSend = "Send";
constexpr std::string_view kReceive = "Receive";
constexpr std::uint32_t kUnreadableAddress = 0xFFFFFFFFu;  // 255.255.255.255

constexpr std::array<std::pair<protocol::AddressFamilies, std::string_view>, 3> kFamilyTexts = {{
    {protocol::AddressFamilies::kBoth, "Both"},
    {protocol::AddressFamilies::kIpv4, "IPv4"},
    {protocol::AddressFamilies::kIpv6, "IPv6"},
}};

std::string ModeText(std::uint32_t mode) {
  if (mode == 0) {
    return std::string(kSend);
  }
  return mode == 1 ? std::string(kReceive) : std::string();
}

std::uint32_t ReadAddress(std::string_view text) {
  return ParseIpv4(text).value_or(kUnreadableAddress);
}

// Up to 16 non-empty pieces between commas, each one range.
void ReadPortList(std::string_view text, std::uint32_t& count, protocol::PortRanges& ranges) {
  count = 0;
  ranges = {};
  std::size_t pos = 0;
  while (pos <= text.size() && count < protocol::kMaxPortRanges) {
    const std::size_t comma = std::min(text.find(',', pos), text.size());
    const std::string_view piece = text.substr(pos, comma - pos);
    if (!piece.empty()) {
      ranges[count++] = ParsePortRange(piece);
    }
    pos = comma + 1;
  }
}

std::optional<protocol::AddressFamilies> ReadFamily(std::string_view text) {
  for (const auto& [family, name] : kFamilyTexts) {
    if (text == name) {
      return family;
    }
  }
  return std::nullopt;
}

std::string_view FamilyText(protocol::AddressFamilies families) {
  for (const auto& [family, name] : kFamilyTexts) {
    if (family == families) {
      return name;
    }
  }
  return {};
}

// The elements a filter that says nothing about IPv6 does not have, so
// that its file stays as the Windows build writes it.
void WriteIpv6Fields(XmlWriter& xml, const PacketFilterSetting& filter) {
  if (filter.AddressFamily) {
    xml.TextElement("AddressFamily", FamilyText(*filter.AddressFamily));
  }
  if (filter.LocalIpv6.length > 0) {
    xml.TextElement("LocalIPv6Addr", IpAddress::FromIpv6(filter.LocalIpv6.address).ToText());
    xml.TextElement("LocalIPv6PrefixLength", std::to_string(filter.LocalIpv6.length));
  }
  if (filter.RemoteIpv6.length > 0) {
    xml.TextElement("RemoteIPv6Addr", IpAddress::FromIpv6(filter.RemoteIpv6.address).ToText());
    xml.TextElement("RemoteIPv6PrefixLength", std::to_string(filter.RemoteIpv6.length));
  }
}

// One side's IPv6 elements as read; the side is set only when both are
// there and valid, since either alone says nothing a filter could use.
struct Ipv6SideText {
  std::optional<std::string> address;
  std::optional<std::string> length;
};

struct Ipv6FieldTexts {
  Ipv6SideText local;
  Ipv6SideText remote;
};

std::optional<std::uint8_t> ReadPrefixLength(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 ||
      value > protocol::kMaxIpv6PrefixLength) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

protocol::Ipv6Prefix ReadIpv6Side(const Ipv6SideText& side) {
  if (!side.address || !side.length) {
    return {};
  }
  const std::optional<IpAddress> address = ParseIpAddress(*side.address);
  const std::optional<std::uint8_t> length = ReadPrefixLength(*side.length);
  if (!address || address->IsIpv4() || !length) {
    return {};
  }
  return {address->Ipv6Bytes(), *length};
}

// Takes an IPv6 element's text; false for any other element.
bool TakeIpv6Field(const std::string& name, std::string& text, Ipv6FieldTexts& texts,
                   PacketFilterSetting& filter) {
  if (name == "AddressFamily") {
    filter.AddressFamily = ReadFamily(text);
  } else if (name == "LocalIPv6Addr") {
    texts.local.address = std::move(text);
  } else if (name == "LocalIPv6PrefixLength") {
    texts.local.length = std::move(text);
  } else if (name == "RemoteIPv6Addr") {
    texts.remote.address = std::move(text);
  } else if (name == "RemoteIPv6PrefixLength") {
    texts.remote.length = std::move(text);
  } else {
    return false;
  }
  return true;
}

// The record as one "PacketFilter" element, its fields in the file's order.
void WriteFilterElement(XmlWriter& xml, const PacketFilterSetting& filter) {
  xml.Open(kFilterElement);
  xml.TextElement("Name", filter.Name);
  xml.TextElement("Comment", filter.Comment);
  xml.TextElement("AppName", filter.AppName);
  xml.TextElement("LowerAdapterName", filter.LowerAdapterName);
  // "%u", as the Windows build writes it: -1 is 4294967295.
  xml.TextElement("ID", std::to_string(static_cast<std::uint32_t>(filter.ID)));
  xml.TextElement("Available", FlagText(filter.Available));
  xml.TextElement("Protocol", std::to_string(filter.Protocol));
  xml.TextElement("LocalIPAddr", FormatIpv4(filter.LocalIPAddr));
  xml.TextElement("RemoteIPAddr", FormatIpv4(filter.RemoteIPAddr));
  xml.TextElement("LocalIPAddrMask", FormatIpv4(filter.LocalIPAddrMask));
  xml.TextElement("RemoteIPAddrMask", FormatIpv4(filter.RemoteIPAddrMask));
  xml.TextElement("LocalPort", PortListText(filter.LocalPortCount, filter.LocalPorts));
  xml.TextElement("RemotePort", PortListText(filter.RemotePortCount, filter.RemotePorts));
  xml.TextElement("TBFMode", ModeText(filter.TBFMode));
  xml.TextElement("TBFMaxQueueSize", std::to_string(filter.TBFMaxQueueSize));
  xml.TextElement("TBFMaxTokenSize", std::to_string(filter.TBFMaxTokenSize));
  xml.TextElement("TBFMPU", std::to_string(filter.TBFMPU));
  xml.TextElement("TBFRate", std::to_string(filter.TBFRate));
  xml.TextElement("TBFPeakRate", std::to_string(filter.TBFPeakRate));
  xml.TextElement("TBFMTU", std::to_string(filter.TBFMTU));
  xml.TextElement("TBFThrough", FlagText(filter.TBFThrough));
  WriteIpv6Fields(xml, filter);
  xml.Close();
}

// Sets the fields named by the element's children; others keep their value.
void ReadFilterElement(const XmlElement& element, PacketFilterSetting& filter) {
  Ipv6FieldTexts ipv6;
  for (const XmlElement& field : element.children) {
    const std::string& name = field.name;
    std::string text = field.Text();
    if (TakeIpv6Field(name, text, ipv6, filter)) {
      continue;
    }
    if (name == "Name") {
      filter.Name = std::move(text);
    } else if (name == "Comment") {
      filter.Comment = std::move(text);
    } else if (name == "AppName") {
      filter.AppName = std::move(text);
    } else if (name == "LowerAdapterName") {
      filter.LowerAdapterName = std::move(text);
    } else if (name == "ID") {
      filter.ID = ReadXmlInt32(text);
    } else if (name == "Available") {
      filter.Available = IsTrueText(text) ? 1 : 0;
    } else if (name == "Protocol") {
      filter.Protocol = static_cast<std::uint16_t>(ReadXmlInt32(text));
    } else if (name == "LocalIPAddr") {
      filter.LocalIPAddr = ReadAddress(text);
    } else if (name == "RemoteIPAddr") {
      filter.RemoteIPAddr = ReadAddress(text);
    } else if (name == "LocalIPAddrMask") {
      filter.LocalIPAddrMask = ReadAddress(text);
    } else if (name == "RemoteIPAddrMask") {
      filter.RemoteIPAddrMask = ReadAddress(text);
    } else if (name == "LocalPort") {
      ReadPortList(text, filter.LocalPortCount, filter.LocalPorts);
    } else if (name == "RemotePort") {
      ReadPortList(text, filter.RemotePortCount, filter.RemotePorts);
    } else if (name == "TBFMode") {
      filter.TBFMode = text == kSend ? 0 : 1;
    } else if (name == "TBFMaxQueueSize") {
      filter.TBFMaxQueueSize = ReadXmlUint32(text);
    } else if (name == "TBFMaxTokenSize") {
      filter.TBFMaxTokenSize = ReadXmlUint32(text);
    } else if (name == "TBFMPU") {
      filter.TBFMPU = ReadXmlUint32(text);
    } else if (name == "TBFRate") {
      filter.TBFRate = ReadXmlUint32(text);
    } else if (name == "TBFPeakRate") {
      filter.TBFPeakRate = ReadXmlUint32(text);
    } else if (name == "TBFMTU") {
      filter.TBFMTU = ReadXmlUint32(text);
    } else if (name == "TBFThrough") {
      filter.TBFThrough = IsTrueText(text) ? 1 : 0;
    }
  }
  filter.LocalIpv6 = ReadIpv6Side(ipv6.local);
  filter.RemoteIpv6 = ReadIpv6Side(ipv6.remote);
  // Taken from the AppName that won, so that a later empty AppName does not
  // leave the record claiming a process.
  filter.HasApplication = filter.DerivedHasApplication();
}

}  // namespace

PacketFilterParseResult ParsePacketFilters(std::string_view bytes) {
  XmlParseResult parsed = ParseXmlDocument(bytes);
  if (!parsed.document) {
    return {std::nullopt, std::move(parsed.error)};
  }
  std::vector<PacketFilterSetting> filters;
  filters.reserve(parsed.document->children.size());
  for (const XmlElement& element : parsed.document->children) {
    ReadFilterElement(element, filters.emplace_back());
  }
  return {std::move(filters), {}};
}

std::optional<std::string> ReadPacketFilters(std::string_view bytes, PacketFilterManager& manager) {
  PacketFilterParseResult parsed = ParsePacketFilters(bytes);
  if (!parsed.filters) {
    return std::move(parsed.error);
  }
  for (const PacketFilterSetting& filter : *parsed.filters) {
    manager.Add(filter);
  }
  return std::nullopt;
}

std::string SerializePacketFilters(const PacketFilterManager& manager) {
  XmlWriter xml;
  xml.Open(kRootElement);
  for (std::size_t i = 0; i < manager.Size(); ++i) {
    WriteFilterElement(xml, manager.At(i));
  }
  xml.Close();
  return xml.Finish();
}

SettingsLoadResult LoadPacketFilterFile(const std::filesystem::path& path,
                                        PacketFilterManager& manager, const LocalClock& now) {
  return LoadSettingsFile(
      path, [&manager](std::string_view bytes) { return ReadPacketFilters(bytes, manager); }, now);
}

SafeWriteResult SavePacketFilterFile(const std::filesystem::path& path,
                                     const PacketFilterManager& manager) {
  return WriteSettingsFile(path, SerializePacketFilters(manager));
}

}  // namespace harlune
