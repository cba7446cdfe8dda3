#include "protocol/statistics_batch.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/request_codes.h"
#include "support/hex.h"

namespace harlune::protocol {
namespace {

using testing::Hex;
using testing::Unhex;
using testing::Zeros;

TEST(StatisticsBatch, RequestIsACountAndTheClassIds) {
  const std::vector<std::uint32_t> ids{7, 0x01020304};
  const auto bytes = EncodeStatisticsBatchRequest(ids);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(Hex(*bytes), "02 00 00 00 07 00 00 00 04 03 02 01");
  EXPECT_EQ(DecodeStatisticsBatchRequest(*bytes), ids);

  const auto none = EncodeStatisticsBatchRequest({});
  ASSERT_TRUE(none);
  EXPECT_EQ(Hex(*none), "00 00 00 00");
  EXPECT_EQ(DecodeStatisticsBatchRequest(*none), std::vector<std::uint32_t>{});

  const std::vector<std::uint32_t> full(kMaxBatchClasses, 1);
  ASSERT_TRUE(EncodeStatisticsBatchRequest(full));
  EXPECT_EQ(EncodeStatisticsBatchRequest(full)->size(), 516U);
  const std::vector<std::uint32_t> tooMany(kMaxBatchClasses + 1, 1);
  EXPECT_FALSE(EncodeStatisticsBatchRequest(tooMany));
}

TEST(StatisticsBatch, RequestDecoderRefusesCountsThatDoNotFit) {
  EXPECT_FALSE(DecodeStatisticsBatchRequest({}));
  EXPECT_FALSE(DecodeStatisticsBatchRequest(Unhex("00 00 00")));
  EXPECT_FALSE(DecodeStatisticsBatchRequest(Unhex("01 00 00 00")));                 // id missing
  EXPECT_FALSE(DecodeStatisticsBatchRequest(Unhex("01 00 00 00 07 00 00 00 00")));  // one more
  EXPECT_FALSE(DecodeStatisticsBatchRequest(Unhex("00 00 00 00 07 00 00 00")));
  std::vector<std::uint8_t> over(StatisticsBatchInputSize(129));
  over[0] = 129;
  EXPECT_FALSE(DecodeStatisticsBatchRequest(over));
  EXPECT_FALSE(DecodeStatisticsBatchRequest(Unhex("00 00 00 01")));  // 2^24 classes
}

TEST(StatisticsBatch, ReplyHoldsTotalsPendingRecordsAndClassesInOrder) {
  StatisticsBatch batch;
  batch.totals = {0x100000001, 2, 3, 4};
  batch.pendingRecords = 1000;
  batch.pendingRecords6 = 5;
  batch.classes = {{{0x0102030405060708, 0x0A0B0C0D}, 0}, {{}, 31}};
  const auto bytes = EncodeStatisticsBatchReply(batch);
  EXPECT_EQ(Hex(bytes),
            "01 00 00 00 01 00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 04 00 00 00"
            " e8 03 00 00 05 00 00 00"
            " 08 07 06 05 04 03 02 01 0d 0c 0b 0a 00 00 00 00" +
                Zeros(12) + " 1f 00 00 00");
  EXPECT_EQ(DecodeStatisticsBatchReply(bytes, 2), batch);
}

TEST(StatisticsBatch, ReplyOfAnyOtherLengthIsRefused) {
  StatisticsBatch batch;
  batch.classes.resize(3);
  std::vector<std::uint8_t> bytes = EncodeStatisticsBatchReply(batch);
  ASSERT_EQ(bytes.size(), 80U);
  EXPECT_TRUE(DecodeStatisticsBatchReply(bytes, 3));
  EXPECT_FALSE(DecodeStatisticsBatchReply(bytes, 2));
  EXPECT_FALSE(DecodeStatisticsBatchReply(bytes, 4));
  EXPECT_FALSE(DecodeStatisticsBatchReply(std::span(bytes).first(79), 3));
  bytes.push_back(0);
  EXPECT_FALSE(DecodeStatisticsBatchReply(bytes, 3));
  EXPECT_FALSE(DecodeStatisticsBatchReply({}, 0));
  EXPECT_TRUE(DecodeStatisticsBatchReply(std::vector<std::uint8_t>(32), 0));
}

TEST(ClassRates, RequestIsACountAndIdRatePairs) {
  const std::vector<ClassRate> rates{{9, 15360}, {0x0A0B0C0D, 1}};
  const auto bytes = EncodeClassRatesRequest(rates);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(Hex(*bytes), "02 00 00 00 09 00 00 00 00 3c 00 00 0d 0c 0b 0a 01 00 00 00");
  EXPECT_EQ(DecodeClassRatesRequest(*bytes), rates);

  EXPECT_FALSE(EncodeClassRatesRequest({}));  // nothing to set is no request
  const std::vector<ClassRate> full(kMaxBatchClasses, ClassRate{1, 2});
  ASSERT_TRUE(EncodeClassRatesRequest(full));
  EXPECT_EQ(EncodeClassRatesRequest(full)->size(), 1028U);
  const std::vector<ClassRate> tooMany(kMaxBatchClasses + 1, ClassRate{1, 2});
  EXPECT_FALSE(EncodeClassRatesRequest(tooMany));
}

TEST(ClassRates, RequestDecoderRefusesCountsThatDoNotFit) {
  EXPECT_FALSE(DecodeClassRatesRequest(Unhex("00 00 00 00")));  // count 0
  EXPECT_FALSE(DecodeClassRatesRequest(Unhex("01 00 00 00 09 00 00 00")));
  EXPECT_FALSE(DecodeClassRatesRequest(Unhex("01 00 00 00 09 00 00 00 01 00 00 00 00")));
  std::vector<std::uint8_t> over(ClassRatesInputSize(129));
  over[0] = 129;
  EXPECT_FALSE(DecodeClassRatesRequest(over));
}

TEST(ClassRates, ReplyIsOneStatusPerEntry) {
  const std::vector<std::uint32_t> statuses{0, 31, 87};
  const auto bytes = EncodeClassRatesReply(statuses);
  EXPECT_EQ(Hex(bytes), "00 00 00 00 1f 00 00 00 57 00 00 00");
  EXPECT_EQ(DecodeClassRatesReply(bytes, 3), statuses);
  EXPECT_FALSE(DecodeClassRatesReply(bytes, 2));
  EXPECT_FALSE(DecodeClassRatesReply(std::span(bytes).first(11), 3));
}

TEST(BatchRequestCodes, CodesSizesAndRepetition) {
  const auto statistics = FindRequestLayout(0x43236120);
  ASSERT_TRUE(statistics);
  EXPECT_EQ(statistics->name, "HlGetStatisticsBatch");
  const auto rates = FindRequestLayout(0x4323A124);
  ASSERT_TRUE(rates);
  EXPECT_EQ(rates->name, "HlSetTBFClassRates");
  // Function 0x848 with read access, 0x849 with write access.
  EXPECT_EQ((0x43236120U >> 2) & 0xFFF, 0x848U);
  EXPECT_EQ((0x43236120U >> 14) & 3, 1U);
  EXPECT_EQ((0x4323A124U >> 2) & 0xFFF, 0x849U);
  EXPECT_EQ((0x4323A124U >> 14) & 3, 2U);
  // A lost reply may be asked again: a read, and rates set outright.
  EXPECT_TRUE(RequestRepeatable(0x43236120));
  EXPECT_TRUE(RequestRepeatable(0x4323A124));

  const auto two = EncodeStatisticsBatchRequest(std::vector<std::uint32_t>{1, 2});
  EXPECT_TRUE(RequestSizesValid(*statistics, *two, 64));
  EXPECT_FALSE(RequestSizesValid(*statistics, *two, 48));
  EXPECT_FALSE(RequestSizesValid(*statistics, *two, 65));
  EXPECT_FALSE(RequestSizesValid(*statistics, std::span(*two).first(8), 64));
  EXPECT_TRUE(RequestSizesValid(*statistics, Unhex("00 00 00 00"), 32));
  EXPECT_FALSE(RequestSizesValid(*statistics, {}, 32));

  const auto one = EncodeClassRatesRequest(std::vector<ClassRate>{{1, 2}});
  EXPECT_TRUE(RequestSizesValid(*rates, *one, 4));
  EXPECT_FALSE(RequestSizesValid(*rates, *one, 0));
  EXPECT_FALSE(RequestSizesValid(*rates, Unhex("00 00 00 00"), 0));
}

}  // namespace
}  // namespace harlune::protocol
