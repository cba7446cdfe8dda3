// Arbitrary bytes as an IPv6 packet the daemon's verdict queue handed over,
// or (after 14 Ethernet bytes) as a frame its capture read: the extension
// header chain, the packet and its key, the fragment memory, the wire length
// and the capture record must stay inside the bytes given. The first two
// bytes pick the interface's MTU and the next four the packet's whole
// length, as the kernel reports them apart from the bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_target.h"
#include "passthru/engine/adapter_state.h"
#include "passthru/engine/capture_ring.h"
#include "passthru/engine/clock.h"
#include "passthru/engine/ipv6_chain.h"
#include "passthru/real/ip6_packet.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

constexpr std::size_t kEthernetHeaderSize = 14;

void CheckChain(std::span<const std::uint8_t> ip) {
  const auto chain = harlune::WalkIpv6Chain(ip);
  Check(chain.has_value() == harlune::IsIpv6Header(ip));
  if (chain) {
    Check(chain->transportOffset <= ip.size());
    Check(chain->transportOffset == 0 || chain->transportOffset >= 40);
    Check(chain->unfragmentableBytes + 40 <= ip.size());
    Check(!chain->LaterFragment() || chain->transportOffset == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) {
    return 0;
  }
  const std::uint32_t mtu = (std::uint32_t{data[0]} << 8) | data[1];
  const std::uint32_t length = (std::uint32_t{data[2]} << 24) | (std::uint32_t{data[3]} << 16) |
                               (std::uint32_t{data[4]} << 8) | data[5];
  const std::span<const std::uint8_t> ip(data + 6, size - 6);
  CheckChain(ip);

  harlune::ManualClock clock;
  harlune::AdapterState adapter("eth0", clock);
  _TBF_SETTING_DATA record;
  record.TBFRate = 1000;
  adapter.AddClass(record);
  adapter.StartFiltering();
  harlune::FragmentPorts fragments(4);
  for (const auto direction : {harlune::Direction::Send, harlune::Direction::Receive}) {
    const auto parsed = harlune::ParseIpv6Packet(ip, direction);
    Check(parsed.has_value() == harlune::KeyOfIpv6Packet(ip, direction).has_value());
    Check(harlune::Ipv6WireLength(ip, length, mtu) >= length);
    // Twice, so that a first fragment's ports meet a later one's lookup.
    for (int i = 0; i < 2; ++i) {
      if (const auto packet = harlune::ParseIpPacket(ip, direction, fragments, 0)) {
        adapter.Offer(*packet);
        adapter.CaptureFrame(*packet, ip, harlune::Verdict::Pass);
      }
    }
    Check(fragments.Size() <= 4);
    const auto encoded = harlune::EncodeFrame6Record(ip, 7, direction, harlune::Verdict::Drop);
    Check(encoded.size() == harlune::protocol::kCapture6RecordSize);
  }
  if (ip.size() > kEthernetHeaderSize) {
    CheckChain(ip.subspan(kEthernetHeaderSize));
  }
  Check(adapter.ReadPackets6().size() % harlune::protocol::kCapture6RecordSize == 0);
  return 0;
}
