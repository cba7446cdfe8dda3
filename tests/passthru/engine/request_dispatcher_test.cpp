#include "passthru/engine/request_dispatcher.h"

#include <array>
#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"
#include "protocol/capture6_record.h"
#include "protocol/class_family.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"
#include "protocol/tbf_setting_data.h"
#include "protocol/tcp_four_tuple.h"
#include "protocol/utf16.h"

namespace harlune {
namespace {

using protocol::RequestCode;
namespace device_error = protocol::device_error;

constexpr std::array kAllCodes{
    RequestCode::HlBindAdapter,        RequestCode::HlGetVersion,
    RequestCode::HlInitialize,         RequestCode::HlUninitialize,
    RequestCode::HlReleaseAdapter,     RequestCode::HlAddTBFClass,
    RequestCode::HlModifyTBFClass,     RequestCode::HlDeleteTBFClass,
    RequestCode::HlUpTBFClass,         RequestCode::HlDownTBFClass,
    RequestCode::HlSetTBFClassRate,    RequestCode::HlSetApplicationPorts,
    RequestCode::HlResetTraffic,       RequestCode::HlStartFiltering,
    RequestCode::HlStopFiltering,      RequestCode::HlGetTBFClassStatistics,
    RequestCode::HlGetTotalStatistics, RequestCode::HlReadPackets,
    RequestCode::HlResetTcpConnection, RequestCode::HlResetTcp6Connection,
    RequestCode::HlSetTBFClassFamily,  RequestCode::HlReadPackets6,
    RequestCode::HlGetStatisticsBatch, RequestCode::HlSetTBFClassRates,
};

// 10.0.0.2:50000 -> 198.51.100.7:80.
const protocol::TcpFourTuple kConnection{Ipv4Address(10, 0, 0, 2), protocol::HostToNet16(50000),
                                         Ipv4Address(198, 51, 100, 7), protocol::HostToNet16(80)};
// [2001:2::10]:50000 -> [2001:2:0:1::7]:443.
const protocol::TcpFourTuple kIpv6Connection{
    *ParseIpAddress("2001:2::10"), protocol::HostToNet16(50000), *ParseIpAddress("2001:2:0:1::7"),
    protocol::HostToNet16(443)};

std::vector<std::uint8_t> Ipv6TupleBytes(const protocol::TcpFourTuple& tuple) {
  const auto bytes = protocol::EncodeTcp6FourTuple(tuple);
  return {bytes.begin(), bytes.end()};
}

std::uint16_t Be16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

struct Reply {
  std::uint32_t error = 0;
  std::vector<std::uint8_t> output;
};

std::vector<std::uint8_t> PathBytes(std::u16string_view path) {
  return protocol::EncodeUtf16Le(path);
}

// An input of the right size for `code`, naming class `id` where one is named.
std::vector<std::uint8_t> ValidInput(RequestCode code, std::uint32_t id) {
  switch (code) {
    case RequestCode::HlBindAdapter:
      return PathBytes(u"\\DEVICE\\eth0");
    case RequestCode::HlAddTBFClass:
    case RequestCode::HlModifyTBFClass: {
      _TBF_SETTING_DATA record = testing::AnyTcpSend(1000);
      record.DriverClassId = id;
      const auto bytes = protocol::EncodeTbfSettingData(record);
      return {bytes.begin(), bytes.end()};
    }
    case RequestCode::HlSetTBFClassRate: {
      std::vector<std::uint8_t> input(8);
      protocol::StoreLe32(input, 0, id);
      protocol::StoreLe32(input, 4, 5000);
      return input;
    }
    case RequestCode::HlSetApplicationPorts:
      return *protocol::EncodeApplicationPorts({id, {80, 443}});
    case RequestCode::HlResetTcpConnection: {
      const auto bytes = protocol::EncodeTcpFourTuple(kConnection);
      return {bytes.begin(), bytes.end()};
    }
    case RequestCode::HlResetTcp6Connection:
      return Ipv6TupleBytes(kIpv6Connection);
    case RequestCode::HlSetTBFClassFamily: {
      const auto bytes =
          protocol::EncodeClassFamily({id, protocol::AddressFamilies::kIpv6, {}, {}});
      return {bytes.begin(), bytes.end()};
    }
    case RequestCode::HlGetStatisticsBatch:
      return *protocol::EncodeStatisticsBatchRequest(std::vector{id});
    case RequestCode::HlSetTBFClassRates:
      return *protocol::EncodeClassRatesRequest(std::vector<protocol::ClassRate>{{id, 5000}});
    default: {
      const std::size_t size = protocol::LayoutOf(code).inputSize;
      std::vector<std::uint8_t> input(size);
      if (size == 4) {
        protocol::StoreLe32(input, 0, id);
      }
      return input;
    }
  }
}

// The exact output capacity; a batch's follows the count of its input.
std::uint32_t Capacity(RequestCode code, std::span<const std::uint8_t> input = {}) {
  std::size_t capacity = protocol::LayoutOf(code).outputSize;
  if (code == RequestCode::HlGetStatisticsBatch) {
    capacity = protocol::StatisticsBatchReplySize(protocol::DecodeStatisticsBatchRequest(input)
                                                      .value_or(std::vector<std::uint32_t>{})
                                                      .size());
  } else if (code == RequestCode::HlSetTBFClassRates) {
    capacity = protocol::ClassRatesReplySize(protocol::DecodeClassRatesRequest(input)
                                                 .value_or(std::vector<protocol::ClassRate>{})
                                                 .size());
  }
  return static_cast<std::uint32_t>(capacity);
}

class RequestDispatcherTest : public ::testing::Test {
 protected:
  RequestDispatcherTest() { engine_.AddAdapter("eth0"); }

