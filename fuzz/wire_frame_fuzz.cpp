// Arbitrary bytes as a frame the daemon captured on a real interface, or as
// the first bytes of a packet its verdict queue handed over: the packet
// read from it, its key, its length on the wire and its capture record.
// The first two bytes pick the interface's MTU and the next four the
// packet's whole length, as the kernel reports them apart from the bytes.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_target.h"
#include "passthru/engine/adapter_state.h"
#include "passthru/engine/capture_ring.h"
#include "passthru/engine/clock.h"
#include "passthru/real/ip_packet.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

constexpr std::size_t kEthernetHeaderSize = 14;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) {
    return 0;
  }
  const std::uint32_t mtu = (std::uint32_t{data[0]} << 8) | data[1];
  const std::uint32_t length = (std::uint32_t{data[2]} << 24) | (std::uint32_t{data[3]} << 16) |
                               (std::uint32_t{data[4]} << 8) | data[5];
  const std::span<const std::uint8_t> frame(data + 6, size - 6);

  harlune::ManualClock clock;
  harlune::AdapterState adapter("eth0", clock);
  _TBF_SETTING_DATA record;
  record.TBFRate = 1000;
  adapter.AddClass(record);
  adapter.StartFiltering();
  for (const auto direction : {harlune::Direction::Send, harlune::Direction::Receive}) {
    // The same bytes as a queued packet (IPv4 first) and as a frame.
    const auto packet = harlune::ParseIpv4Packet(frame, direction);
    Check(packet.has_value() == harlune::KeyOfIpv4Packet(frame, direction).has_value());
    Check(harlune::WireLength(frame, length, mtu) >= length);
    if (packet) {
      adapter.Offer(*packet);
      adapter.CountCrossed(*packet);
    }
    const auto ip = frame.size() > kEthernetHeaderSize ? frame.subspan(kEthernetHeaderSize)
                                                       : std::span<const std::uint8_t>{};
    if (const auto inFrame = harlune::ParseIpv4Packet(ip, direction)) {
      adapter.CaptureFrame(*inFrame, frame, harlune::Verdict::Pass);
    }
    const auto encoded = harlune::EncodeFrameRecord(frame, 7, direction, harlune::Verdict::Drop);
    Check(encoded.size() == harlune::protocol::kCaptureRecordSize);
  }
  Check(adapter.ReadPackets().size() % harlune::protocol::kCaptureRecordSize == 0);
  return 0;
}
