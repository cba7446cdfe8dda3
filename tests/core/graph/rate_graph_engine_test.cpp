// The engine feeds the graphs' history from its statistics tick, with the
// driver's totals and filter rates, and keeps it across a new session.

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

// The driver's totals reply: the rates at bytes 16 and 20, little-endian.
std::vector<std::uint8_t> TotalsReply(std::uint32_t sendRate, std::uint32_t receiveRate) {
  std::vector<std::uint8_t> reply(24, 0);
  for (int i = 0; i < 4; ++i) {
    reply[static_cast<std::size_t>(16 + i)] = static_cast<std::uint8_t>(sendRate >> (8 * i));
    reply[static_cast<std::size_t>(20 + i)] = static_cast<std::uint8_t>(receiveRate >> (8 * i));
  }
  return reply;
}

class RateGraphEngineTest : public ::testing::Test {
 protected:
  RateGraphEngineTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(198, 18, 0, 2)}}});
    engine_ =
        std::make_unique<HarluneEngine>(folder_.path(), services_, dialogs_, scheduler_, view_);
  }

  void Rates(std::uint32_t send, std::uint32_t receive) {
    services_.transport.replies[Code(RequestCode::HlGetTotalStatistics)] = {
        0, TotalsReply(send, receive)};
  }

  void Ticks(std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
      engine_->StatisticsTick();
    }
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  std::unique_ptr<HarluneEngine> engine_;
};

TEST_F(RateGraphEngineTest, TheStatisticsTickFeedsTheTotalsEvenWhileHidden) {
  ASSERT_TRUE(engine_->Initialise());
  engine_->SetWindowHidden(true);
  Rates(2048, 100);
  Ticks(5);
  Rates(4096, 300);
  Ticks(5);
  ASSERT_EQ(engine_->graphHistory().Send().Size(), 1U);
  EXPECT_EQ(engine_->graphHistory().Send().Newest(), 3072U);
  EXPECT_EQ(engine_->graphHistory().Receive().Newest(), 200U);
  EXPECT_EQ(view_.statisticsRedraws, 0) << "hidden: fed, not drawn";
}

TEST_F(RateGraphEngineTest, ATickWhoseTotalsFailCountsNowhere) {
  ASSERT_TRUE(engine_->Initialise());
  Rates(1000, 0);
  Ticks(9);
  services_.transport.FailOn("eth0", Code(RequestCode::HlGetTotalStatistics));
  services_.transport.knowsBatches = false;
  engine_->StatisticsTick();
  EXPECT_TRUE(engine_->graphHistory().Send().Empty());
}

TEST_F(RateGraphEngineTest, ANewSessionKeepsTheFinishedSeconds) {
  ASSERT_TRUE(engine_->Initialise());
  PacketFilterSetting record;
  record.LowerAdapterName = "eth0";
  ASSERT_TRUE(engine_->NewFilter(record).changed);
  const std::int32_t id = engine_->settings().filters.At(0).ID;
  Rates(500, 0);
  Ticks(10 + 4);
  engine_->EndSession();
  engine_->StartSession();
  Rates(700, 0);
  Ticks(10);
  ASSERT_EQ(engine_->graphHistory().Send().Size(), 2U);
  EXPECT_EQ(engine_->graphHistory().Send().At(0), 500U);
  EXPECT_EQ(engine_->graphHistory().Send().At(1), 700U);
  const RateRing* filter = engine_->graphHistory().Filter(id);
  ASSERT_NE(filter, nullptr);
  EXPECT_EQ(filter->Size(), 2U);
}

}  // namespace
}  // namespace harlune