  Reply Send(std::uint32_t code, std::span<const std::uint8_t> input, std::uint32_t capacity,
             ConnectionState* connection = nullptr) {
    ConnectionState& state = connection == nullptr ? connection_ : *connection;
    const protocol::RequestHeader header{code, static_cast<std::uint32_t>(input.size()), capacity};
    const auto frame = dispatcher_.Dispatch(state, header, input);
    EXPECT_GE(frame.size(), protocol::kReplyHeaderSize);
    const auto replyHeader =
        protocol::DecodeReplyHeader(std::span<const std::uint8_t, protocol::kReplyHeaderSize>(
            frame.data(), protocol::kReplyHeaderSize));
    EXPECT_EQ(replyHeader.bytesReturned, frame.size() - protocol::kReplyHeaderSize);
    EXPECT_LE(replyHeader.bytesReturned, capacity);
    if (replyHeader.error != 0) {
      EXPECT_EQ(replyHeader.bytesReturned, 0u);
    }
    return {replyHeader.error, {frame.begin() + protocol::kReplyHeaderSize, frame.end()}};
  }

  Reply Send(RequestCode code, std::span<const std::uint8_t> input,
             ConnectionState* connection = nullptr) {
    return Send(static_cast<std::uint32_t>(code), input, Capacity(code, input), connection);
  }

  std::uint32_t BindStatus(std::u16string_view path, ConnectionState* connection = nullptr) {
    const Reply reply = Send(RequestCode::HlBindAdapter, PathBytes(path), connection);
    EXPECT_EQ(reply.error, 0u);
    return reply.output.size() == 4 ? protocol::LoadLe32(reply.output, 0) : 0xFFFFFFFF;
  }

  // The bound adapter's statistics batch for these ids, decoded (empty when
  // it failed or was of the wrong length).
  protocol::StatisticsBatch Batch(const std::vector<std::uint32_t>& ids) {
    const Reply reply =
        Send(RequestCode::HlGetStatisticsBatch, *protocol::EncodeStatisticsBatchRequest(ids));
    EXPECT_EQ(reply.error, 0u);
    const auto batch = protocol::DecodeStatisticsBatchReply(reply.output, ids.size());
    EXPECT_TRUE(batch);
    return batch.value_or(protocol::StatisticsBatch{});
  }

  std::uint32_t AddClass(const _TBF_SETTING_DATA& record) {
    const auto bytes = protocol::EncodeTbfSettingData(record);
    const Reply reply = Send(RequestCode::HlAddTBFClass, bytes);
    EXPECT_EQ(reply.error, 0u);
    return reply.output.size() == 4 ? protocol::LoadLe32(reply.output, 0) : 0;
  }

