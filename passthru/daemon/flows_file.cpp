#include "passthru/daemon/flows_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <iterator>
#include <sstream>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

constexpr std::size_t kMaxApplicationPortsPerFlow = 2048;

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) {
      ++at;
    }
    const std::size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') {
      ++at;
    }
    if (at > start) {
      words.push_back(line.substr(start, at - start));
    }
  }
  return words;
}

template <typename T>
std::optional<T> Number(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// Dotted IPv4 text to a network-order value.
std::optional<std::uint32_t> Address(std::string_view text) {
  std::uint32_t host = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.') : text.size();
    if (dot == std::string_view::npos || dot == 0 || dot > 3) {
      return std::nullopt;
    }
    const auto value = Number<std::uint32_t>(text.substr(0, dot));
    if (!value || *value > 255) {
      return std::nullopt;
    }
    host = (host << 8) | *value;
    text = part < 3 ? text.substr(dot + 1) : std::string_view{};
  }
  return protocol::HostToNet32(host);
}

// "a.b.c.d" or "[IPv6]" (the brackets keep the address's colons apart
// from the port's).
std::optional<IpAddress> EndpointAddress(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    const std::optional<IpAddress> address = ParseIpAddress(text.substr(1, text.size() - 2));
    // A mapped IPv4 address in brackets would make an IPv4 flow look IPv6.
    return address && !address->IsIpv4() ? address : std::nullopt;
  }
  const auto ipv4 = Address(text);
  return ipv4 ? std::optional<IpAddress>(IpAddress::FromIpv4(*ipv4)) : std::nullopt;
}

bool Endpoint(std::string_view text, IpAddress& address, std::uint16_t& port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    return false;
  }
  const auto parsedAddress = EndpointAddress(text.substr(0, colon));
  const auto parsedPort = Number<std::uint16_t>(text.substr(colon + 1));
  if (!parsedAddress || !parsedPort) {
    return false;
  }
  address = *parsedAddress;
  port = *parsedPort;
  return true;
}

std::optional<std::uint32_t> Rate(std::string_view text) {
  std::uint64_t factor = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) {
    factor = 1024;
    text.remove_suffix(1);
  } else if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) {
    factor = 1024 * 1024;
    text.remove_suffix(1);
  }
  const auto value = Number<std::uint32_t>(text);
  if (!value || *value * factor > 0xFFFFFFFFu) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*value * factor);
}

std::optional<std::uint8_t> ProtocolOf(std::string_view text) {
  if (text == "tcp") {
    return kProtocolTcp;
  }
  if (text == "udp") {
    return kProtocolUdp;
  }
  if (text == "icmp") {
    return kProtocolIcmp;
  }
  return Number<std::uint8_t>(text);
}

std::optional<std::vector<std::uint16_t>> PortList(std::string_view text) {
  std::vector<std::uint16_t> ports;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::size_t length =
        comma == std::string_view::npos ? text.size() - start : comma - start;
    const auto port = Number<std::uint16_t>(text.substr(start, length));
    if (!port || ports.size() >= kMaxApplicationPortsPerFlow) {
      return std::nullopt;
    }
    ports.push_back(*port);
    if (comma == std::string_view::npos) {
      return ports;
    }
    start = comma + 1;
  }
}

bool ValidAdapterName(std::string_view name) {
  return !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && c != '\\' && c != '/' && c != '#';
  });
}

// An error text, empty when the flow line is good.
std::string ParseFlow(const std::vector<std::string_view>& words, Flow& flow) {
  if (words.size() < 7) {
    return "a flow needs adapter, direction, protocol, local, remote and rate";
  }
  if (!ValidAdapterName(words[1])) {
    return "bad adapter name";
  }
  flow.adapter = std::string(words[1]);
  if (words[2] == "send") {
    flow.direction = Direction::Send;
  } else if (words[2] == "receive") {
    flow.direction = Direction::Receive;
  } else {
    return "direction must be send or receive";
  }
  const auto protocolNumber = ProtocolOf(words[3]);
  if (!protocolNumber) {
    return "bad protocol";
  }
  flow.protocol = *protocolNumber;
  if (!Endpoint(words[4], flow.localAddress, flow.localPort) ||
      !Endpoint(words[5], flow.remoteAddress, flow.remotePort)) {
    return "endpoints are written ADDRESS:PORT";
  }
  if (flow.localAddress.IsIpv4() != flow.remoteAddress.IsIpv4()) {
    return "both endpoints must be IPv4 or both IPv6";
  }
  const auto rate = Rate(words[6]);
  if (!rate) {
    return "bad rate";
  }
  flow.rate = *rate;
  for (std::size_t i = 7; i < words.size(); ++i) {
    const std::string_view option = words[i];
    if (option.starts_with("size=")) {
      const auto size = Number<std::uint32_t>(option.substr(5));
      if (!size || *size < kMinPacketSize || *size > kMaxPacketSize) {
        return "size must be 28..65535";
      }
      if (!flow.localAddress.IsIpv4() && *size < kMinIpv6PacketSize) {
        return "an IPv6 packet is at least 48 bytes";
      }
      flow.packetSize = *size;
    } else if (option.starts_with("ports=")) {
      const auto ports = PortList(option.substr(6));
      if (!ports) {
        return "ports are a comma-separated list of port numbers";
      }
      flow.processPorts = *ports;
    } else {
      return "unknown option " + std::string(option);
    }
  }
  return {};
}

