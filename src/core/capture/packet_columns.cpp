#include "core/capture/packet_columns.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "protocol/ip_address.h"

namespace harlune {
namespace {

constexpr std::array<PacketColumnInfo, kTcpViewColumnCount> kColumns{{
    {"No.", false},
    {"取得時間", true},
    {"送信元MACアドレス", false},
    {"送信先MACアドレス", false},
    {"プロトコル", false},
    {"パケット長", true},
    {"IP識別子", true},
    {"TTL", true},
    {"送信元IPアドレス", false},
    {"送信先IPアドレス", false},
    {"送信元ポート番号", true},
    {"送信先ポート番号", true},
    {"シーケンス番号", true},
    {"応答番号", true},
    {"TCPフラグ", false},
    {"ウィンドウサイズ", true},
}};

struct FlagName {
  std::uint8_t bit;
  std::string_view name;
};

constexpr std::array<FlagName, 6> kTcpFlagNames{{
    {0x20, "URG"},
    {0x10, "ACK"},
    {0x08, "PSH"},
    {0x04, "RST"},
    {0x02, "SYN"},
    {0x01, "FIN"},
}};

std::string MacText(const MacAddress& mac) {
  std::array<char, 13> text{};
  std::snprintf(text.data(), text.size(), "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2],
                mac[3], mac[4], mac[5]);
  return text.data();
}

// "%H:%M:%S" of the local time; empty for a time the system cannot convert.
std::string LocalTimeText(std::int64_t seconds) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&time, &local) == nullptr) {
    return {};
  }
  std::array<char, 16> text{};
  const std::size_t length = std::strftime(text.data(), text.size(), "%H:%M:%S", &local);
  return std::string(text.data(), length);
}

std::string ProtocolCell(PacketView view, const PacketInfo& packet) {
  if (view == PacketView::kUdp) {
    return "UDP";
  }
  return std::string(IpProtocolName(packet.ProtocolNumber(), packet.IsIpv6()));
}

// The columns that need a TCP or UDP packet in the TCP view.
std::string TransportCell(PacketColumn column, const PacketInfo& packet) {
  switch (column) {
    case PacketColumn::kSourcePort:
      return std::to_string(packet.SourcePort());
    case PacketColumn::kDestinationPort:
      return std::to_string(packet.DestinationPort());
    case PacketColumn::kSequenceNumber:
      return std::to_string(packet.SequenceNumber());
    case PacketColumn::kAcknowledgementNumber:
      return std::to_string(packet.AcknowledgementNumber());
    case PacketColumn::kTcpFlags:
      return TcpFlagText(packet.TcpFlags());
    case PacketColumn::kWindow:
      return std::to_string(packet.Window());
    default:
      return {};
  }
}

bool TransportCellApplies(PacketView view, PacketColumn column, const PacketInfo& packet) {
  const bool portColumn =
      column == PacketColumn::kSourcePort || column == PacketColumn::kDestinationPort;
  if (view == PacketView::kUdp) {
    return portColumn;
  }
  return portColumn ? packet.HasPorts()
                    : packet.ProtocolNumber() == kIpProtocolTcp && packet.HasTransportHeader();
}

}  // namespace

std::size_t PacketColumnCount(PacketView view) {
  return view == PacketView::kTcp ? kTcpViewColumnCount : kUdpViewColumnCount;
}

PacketColumnInfo PacketColumnOf(PacketView view, std::size_t column) {
  if (column >= PacketColumnCount(view)) {
    return {};
  }
  return kColumns[column];
}

std::string_view IpProtocolName(std::uint8_t protocolNumber, bool ipv6) {
  if (ipv6 && protocolNumber == kIpProtocolIcmpv6) {
    return "ICMPv6";
  }
  switch (protocolNumber) {
    case kIpProtocolIcmp:
      return "ICMP";
    case kIpProtocolTcp:
      return "TCP";
    case kIpProtocolUdp:
      return "UDP";
    default:
      return "その他";
  }
}

std::string TcpFlagText(std::uint8_t flags) {
  std::string text;
  for (const FlagName& flag : kTcpFlagNames) {
    if ((flags & flag.bit) != 0) {
      if (!text.empty()) {
        text += ',';
      }
      text += flag.name;
    }
  }
  return text;
}

std::string PacketCellText(PacketView view, std::size_t column, const PacketEntry& entry) {
  if (column >= PacketColumnCount(view) || entry.Packet == nullptr) {
    return {};
  }
  const PacketInfo& packet = *entry.Packet;
  switch (const auto kind = static_cast<PacketColumn>(column)) {
    case PacketColumn::kSerial:
      return std::to_string(entry.Serial);
    case PacketColumn::kCaptureTime:
      return LocalTimeText(packet.CaptureTime);
    case PacketColumn::kSourceMac:
      return MacText(packet.SourceMac());
    case PacketColumn::kDestinationMac:
      return MacText(packet.DestinationMac());
    case PacketColumn::kProtocol:
      return ProtocolCell(view, packet);
    case PacketColumn::kPacketLength:
      return std::to_string(packet.PacketLength());
    case PacketColumn::kIdentification:
      return std::to_string(packet.IsIpv6() ? packet.FlowLabel() : packet.Identification());
    case PacketColumn::kTtl:
      return std::to_string(packet.Ttl());
    case PacketColumn::kSourceAddress:
      return packet.SourceAddress().ToText();
    case PacketColumn::kDestinationAddress:
      return packet.DestinationAddress().ToText();
    default:
      return TransportCellApplies(view, kind, packet) ? TransportCell(kind, packet) : std::string();
  }
}

std::vector<std::string> PacketRowTexts(PacketView view, const PacketEntry& entry) {
  std::vector<std::string> texts;
  const std::size_t count = PacketColumnCount(view);
  texts.reserve(count);
  for (std::size_t column = 0; column < count; ++column) {
    texts.push_back(PacketCellText(view, column, entry));
  }
  return texts;
}

}  // namespace harlune