  ManualClock clock_;
  PacketEngine engine_{clock_};
  // What the dispatcher asked to end, and the errno it is answered with.
  std::vector<protocol::TcpFourTuple> destroyed_;
  int destroyError_ = 0;
  RequestDispatcher dispatcher_{engine_, [this](const protocol::TcpFourTuple& tuple) {
                                  destroyed_.push_back(tuple);
                                  return destroyError_;
                                }};
  ConnectionState connection_;
};

TEST_F(RequestDispatcherTest, UnknownCodesFailWithInvalidFunction) {
  EXPECT_EQ(Send(0x12345678u, {}, 0).error, device_error::kInvalidFunction);
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  EXPECT_EQ(Send(0u, {}, 0).error, device_error::kInvalidFunction);
}

TEST_F(RequestDispatcherTest, EveryRequestButABindFailsBeforeBinding) {
  for (const RequestCode code : kAllCodes) {
    if (code == RequestCode::HlBindAdapter) {
      continue;
    }
    EXPECT_EQ(Send(code, ValidInput(code, 1)).error, device_error::kNotReady)
        << protocol::RequestName(code);
  }
}

TEST_F(RequestDispatcherTest, EveryWrongSizeFailsWithInvalidParameter) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const std::uint32_t id = AddClass(testing::AnyTcpSend(1000));
  for (const RequestCode code : kAllCodes) {
    const auto code32 = static_cast<std::uint32_t>(code);
    std::vector<std::uint8_t> input = ValidInput(code, id);
    const std::uint32_t capacity = Capacity(code, input);
    SCOPED_TRACE(protocol::RequestName(code));
    EXPECT_EQ(Send(code32, input, capacity + 1).error, device_error::kInvalidParameter);
    if (capacity > 0) {
      EXPECT_EQ(Send(code32, input, capacity - 1).error, device_error::kInvalidParameter);
    }
    input.push_back(0);
    EXPECT_EQ(Send(code32, input, capacity).error, device_error::kInvalidParameter);
    input.resize(input.size() - 1);
    if (!input.empty()) {
      input.pop_back();
      EXPECT_EQ(Send(code32, input, capacity).error, device_error::kInvalidParameter);
    }
  }
  // A header claiming another input length than the bytes given.
  const auto version = static_cast<std::uint32_t>(RequestCode::HlGetVersion);
  const std::array<std::uint8_t, 2> stray{1, 2};
  EXPECT_EQ(dispatcher_.Dispatch(connection_, {version, 0, 4}, stray)[0],
            device_error::kInvalidParameter);
  // An application ports count that disagrees with the length.
  std::vector<std::uint8_t> ports = *protocol::EncodeApplicationPorts({id, {80}});
  protocol::StoreLe32(ports, 4, 2);
  EXPECT_EQ(Send(RequestCode::HlSetApplicationPorts, ports).error, device_error::kInvalidParameter);
}

TEST_F(RequestDispatcherTest, EveryCorrectRequestSucceedsOnABoundConnection) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const std::uint32_t id = AddClass(testing::AnyTcpSend(1000));
  for (const RequestCode code : kAllCodes) {
    // The requests that remove the class go last.
    if (code == RequestCode::HlDeleteTBFClass || code == RequestCode::HlInitialize ||
        code == RequestCode::HlUninitialize) {
      continue;
    }
    EXPECT_EQ(Send(code, ValidInput(code, id)).error, 0u) << protocol::RequestName(code);
  }
  for (const RequestCode code :
       {RequestCode::HlDeleteTBFClass, RequestCode::HlInitialize, RequestCode::HlUninitialize}) {
    EXPECT_EQ(Send(code, ValidInput(code, id)).error, 0u) << protocol::RequestName(code);
  }
}

TEST_F(RequestDispatcherTest, BindingToAnUnknownAdapterAnswersStatusTwoAndStaysUnbound) {
  EXPECT_EQ(BindStatus(u"\\DEVICE\\eth9"), protocol::kBindStatusNoSuchAdapter);
  EXPECT_EQ(BindStatus(u"eth0"), protocol::kBindStatusNoSuchAdapter);
  EXPECT_EQ(BindStatus(u"\\DEVICE\\"), protocol::kBindStatusNoSuchAdapter);
  // An unpaired surrogate is no adapter name at all.
  EXPECT_EQ(BindStatus(u"\\DEVICE\\\xD800"), protocol::kBindStatusNoSuchAdapter);
  EXPECT_EQ(Send(RequestCode::HlGetVersion, {}).error, device_error::kNotReady);

  // A failed bind also undoes an earlier one.
  ASSERT_EQ(BindStatus(u"\\device\\eth0"), 0u);
  EXPECT_EQ(BindStatus(u"\\DEVICE\\eth9"), protocol::kBindStatusNoSuchAdapter);
  EXPECT_EQ(Send(RequestCode::HlGetVersion, {}).error, device_error::kNotReady);
}