std::string FormatAddress(const IpAddress& address) {
  return address.IsIpv4() ? address.ToText() : "[" + address.ToText() + "]";
}

}  // namespace

FlowsParseResult ParseFlowsFile(std::string_view text) {
  FlowsFile file;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text = end < text.size() ? text.substr(end + 1) : std::string_view{};
    line = line.substr(0, std::min(line.find('#'), line.size()));
    const std::vector<std::string_view> words = Words(line);
    if (words.empty()) {
      continue;
    }
    const auto fail = [lineNumber](const std::string& reason) {
      return FlowsParseResult{std::nullopt, "line " + std::to_string(lineNumber) + ": " + reason};
    };
    if (words[0] == "adapter") {
      if (words.size() != 2 || !ValidAdapterName(words[1])) {
        return fail("adapter takes one name");
      }
      if (std::find(file.adapters.begin(), file.adapters.end(), words[1]) == file.adapters.end()) {
        file.adapters.emplace_back(words[1]);
      }
    } else if (words[0] == "flow") {
      if (file.flows.size() >= kMaxFlows) {
        return fail("more than " + std::to_string(kMaxFlows) + " flows");
      }
      Flow flow;
      if (const std::string error = ParseFlow(words, flow); !error.empty()) {
        return fail(error);
      }
      file.flows.push_back(std::move(flow));
    } else {
      return fail("unknown statement " + std::string(words[0]));
    }
  }
  return {std::move(file), {}};
}

std::string SerializeFlowsFile(const FlowsFile& file) {
  std::ostringstream out;
  for (const std::string& adapter : file.adapters) {
    out << "adapter " << adapter << '\n';
  }
  for (const Flow& flow : file.flows) {
    out << "flow " << flow.adapter << ' '
        << (flow.direction == Direction::Send ? "send" : "receive") << ' '
        << static_cast<unsigned>(flow.protocol) << ' ' << FormatAddress(flow.localAddress) << ':'
        << flow.localPort << ' ' << FormatAddress(flow.remoteAddress) << ':' << flow.remotePort
        << ' ' << flow.rate << " size=" << flow.packetSize;
    for (std::size_t i = 0; i < flow.processPorts.size(); ++i) {
      out << (i == 0 ? " ports=" : ",") << flow.processPorts[i];
    }
    out << '\n';
  }
  return out.str();
}

FlowsLoadResult LoadFlowsFile(const std::filesystem::path& path) {
  FlowsLoadResult result;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    result.error = "cannot read " + path.string();
    return result;
  }
  std::string text;
  text.resize(kMaxFlowsFileBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  result.status = FlowsLoadResult::Status::Damaged;
  if (text.size() > kMaxFlowsFileBytes) {
    result.error = path.string() + ": larger than " + std::to_string(kMaxFlowsFileBytes) + " bytes";
    return result;
  }
  FlowsParseResult parsed = ParseFlowsFile(text);
  if (!parsed.file) {
    result.error = path.string() + ": " + parsed.error;
    return result;
  }
  result.status = FlowsLoadResult::Status::Loaded;
  result.file = std::move(*parsed.file);
  return result;
}

namespace {

std::vector<Flow> DemoIpv6Flows(const std::string& adapter) {
  const auto address = [](std::string_view text) { return *ParseIpAddress(text); };
  const IpAddress local = address("2001:db8:0:1::2");
  Flow download{
      adapter, Direction::Receive, kProtocolTcp, local, address("2001:db8:0:443::10"), 50200,
      443,     256 * 1024,         1500,         {}};
  Flow upload{
      adapter, Direction::Send, kProtocolTcp, local,         address("2001:db8:0:80::20"), 50201,
      443,     32 * 1024,       1500,         {50201, 50202}};
  Flow stream{
      adapter, Direction::Receive, kProtocolUdp, local, address("2001:db8:0:5004::30"), 40100,
      5004,    64 * 1024,          1200,         {}};
  return {download, upload, stream};
}

}  // namespace

std::vector<Flow> DemoFlows(const std::string& adapter) {
  const auto address = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return protocol::HostToNet32((a << 24) | (b << 16) | (c << 8) | d);
  };
  const IpAddress local = IpAddress::FromIpv4(address(10, 0, 0, 2));
  const auto remote = [&address](std::uint32_t a, std::uint32_t b, std::uint32_t c,
                                 std::uint32_t d) {
    return IpAddress::FromIpv4(address(a, b, c, d));
  };
  Flow download{adapter, Direction::Receive, kProtocolTcp, local, remote(192, 0, 2, 10), 50123,
                443,     512 * 1024,         1500,         {}};
  Flow upload{
      adapter, Direction::Send, kProtocolTcp, local,         remote(198, 51, 100, 20), 50124,
      80,      64 * 1024,       1500,         {50124, 50125}};
  Flow stream{adapter, Direction::Receive, kProtocolUdp, local, remote(203, 0, 113, 30), 40000,
              5004,    128 * 1024,         1200,         {}};
  Flow ping{adapter, Direction::Send, kProtocolIcmp, local, remote(192, 0, 2, 1), 0, 0, 84, 84, {}};
  std::vector<Flow> flows{download, upload, stream, ping};
  const std::vector<Flow> ipv6 = DemoIpv6Flows(adapter);
  flows.insert(flows.end(), ipv6.begin(), ipv6.end());
  return flows;
}

}  // namespace harlune
