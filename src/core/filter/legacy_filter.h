#pragma once

// The older filter family, read from the older sections of the general
// settings file: it names the targets of dynamic filters and titles the
// packet monitor's per-filter lists. It is never loaded into the driver.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/string_resources.h"
#include "core/dynamic/dynamic_filter_data.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {

// The plain filter structure of the older family: one side is the source,
// the other the destination. Addresses, masks and ports are network order.
struct PlainFilter {
  std::uint16_t protocolNumber = 0;
  std::uint32_t sourceAddress = 0;
  std::uint32_t destinationAddress = 0;
  std::uint32_t sourceMask = 0;
  std::uint32_t destinationMask = 0;
  std::uint32_t sourcePortCount = 0;  // 0 = every port
  std::uint32_t destinationPortCount = 0;
  protocol::PortRanges sourcePorts{};
  protocol::PortRanges destinationPorts{};
  bool drop = false;
  bool dropSynOnly = false;
  std::int32_t bandwidth = 0;  // KB/s, 0 = not limited
  std::int32_t minimumPacketSize = 0;

  bool operator==(const PlainFilter&) const = default;
};

inline constexpr std::size_t kPlainFilterSize = 168;

// Byte offsets of the plain filter's fields (little-endian, except the
// network-order addresses, masks and ports).
namespace plain_filter_offset {
inline constexpr std::size_t kProtocol = 0;  // u16, then 2 bytes padding
inline constexpr std::size_t kSourceAddress = 4;
inline constexpr std::size_t kDestinationAddress = 8;
inline constexpr std::size_t kSourceMask = 12;
inline constexpr std::size_t kDestinationMask = 16;
inline constexpr std::size_t kSourcePortCount = 20;
inline constexpr std::size_t kDestinationPortCount = 24;
inline constexpr std::size_t kSourcePorts = 28;
inline constexpr std::size_t kDestinationPorts = 92;
inline constexpr std::size_t kDrop = 156;
inline constexpr std::size_t kDropSynOnly = 157;  // then 2 bytes padding
inline constexpr std::size_t kBandwidth = 160;
inline constexpr std::size_t kMinimumPacketSize = 164;
}  // namespace plain_filter_offset

static_assert(plain_filter_offset::kProtocol + 2 + 2 == plain_filter_offset::kSourceAddress);
static_assert(plain_filter_offset::kSourcePorts + protocol::kPortRangesSize ==
              plain_filter_offset::kDestinationPorts);
static_assert(plain_filter_offset::kDestinationPorts + protocol::kPortRangesSize ==
              plain_filter_offset::kDrop);
static_assert(plain_filter_offset::kDropSynOnly + 1 + 2 == plain_filter_offset::kBandwidth);
static_assert(plain_filter_offset::kMinimumPacketSize + 4 == kPlainFilterSize);

using PlainFilterBytes = std::array<std::uint8_t, kPlainFilterSize>;

PlainFilterBytes EncodePlainFilter(const PlainFilter& filter);

// Raised by a filter that has no plain form.
class FilterConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Filter {
 public:
  virtual ~Filter() = default;

  virtual PlainFilter ToPlainFilter() const = 0;
  virtual std::unique_ptr<Filter> Clone() const = 0;
  virtual std::string DescriptionText() const = 0;

  std::deque<std::int32_t> RateHistory;

 protected:
  // Copies are made through Clone, so a filter is never sliced.
  Filter() = default;
  Filter(const Filter&) = default;
  Filter& operator=(const Filter&) = default;
  Filter(Filter&&) = default;
  Filter& operator=(Filter&&) = default;
};

class CommonFilter : public Filter {
 public:
  // The comment is kept as in its 128-byte field: at most 127 bytes.
  static constexpr std::size_t kMaxCommentBytes = 127;

  // The comment, cut at its first NUL and to 127 bytes of the file's CP932,
  // between characters.
  void SetComment(std::string_view text);
  const std::string& Comment() const { return comment_; }

  bool Available = true;
  std::int32_t FilterId = 0;  // assigned when added to a list
  std::uint16_t Protocol = 6;
  bool Drop = false;
  bool DropSynOnly = true;  // with Drop: drop connection requests only
  bool DoBand = false;
  std::int32_t Bandwidth = 30;  // KB/s
  std::int32_t MinimumPacketSize = 100;
  std::string FilterName{strings::kNewFilter};

 private:
  std::string comment_;
};

class PacketFilter : public CommonFilter {
 public:
  static constexpr std::int32_t kDirectionUp = 0;
  static constexpr std::int32_t kDirectionDown = 1;
  static constexpr std::int32_t kDirectionOther = 2;
  static constexpr std::size_t kMaxAppPorts = 2048;

  PlainFilter ToPlainFilter() const override;
  std::unique_ptr<Filter> Clone() const override;
  // "<TCP 192.168.0.2:80 → 全てのIP:全てのポート>".
  std::string DescriptionText() const override;

  std::int32_t Direction = kDirectionUp;
  std::string AppName;
  std::int32_t AdapterIndex = -1;
  std::string AdapterName;
  // The first address of the pseudo-adapter "none", which is 0.0.0.0.
  std::uint32_t MyIp = 0;
  std::uint32_t MyIpMask = 0xFFFFFFFFu;
  std::uint32_t OtherIp = 0;
  std::uint32_t OtherIpMask = 0;  // 0 = every address
  bool IsMyIp = true;
  bool IsMyAllPort = true;
  bool IsOtherAllPort = true;
  std::vector<protocol::PortRange> MyPorts;
  std::vector<protocol::PortRange> OtherPorts;
  std::uint16_t AppPortCount = 0;
  std::array<std::uint16_t, kMaxAppPorts> AppPorts{};
};

class DynamicFilter : public CommonFilter, public DynamicFilterData {
 public:
  static constexpr std::string_view kNotConvertibleText =
      "このフィルタはNetSieveへ変換できません。";

  // Always raises FilterConversionError with kNotConvertibleText.
  PlainFilter ToPlainFilter() const override;
  std::unique_ptr<Filter> Clone() const override;
  // Always empty.
  std::string DescriptionText() const override;
};

}  // namespace harlune