TEST_F(RequestDispatcherTest, ABoundConnectionAnswersTheVersionAndAnyNumberOfRequests) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  for (int i = 0; i < 3; ++i) {
    const Reply reply = Send(RequestCode::HlGetVersion, {});
    ASSERT_EQ(reply.error, 0u);
    EXPECT_EQ(protocol::DecodeVersion(reply.output), protocol::kDriverVersion);
  }
}

TEST_F(RequestDispatcherTest, ClassRequestsReachTheBoundAdapterOnly) {
  engine_.AddAdapter("eth1");
  ConnectionState other;
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth1", &other), 0u);
  const std::uint32_t id = AddClass(testing::AnyTcpSend(1000));
  EXPECT_EQ(engine_.FindAdapter("eth0")->ClassOrder(), std::vector{id});
  EXPECT_TRUE(engine_.FindAdapter("eth1")->ClassOrder().empty());
  EXPECT_EQ(
      Send(RequestCode::HlDeleteTBFClass, ValidInput(RequestCode::HlDeleteTBFClass, id), &other)
          .error,
      device_error::kGenFailure);
}

TEST_F(RequestDispatcherTest, UnknownClassIdsFailWithGeneralFailure) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  for (const RequestCode code :
       {RequestCode::HlModifyTBFClass, RequestCode::HlDeleteTBFClass, RequestCode::HlUpTBFClass,
        RequestCode::HlDownTBFClass, RequestCode::HlSetTBFClassRate,
        RequestCode::HlSetApplicationPorts, RequestCode::HlGetTBFClassStatistics,
        RequestCode::HlSetTBFClassFamily}) {
    EXPECT_EQ(Send(code, ValidInput(code, 42)).error, device_error::kGenFailure)
        << protocol::RequestName(code);
  }
}

TEST_F(RequestDispatcherTest, StatisticsAndCaptureComeFromTheEngine) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const std::uint32_t id = AddClass(testing::AnyTcpSend(1'000'000));
  ASSERT_EQ(Send(RequestCode::HlStartFiltering, {}).error, 0u);
  engine_.Offer("eth0", testing::TcpPacket(Direction::Send, 1000, 80, 1200));
  engine_.Offer("eth0", testing::TcpPacket(Direction::Receive, 1000, 80, 300));
  clock_.AdvanceMilliseconds(500);

  Reply reply = Send(RequestCode::HlGetTBFClassStatistics,
                     ValidInput(RequestCode::HlGetTBFClassStatistics, id));
  ASSERT_EQ(reply.error, 0u);
  const auto classStatistics = protocol::DecodeClassStatistics(
      std::span<const std::uint8_t, protocol::kClassStatisticsSize>(reply.output.data(), 12));
  EXPECT_EQ(classStatistics.transferredBytes, 1200u);
  EXPECT_EQ(classStatistics.rate, 2400u);

  reply = Send(RequestCode::HlGetTotalStatistics, {});
  ASSERT_EQ(reply.output.size(), protocol::kTotalStatisticsSize);
  const auto totals = protocol::DecodeTotalStatistics(
      std::span<const std::uint8_t, protocol::kTotalStatisticsSize>(reply.output.data(), 24));
  EXPECT_EQ(totals.sentBytes, 1200u);
  EXPECT_EQ(totals.receivedBytes, 300u);
  ASSERT_EQ(Send(RequestCode::HlResetTraffic, {}).error, 0u);
  EXPECT_EQ(Send(RequestCode::HlGetTotalStatistics, {}).output,
            std::vector<std::uint8_t>(protocol::kTotalStatisticsSize, 0));

  reply = Send(RequestCode::HlReadPackets, {});
  ASSERT_EQ(reply.output.size(), 2 * protocol::kCaptureRecordSize);
  EXPECT_EQ(protocol::LoadLe32(reply.output, 0), id);
  EXPECT_TRUE(Send(RequestCode::HlReadPackets, {}).output.empty());
}

