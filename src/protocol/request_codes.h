#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace harlune::protocol {

// Device-control codes of the packet driver, as sent.
enum class RequestCode : std::uint32_t {
  HlBindAdapter = 0x0012C808,
  HlGetVersion = 0x001260EC,
  HlInitialize = 0x432320C4,
  HlUninitialize = 0x432320C8,
  HlReleaseAdapter = 0x001220D0,
  HlAddTBFClass = 0x432320CC,
  HlModifyTBFClass = 0x4323A0F8,
  HlDeleteTBFClass = 0x4323A108,
  HlUpTBFClass = 0x4323A100,
  HlDownTBFClass = 0x4323A104,
  HlSetTBFClassRate = 0x4323A0FC,
  HlSetApplicationPorts = 0x4323A0DC,
  HlResetTraffic = 0x432320D8,
  HlStartFiltering = 0x432320E4,
  HlStopFiltering = 0x432320E8,
  HlGetTBFClassStatistics = 0x432320F4,
  HlGetTotalStatistics = 0x4323610C,
  HlReadPackets = 0x432360D4,
  // Not a request of the Windows driver: on Linux an application without
  // CAP_NET_ADMIN has the driver end a TCP connection for it.
  HlResetTcpConnection = 0x4323A110,
  // The same for an IPv6 connection (an IPv4-mapped one goes by the IPv4
  // request). A driver that knows only IPv4 answers it as an unknown code.
  HlResetTcp6Connection = 0x4323A114,
  // The address families and IPv6 addresses of a class (class_family.h),
  // sent right after HlAddTBFClass and HlModifyTBFClass when the record
  // alone does not say them.
  HlSetTBFClassFamily = 0x4323A118,
  // The captured IPv6 packets, 84-byte records (capture6_record.h).
  HlReadPackets6 = 0x4323611C,
  // One statistics tick's reads of an adapter in one request: its totals,
  // its waiting capture records and the statistics of the classes named
  // (statistics_batch.h).
  HlGetStatisticsBatch = 0x43236120,
  // The rates of many classes of an adapter in one request.
  HlSetTBFClassRates = 0x4323A124,
};

// How the length of a request's input is fixed.
enum class InputShape : std::uint8_t {
  Fixed,             // exactly RequestLayout::inputSize bytes
  AdapterPath,       // UTF-16 text: even, non-zero, at most kMaxDevicePathUnits units
  ApplicationPorts,  // 8 + 2 x count bytes, count in the header, 0..kMaxApplicationPorts
  TcpFourTuple,      // exactly 16 bytes naming an IPv4 TCP connection (tcp_four_tuple.h)
  Tcp6FourTuple,     // exactly 40 bytes naming an IPv6 TCP connection (tcp_four_tuple.h)
  ClassFamily,       // exactly 40 bytes of a valid class family (class_family.h)
  // The batches (statistics_batch.h): a count and that many entries; the
  // output capacity is the exact reply size for the count, not outputSize.
  StatisticsBatch,  // 4 + 4 x count bytes, count 0..kMaxBatchClasses
  ClassRates,       // 4 + 8 x count bytes, count 1..kMaxBatchClasses
};

struct RequestLayout {
  RequestCode code;
  std::string_view name;
  InputShape inputShape;
  std::size_t inputSize;   // for InputShape::Fixed
  std::size_t outputSize;  // the exact output capacity the caller passes (0 for the batches)
};

inline constexpr std::uint32_t kDriverVersion = 20006;
inline constexpr std::size_t kMaxDevicePathUnits = 259;  // 260 with the terminator
inline constexpr std::size_t kMaxApplicationPorts = 2048;
inline constexpr std::size_t kReadPacketsBufferSize = 6000;

// Bind status words.
inline constexpr std::uint32_t kBindStatusBound = 0;
inline constexpr std::uint32_t kBindStatusNoSuchAdapter = 2;

// The layout of a code, or nothing for a code the driver does not know.
std::optional<RequestLayout> FindRequestLayout(std::uint32_t code);
const RequestLayout& LayoutOf(RequestCode code);

// The name of a request ("HlGetVersion"), as failure messages show it.
std::string_view RequestName(RequestCode code);

// Whether sending the request a second time changes nothing the driver
// holds beyond what the first one did: reads, and requests that set a value
// outright. Only these may be sent again when a reply was lost; sending an
// add, a move or a session step twice would leave the driver with an orphan
// class or another order than the application's list.
bool RequestRepeatable(std::uint32_t code);

// Whether the sizes of a request fit its layout. The input is needed for the
// application ports request, whose length depends on the count it carries,
// and for the connection reset, whose four-tuple must name a connection.
bool RequestSizesValid(const RequestLayout& layout, std::span<const std::uint8_t> input,
                       std::size_t outputCapacity);

}  // namespace harlune::protocol
