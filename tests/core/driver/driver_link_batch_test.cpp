// DriverLink's batch requests: what goes on the wire, how replies are
// checked, and the suspect and fallback rules they share with the single
// requests.

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "core/driver/driver_link.h"
#include "protocol/statistics_batch.h"
#include "support/fake_device_transport.h"
#include "support/hex.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using testing::FakeDeviceTransport;
using testing::Hex;

constexpr std::uint32_t Code(RequestCode code) { return static_cast<std::uint32_t>(code); }
constexpr std::uint32_t kStatisticsBatch = Code(RequestCode::HlGetStatisticsBatch);
constexpr std::uint32_t kRatesBatch = Code(RequestCode::HlSetTBFClassRates);

class DriverLinkBatchTest : public ::testing::Test {
 protected:
  void ReplyBatch(const protocol::StatisticsBatch& batch) {
    device.ReplyOn("eth0", kStatisticsBatch, protocol::EncodeStatisticsBatchReply(batch));
  }

  FakeDeviceTransport device;
  DriverLink link{device, {"/run/harlune/PassThru"}};
};

TEST_F(DriverLinkBatchTest, StatisticsBatchSendsItsIdsAndDecodesTheWholeReply) {
  protocol::StatisticsBatch answer;
  answer.totals = {100, 200, 3, 4};
  answer.pendingRecords = 7;
  answer.pendingRecords6 = 0;
  answer.classes = {{{5000, 2048}, 0}, {{}, 87}};
  ReplyBatch(answer);
  const std::vector<std::uint32_t> ids{9, 0x01020304};
  const StatisticsBatchReply reply = link.HlGetStatisticsBatch("eth0", ids);
  ASSERT_TRUE(reply.reply);
  EXPECT_EQ(*reply.reply, answer);

  const auto calls = device.CallsWithCode(kStatisticsBatch, "eth0");
  ASSERT_EQ(calls.size(), 1U);
  EXPECT_EQ(Hex(calls[0].input), "02 00 00 00 09 00 00 00 04 03 02 01");
  EXPECT_EQ(calls[0].outputCapacity, 64U);
  // 87 is the link's own fault, never a sign of a restarted driver.
  EXPECT_TRUE(link.TakeSuspects().empty());
  // The waiting records are kept for the capture reads.
  EXPECT_TRUE(link.Batches().CaptureMayBePending("eth0", false));
  EXPECT_FALSE(link.Batches().CaptureMayBePending("eth0", true));
}

TEST_F(DriverLinkBatchTest, AReplyOfTheWrongLengthIsAFailureAndForgetsTheWaitingRecords) {
  protocol::StatisticsBatch answer;
  ReplyBatch(answer);  // no class in it
  ASSERT_TRUE(link.HlGetStatisticsBatch("eth0", {}).reply);
  EXPECT_FALSE(link.Batches().CaptureMayBePending("eth0", false));

  const std::vector<std::uint32_t> one{4};
  const StatisticsBatchReply shortReply = link.HlGetStatisticsBatch("eth0", one);
  EXPECT_FALSE(shortReply.reply);
  EXPECT_EQ(shortReply.deviceError, 0U);
  EXPECT_FALSE(shortReply.UnknownRequest());
  EXPECT_TRUE(link.Batches().CaptureMayBePending("eth0", false));
  EXPECT_TRUE(link.Batches().StatisticsBatchKnown("eth0"));

  device.ReplyOn("eth0", kRatesBatch, {0, 0});  // half a status
  const std::vector<protocol::ClassRate> rate{{4, 100}};
  EXPECT_FALSE(link.HlSetTBFClassRates("eth0", rate).reply);
}

TEST_F(DriverLinkBatchTest, ARefusedClassMakesTheAdapterASuspectAsASingleRequestWould) {
  protocol::StatisticsBatch answer;
  answer.classes = {{{}, 0}, {{}, 1}, {{}, 31}};
  ReplyBatch(answer);
  const std::vector<std::uint32_t> ids{1, 2, 3};
  ASSERT_TRUE(link.HlGetStatisticsBatch("eth0", ids).reply);
  std::vector<DriverSuspect> suspects = link.TakeSuspects();
  ASSERT_EQ(suspects.size(), 1U);
  EXPECT_EQ(suspects[0].adapterName, "eth0");
  EXPECT_FALSE(suspects[0].connectionLost);

  device.ReplyOn("eth0", kRatesBatch,
                 protocol::EncodeClassRatesReply(std::vector<std::uint32_t>{0, 31}));
  const std::vector<protocol::ClassRate> rates{{1, 10}, {3, 20}};
  const ClassRatesReply ratesReply = link.HlSetTBFClassRates("eth0", rates);
  ASSERT_TRUE(ratesReply.reply);
  EXPECT_EQ(*ratesReply.reply, (std::vector<std::uint32_t>{0, 31}));
  EXPECT_EQ(link.TakeSuspects().size(), 1U);

  // A refused batch naming classes is a refused class request; one naming
  // none is a refused totals request, which raises no doubt.
  device.FailOn("eth0", kStatisticsBatch, 31);
  EXPECT_FALSE(link.HlGetStatisticsBatch("eth0", ids).reply);
  EXPECT_EQ(link.TakeSuspects().size(), 1U);
  EXPECT_FALSE(link.HlGetStatisticsBatch("eth0", {}).reply);
  EXPECT_TRUE(link.TakeSuspects().empty());
}