TEST_F(RequestDispatcherTest, TheClassFamilyRequestSetsWhatAddAndModifyReset) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  _TBF_SETTING_DATA record = testing::AnyTcpSend(1000);
  const std::uint32_t id = AddClass(record);
  AdapterState& adapter = *engine_.FindAdapter("eth0");
  EXPECT_EQ(adapter.ClassFamilyOf(id)->families, protocol::AddressFamilies::kBoth);

  protocol::ClassFamily family{id, protocol::AddressFamilies::kIpv6, {}, {}};
  family.remote = {ParseIpAddress("2001:db8::")->Ipv6Bytes(), 32};
  const auto bytes = protocol::EncodeClassFamily(family);
  ASSERT_EQ(Send(RequestCode::HlSetTBFClassFamily, bytes).error, 0u);
  EXPECT_EQ(adapter.ClassFamilyOf(id), family);

  // A modify says the record alone again: an IPv4 address makes it IPv4 only.
  record.DriverClassId = id;
  record.RemoteIPAddrMask = 0xFFFFFFFFu;
  ASSERT_EQ(Send(RequestCode::HlModifyTBFClass, protocol::EncodeTbfSettingData(record)).error, 0u);
  EXPECT_EQ(adapter.ClassFamilyOf(id),
            (protocol::ClassFamily{id, protocol::AddressFamilies::kIpv4, {}, {}}));

  // A family byte out of range is a wrong parameter, not an unknown class.
  auto bad = bytes;
  bad[4] = 3;
  EXPECT_EQ(Send(RequestCode::HlSetTBFClassFamily, bad).error, device_error::kInvalidParameter);
}

TEST_F(RequestDispatcherTest, TheStatisticsBatchAnswersWhatTheSingleRequestsWould) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const std::uint32_t first = AddClass(testing::AnyTcpSend(1'000'000));
  _TBF_SETTING_DATA receiving = testing::AnyTcpSend(1'000'000);
  receiving.TBFMode = 1;
  const std::uint32_t second = AddClass(receiving);
  engine_.Offer("eth0", testing::TcpPacket(Direction::Send, 1000, 80, 1200));
  engine_.Offer("eth0", testing::TcpPacket(Direction::Receive, 1000, 80, 300));
  engine_.Offer("eth0", testing::Tcp6Packet(Direction::Send, 1000, 443, 700));
  clock_.AdvanceMilliseconds(500);

  const std::vector<std::uint32_t> ids{second, 42, first, second};
  protocol::StatisticsBatch batch = Batch(ids);
  const auto single = [this](std::uint32_t id) {
    const Reply reply = Send(RequestCode::HlGetTBFClassStatistics,
                             ValidInput(RequestCode::HlGetTBFClassStatistics, id));
    return reply.error != 0 ? protocol::BatchClassStatistics{{}, reply.error}
                            : protocol::BatchClassStatistics{
                                  protocol::DecodeClassStatistics(
                                      std::span<const std::uint8_t, 12>(reply.output.data(), 12)),
                                  0};
  };
  ASSERT_EQ(batch.classes.size(), 4u);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(batch.classes[i], single(ids[i])) << "entry " << i;
  }
  EXPECT_EQ(batch.classes[1].status, device_error::kGenFailure);   // the unknown class
  EXPECT_EQ(batch.classes[2].statistics.transferredBytes, 1900u);  // both families
  EXPECT_EQ(batch.classes[0].statistics.transferredBytes, 300u);
  const auto totals = protocol::EncodeTotalStatistics(batch.totals);
  EXPECT_EQ(std::vector<std::uint8_t>(totals.begin(), totals.end()),
            Send(RequestCode::HlGetTotalStatistics, {}).output);
  EXPECT_EQ(batch.totals.sentBytes, 1900u);

  // The waiting records are counted, not taken.
  EXPECT_EQ(batch.pendingRecords, 2u);
  EXPECT_EQ(batch.pendingRecords6, 1u);
  ASSERT_EQ(Send(RequestCode::HlReadPackets, {}).output.size(), 2 * protocol::kCaptureRecordSize);
  batch = Batch({});
  EXPECT_EQ(batch.pendingRecords, 0u);
  EXPECT_EQ(batch.pendingRecords6, 1u);
  EXPECT_TRUE(batch.classes.empty());
}

TEST_F(RequestDispatcherTest, AFullRingShowsEveryRecordItStillHoldsAsPending) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  for (int i = 0; i < 1005; ++i) {
    engine_.Offer("eth0", testing::TcpPacket(Direction::Send, 1000, 80));
    engine_.Offer("eth0", testing::Tcp6Packet(Direction::Send, 1000, 443));
  }
  protocol::StatisticsBatch batch = Batch({});
  EXPECT_EQ(batch.pendingRecords, 1000u);
  EXPECT_EQ(batch.pendingRecords6, 1000u);
  std::size_t read = 0;
  for (Reply reply = Send(RequestCode::HlReadPackets, {}); !reply.output.empty();
       reply = Send(RequestCode::HlReadPackets, {})) {
    read += reply.output.size() / protocol::kCaptureRecordSize;
  }
  EXPECT_EQ(read, 1000u);
  batch = Batch({});
  EXPECT_EQ(batch.pendingRecords, 0u);
  EXPECT_EQ(batch.pendingRecords6, 1000u);
}

