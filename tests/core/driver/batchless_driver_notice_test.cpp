// A driver that does not know the batch requests still gets every number
// read, one request each, and the user is told once per program run; a
// driver that knows them costs the user no message.

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "core/filter/packet_filter_setting.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

class BatchlessDriverNoticeTest : public ::testing::Test {
 protected:
  BatchlessDriverNoticeTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(198, 18, 0, 2)}}});
    engine_ =
        std::make_unique<HarluneEngine>(folder_.path(), services_, dialogs_, scheduler_, view_);
  }

  void WithoutBatches() {
    for (const RequestCode code :
         {RequestCode::HlGetStatisticsBatch, RequestCode::HlSetTBFClassRates}) {
      services_.transport.replies[Code(code)] = {protocol::device_error::kInvalidFunction, {}};
    }
  }

  std::size_t Notices() const {
    return static_cast<std::size_t>(std::count(dialogs_.messages.begin(), dialogs_.messages.end(),
                                               std::string(kBatchlessDriverMessage)));
  }

  std::size_t Count(RequestCode code) const {
    return services_.transport.CallsWithCode(Code(code)).size();
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  std::unique_ptr<HarluneEngine> engine_;
};

TEST_F(BatchlessDriverNoticeTest, TheUserIsToldOnceAcrossTicksAndSessions) {
  WithoutBatches();
  ASSERT_TRUE(engine_->Initialise());
  for (int tick = 0; tick < 5; ++tick) {
    engine_->StatisticsTick();
  }
  EXPECT_EQ(Notices(), 1U);
  // The totals still came, one request per tick after the refused batch.
  EXPECT_EQ(Count(RequestCode::HlGetTotalStatistics), 5U);

  // A new session asks the batch again and is refused again: no new notice.
  services_.adapters.SetAdapters({{3, "card", "eth0", {Ipv4(198, 18, 0, 3)}}});
  engine_->AdapterTick();
  engine_->StatisticsTick();
  EXPECT_GE(Count(RequestCode::HlGetStatisticsBatch), 2U);
  EXPECT_EQ(Notices(), 1U);
}

TEST_F(BatchlessDriverNoticeTest, ADriverWithTheBatchesCostsNoMessage) {
  ASSERT_TRUE(engine_->Initialise());
  for (int tick = 0; tick < 5; ++tick) {
    engine_->StatisticsTick();
  }
  EXPECT_EQ(Notices(), 0U);
  EXPECT_EQ(Count(RequestCode::HlGetTotalStatistics), 0U);
  EXPECT_EQ(Count(RequestCode::HlGetStatisticsBatch), 5U);
}

}  // namespace
}  // namespace harlune