TEST_F(DriverLinkBatchTest, UnknownCodeIsRememberedPerAdapterAndRequestUntilTheSessionStarts) {
  device.FailOn("eth0", kStatisticsBatch, 1);
  device.FailOn("eth1", kRatesBatch, 1);
  const std::vector<std::uint32_t> ids{1};
  const std::vector<protocol::ClassRate> rates{{1, 10}};
  EXPECT_FALSE(link.Batches().FallbackUsed());

  EXPECT_TRUE(link.HlGetStatisticsBatch("eth0", ids).UnknownRequest());
  EXPECT_TRUE(link.HlSetTBFClassRates("eth0", rates).reply);
  EXPECT_TRUE(link.HlGetStatisticsBatch("eth1", ids).reply);
  EXPECT_TRUE(link.HlSetTBFClassRates("eth1", rates).UnknownRequest());
  EXPECT_FALSE(link.Batches().StatisticsBatchKnown("eth0"));
  EXPECT_TRUE(link.Batches().RatesBatchKnown("eth0"));
  EXPECT_TRUE(link.Batches().StatisticsBatchKnown("eth1"));
  EXPECT_FALSE(link.Batches().RatesBatchKnown("eth1"));
  EXPECT_TRUE(link.Batches().FallbackUsed());
  EXPECT_TRUE(link.TakeSuspects().empty());  // an old driver is no restarted one
  EXPECT_EQ(link.KeptConnectionCount(), 2U);

  link.Batches().ForgetSession();
  EXPECT_TRUE(link.Batches().StatisticsBatchKnown("eth0"));
  EXPECT_TRUE(link.Batches().RatesBatchKnown("eth1"));
  EXPECT_TRUE(link.Batches().FallbackUsed());  // for the whole run
}

TEST_F(DriverLinkBatchTest, BatchesThatCannotBeSentNeverLeave) {
  const std::vector<std::uint32_t> withNoClass{4, kNoDriverClass};
  const std::vector<std::uint32_t> tooMany(protocol::kMaxBatchClasses + 1, 4);
  const std::vector<protocol::ClassRate> rateOfNoClass{{kNoDriverClass, 10}};
  EXPECT_FALSE(link.HlGetStatisticsBatch("eth0", withNoClass).reply);
  EXPECT_FALSE(link.HlGetStatisticsBatch("eth0", tooMany).reply);
  EXPECT_FALSE(link.HlSetTBFClassRates("eth0", rateOfNoClass).reply);
  EXPECT_FALSE(link.HlSetTBFClassRates("eth0", {}).reply);
  EXPECT_TRUE(device.calls.empty());
  EXPECT_TRUE(link.TakeSuspects().empty());
}

TEST_F(DriverLinkBatchTest, ALostBatchGoesOnceMoreOnAFreshConnection) {
  ASSERT_TRUE(link.HlGetStatisticsBatch("eth0", {}).reply);  // a kept connection
  device.loseReplyTo.insert(kStatisticsBatch);
  device.loseReplyTo.insert(kRatesBatch);
  EXPECT_TRUE(link.HlGetStatisticsBatch("eth0", {}).reply);
  const std::vector<protocol::ClassRate> rates{{1, 10}};
  EXPECT_TRUE(link.HlSetTBFClassRates("eth0", rates).reply);
  EXPECT_EQ(device.CallsWithCode(kStatisticsBatch).size(), 3U);
  EXPECT_EQ(device.CallsWithCode(kRatesBatch).size(), 2U);
  const std::vector<DriverSuspect> suspects = link.TakeSuspects();
  ASSERT_EQ(suspects.size(), 1U);
  EXPECT_TRUE(suspects[0].connectionLost);
}

}  // namespace
}  // namespace harlune