TEST_F(RequestDispatcherTest, TheRatesBatchSetsEveryClassItCanInOrder) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const std::uint32_t first = AddClass(testing::AnyTcpSend(1000));
  const std::uint32_t second = AddClass(testing::AnyTcpSend(1000));
  const std::vector<protocol::ClassRate> rates{{first, 100}, {42, 5}, {second, 200}, {first, 0}};
  const Reply reply =
      Send(RequestCode::HlSetTBFClassRates, *protocol::EncodeClassRatesRequest(rates));
  ASSERT_EQ(reply.error, 0u);
  EXPECT_EQ(protocol::DecodeClassRatesReply(reply.output, 4),
            (std::vector<std::uint32_t>{0, device_error::kGenFailure, 0, 0}));
  AdapterState& adapter = *engine_.FindAdapter("eth0");
  EXPECT_EQ(adapter.ClassRecord(second)->TBFRate, 200u);
  EXPECT_EQ(adapter.ClassRecord(first)->TBFRate, 0u);  // the later entry wins
  ASSERT_EQ(Send(RequestCode::HlStartFiltering, {}).error, 0u);
  EXPECT_EQ(engine_.Offer("eth0", testing::TcpPacket(Direction::Send, 1000, 80)), Verdict::Drop);
}

TEST_F(RequestDispatcherTest, IPv6PacketsAreReadApartFromIPv4OnesOldestFirst) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const std::uint32_t id = AddClass(testing::AnyTcpSend(1'000'000));
  for (std::uint16_t port = 1; port <= 120; ++port) {
    engine_.Offer("eth0", testing::Tcp6Packet(Direction::Send, port, 443));
  }
  engine_.Offer("eth0", testing::TcpPacket(Direction::Send, 1000, 80));

  Reply reply = Send(RequestCode::HlReadPackets6, {});
  ASSERT_EQ(reply.error, 0u);
  ASSERT_EQ(reply.output.size(), protocol::kReadPackets6BufferSize);
  const protocol::CaptureBatch batch{true, reply.output};
  const auto first = protocol::DecodeCapture6Record(batch.Record(0));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->driverClassId, id);
  EXPECT_EQ(Be16(first->transportHeader, 0), 1);  // the oldest
  EXPECT_EQ(Be16(protocol::DecodeCapture6Record(batch.Record(99))->transportHeader, 0), 100);
  EXPECT_EQ(Send(RequestCode::HlReadPackets6, {}).output.size(),
            20 * protocol::kCapture6RecordSize);
  EXPECT_TRUE(Send(RequestCode::HlReadPackets6, {}).output.empty());
  // The IPv4 packet came through the IPv4 read alone.
  EXPECT_EQ(Send(RequestCode::HlReadPackets, {}).output.size(), protocol::kCaptureRecordSize);
}

TEST_F(RequestDispatcherTest, AnApplicationPortsListOfNoPortsIsAccepted) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const std::uint32_t id = AddClass(testing::AnyTcpSend(1000));
  const auto input = *protocol::EncodeApplicationPorts({id, {}});
  ASSERT_EQ(input.size(), 8u);
  EXPECT_EQ(Send(RequestCode::HlSetApplicationPorts, input).error, 0u);
}

TEST_F(RequestDispatcherTest, InitializeStartsAnEmptySession) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  AddClass(testing::AnyTcpSend(1000));
  ASSERT_EQ(Send(RequestCode::HlStartFiltering, {}).error, 0u);
  ASSERT_EQ(Send(RequestCode::HlInitialize, {}).error, 0u);
  EXPECT_TRUE(engine_.FindAdapter("eth0")->ClassOrder().empty());
  EXPECT_FALSE(engine_.FindAdapter("eth0")->Filtering());
}

TEST_F(RequestDispatcherTest, SessionsStartWithInitializeAndEndOnceWithReleaseOrUninitialize) {
  using Event = AdapterState::SessionEvent;
  AdapterState& adapter = *engine_.FindAdapter("eth0");
  std::vector<Event> events;
  adapter.SetSessionObserver([&events](Event event) { events.push_back(event); });
  std::vector<Verdict> outcomes;
  adapter.SetOutcomeHandler([&outcomes](const Packet&, Verdict v) { outcomes.push_back(v); });
  const auto send = [this](RequestCode code) { ASSERT_EQ(Send(code, {}).error, 0u); };
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  send(RequestCode::HlUninitialize);  // no session yet: nothing to end
  EXPECT_TRUE(events.empty());

  send(RequestCode::HlInitialize);
  EXPECT_EQ(events, std::vector{Event::Started});
  _TBF_SETTING_DATA slow = testing::AnyTcpSend(100);
  slow.TBFMaxTokenSize = 1000;
  AddClass(slow);
  send(RequestCode::HlStartFiltering);
  engine_.Offer("eth0", testing::TcpPacket(Direction::Send, 1, 2));
  ASSERT_EQ(engine_.Offer("eth0", testing::TcpPacket(Direction::Send, 1, 2)), Verdict::Queued);

  // The application's end: release, then uninitialize. One end is told.
  send(RequestCode::HlReleaseAdapter);
  EXPECT_EQ(events, (std::vector{Event::Started, Event::Ended}));
  EXPECT_EQ(outcomes, std::vector{Verdict::Pass});  // the held packet went on
  EXPECT_FALSE(adapter.Filtering());
  EXPECT_EQ(adapter.ClassOrder().size(), 1u);
  send(RequestCode::HlUninitialize);
  EXPECT_EQ(events, (std::vector{Event::Started, Event::Ended}));
  EXPECT_TRUE(adapter.ClassOrder().empty());

  // Uninitialize alone ends a session too; a second initialize restarts one.
  send(RequestCode::HlInitialize);
  send(RequestCode::HlInitialize);
  send(RequestCode::HlUninitialize);
  EXPECT_EQ(events, (std::vector{Event::Started, Event::Ended, Event::Started, Event::Started,
                                 Event::Ended}));
  EXPECT_FALSE(adapter.InSession());
}

TEST_F(RequestDispatcherTest, ResetsPassTheTupleAndAnswerTheErrnoAsStatus) {
  const auto input = protocol::EncodeTcpFourTuple(kConnection);
  EXPECT_EQ(Send(RequestCode::HlResetTcpConnection, input).error, device_error::kNotReady);
  EXPECT_TRUE(destroyed_.empty());

  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  for (const int error : {0, ENOENT, EPERM}) {
    destroyError_ = error;
    const Reply reply = Send(RequestCode::HlResetTcpConnection, input);
    ASSERT_EQ(reply.error, 0u);
    ASSERT_EQ(reply.output.size(), 4u);
    EXPECT_EQ(protocol::LoadLe32(reply.output, 0), static_cast<std::uint32_t>(error));
  }
  EXPECT_EQ(destroyed_, std::vector(3, kConnection));

  // A destroyer's negative answer is no errno, and never reads as ended.
  destroyError_ = -1;
  EXPECT_EQ(protocol::LoadLe32(Send(RequestCode::HlResetTcpConnection, input).output, 0),
            static_cast<std::uint32_t>(EIO));
}

TEST_F(RequestDispatcherTest, ResetsOfMalformedTuplesAreRefusedBeforeAnythingIsEnded) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const auto good = protocol::EncodeTcpFourTuple(kConnection);
  const auto refused = [this](std::vector<std::uint8_t> input) {
    return Send(RequestCode::HlResetTcpConnection, input).error == device_error::kInvalidParameter;
  };
  std::vector<std::uint8_t> bytes(good.begin(), good.end());
  bytes[7] = 1;  // a port beyond 16 bits
  EXPECT_TRUE(refused(bytes));
  protocol::TcpFourTuple listener = kConnection;
  listener.remoteAddr = IpAddress();
  listener.remotePort = 0;
  const auto listening = protocol::EncodeTcpFourTuple(listener);
  EXPECT_TRUE(refused({listening.begin(), listening.end()}));
  EXPECT_TRUE(refused({good.begin(), good.begin() + 12}));  // 12 bytes: no IPv4 TCP row
  EXPECT_TRUE(destroyed_.empty());
}

TEST_F(RequestDispatcherTest, IPv6ResetsPassTheTupleAndAnswerTheErrnoAsStatus) {
  const std::vector<std::uint8_t> input = Ipv6TupleBytes(kIpv6Connection);
  EXPECT_EQ(Send(RequestCode::HlResetTcp6Connection, input).error, device_error::kNotReady);
  EXPECT_TRUE(destroyed_.empty());

  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  for (const int error : {0, ENOENT}) {
    destroyError_ = error;
    const Reply reply = Send(RequestCode::HlResetTcp6Connection, input);
    ASSERT_EQ(reply.error, 0u);
    ASSERT_EQ(reply.output.size(), 4u);
    EXPECT_EQ(protocol::LoadLe32(reply.output, 0), static_cast<std::uint32_t>(error));
  }
  ASSERT_EQ(destroyed_, std::vector(2, kIpv6Connection));
  EXPECT_FALSE(destroyed_[0].localAddr.IsIpv4());
  EXPECT_EQ(destroyed_[0].localAddr.ToText(), "2001:2::10");
  EXPECT_EQ(destroyed_[0].remotePort, protocol::HostToNet16(443));
}

TEST_F(RequestDispatcherTest, IPv6ResetsOfTuplesThatBelongElsewhereAreRefused) {
  ASSERT_EQ(BindStatus(u"\\DEVICE\\eth0"), 0u);
  const auto refused = [this](const std::vector<std::uint8_t>& input) {
    return Send(static_cast<std::uint32_t>(RequestCode::HlResetTcp6Connection), input, 4).error ==
           device_error::kInvalidParameter;
  };
  const std::vector<std::uint8_t> good = Ipv6TupleBytes(kIpv6Connection);
  // IPv4-mapped addresses go by the sixteen-byte request.
  const auto mapped = [](std::uint8_t last) {
    IpAddress::Bytes16 bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 10, 0, 0, last};
    return IpAddress::FromIpv6(bytes);
  };
  EXPECT_TRUE(refused(Ipv6TupleBytes({mapped(2), kConnection.localPort, mapped(7), 80})));
  protocol::TcpFourTuple halfMapped = kIpv6Connection;
  halfMapped.remoteAddr = mapped(7);
  EXPECT_TRUE(refused(Ipv6TupleBytes(halfMapped)));
  // A listener's tuple, an unspecified or multicast address.
  protocol::TcpFourTuple listener = kIpv6Connection;
  listener.remoteAddr = *ParseIpAddress("::");
  listener.remotePort = 0;
  EXPECT_TRUE(refused(Ipv6TupleBytes(listener)));
  protocol::TcpFourTuple multicast = kIpv6Connection;
  multicast.remoteAddr = *ParseIpAddress("ff02::1");
  EXPECT_TRUE(refused(Ipv6TupleBytes(multicast)));
  // Wrong sizes: the IPv4 request's sixteen bytes, one byte short or over.
  EXPECT_TRUE(refused({good.begin(), good.begin() + 16}));
  EXPECT_TRUE(refused({good.begin(), good.end() - 1}));
  std::vector<std::uint8_t> longer = good;
  longer.push_back(0);
  EXPECT_TRUE(refused(longer));
  // Padding after either port.
  for (const std::size_t padding : {18u, 39u}) {
    std::vector<std::uint8_t> padded = good;
    padded[padding] = 1;
    EXPECT_TRUE(refused(padded)) << "byte " << padding;
  }
  EXPECT_TRUE(destroyed_.empty());
  // And the IPv4 request does not take an IPv6 tuple's bytes either.
  EXPECT_EQ(Send(static_cast<std::uint32_t>(RequestCode::HlResetTcpConnection), good, 4).error,
            device_error::kInvalidParameter);
}

TEST(RequestDispatcherWithoutDestroyer, AnswersThatResetsAreNotSupported) {
  ManualClock clock;
  PacketEngine engine(clock);
  engine.AddAdapter("eth0");
  RequestDispatcher dispatcher(engine);
  ConnectionState connection;
  const auto path = PathBytes(u"\\DEVICE\\eth0");
  dispatcher.Dispatch(connection,
                      {static_cast<std::uint32_t>(RequestCode::HlBindAdapter),
                       static_cast<std::uint32_t>(path.size()), 4},
                      path);
  const auto input = protocol::EncodeTcpFourTuple(kConnection);
  const auto frame = dispatcher.Dispatch(
      connection, {static_cast<std::uint32_t>(RequestCode::HlResetTcpConnection), 16, 4}, input);
  ASSERT_EQ(frame.size(), protocol::kReplyHeaderSize + 4);
  EXPECT_EQ(protocol::LoadLe32(frame, 0), 0u);
  EXPECT_EQ(protocol::LoadLe32(frame, protocol::kReplyHeaderSize),
            static_cast<std::uint32_t>(EOPNOTSUPP));
}

}  // namespace
}  // namespace harlune
