// The capture tick reads an adapter's ring only when the last statistics
// batch said records wait there, or when no batch reply is known (a driver
// without the batch, a new session, a failed batch); no record is lost.

#include <filesystem>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "protocol/request_codes.h"
#include "protocol/statistics_batch.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

class CaptureHintEngineTest : public ::testing::Test {
 protected:
  CaptureHintEngineTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(198, 18, 0, 2)}}});
    engine_ =
        std::make_unique<HarluneEngine>(folder_.path(), services_, dialogs_, scheduler_, view_);
  }

  std::size_t Reads(RequestCode code) const {
    return services_.transport.CallsWithCode(Code(code)).size();
  }

  // Records the driver will hand out, `perRead` at a time.
  void Queue(std::size_t records, std::size_t perRead = 100) {
    auto& queue = services_.transport.queuedReplies[Code(RequestCode::HlReadPackets)];
    for (std::size_t left = records; left > 0; left -= std::min(left, perRead)) {
      queue.push_back({0, std::vector<std::uint8_t>(
                              std::min(left, perRead) * protocol::kCaptureRecordSize, 0)});
    }
  }

  // The capture tick's reads of each family.
  std::pair<std::size_t, std::size_t> CaptureTickReads() {
    const std::size_t before4 = Reads(RequestCode::HlReadPackets);
    const std::size_t before6 = Reads(RequestCode::HlReadPackets6);
    engine_->CaptureTick();
    return {Reads(RequestCode::HlReadPackets) - before4,
            Reads(RequestCode::HlReadPackets6) - before6};
  }

  const PacketList& All() { return engine_->packets().List(engine_->packets().AllIndex()); }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  std::unique_ptr<HarluneEngine> engine_;
};

TEST_F(CaptureHintEngineTest, AnEmptyRingIsNotReadUntilABatchSaysRecordsWait) {
  ASSERT_TRUE(engine_->Initialise());
  engine_->packets().ClickCaptureBox(CheckState::kChecked);
  // No batch reply yet: both families are read.
  EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{1, 1}));

  engine_->StatisticsTick();
  EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{0, 0}));

  Queue(3);
  EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{0, 0}));  // not yet told
  engine_->StatisticsTick();
  EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{2, 0}));  // drained
  EXPECT_EQ(All().LiveStore().size(), 3U);
  // Drained: nothing is read again until the next batch reply.
  EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{0, 0}));
}

TEST_F(CaptureHintEngineTest, AFullRingIsReadWhole) {
  ASSERT_TRUE(engine_->Initialise());
  engine_->packets().ClickCaptureBox(CheckState::kChecked);
  engine_->StatisticsTick();
  engine_->CaptureTick();
  Queue(1000);  // a ring that filled between two batches
  engine_->StatisticsTick();
  EXPECT_EQ(CaptureTickReads().first, 11U);
  EXPECT_EQ(All().LiveStore().size(),
            std::min<std::size_t>(1000, engine_->settings().general.MAX_PACKET_CAPTURE_NUM));
  EXPECT_TRUE(services_.transport.queuedReplies[Code(RequestCode::HlReadPackets)].empty());
}

TEST_F(CaptureHintEngineTest, WithoutAKnownReplyEveryTickReads) {
  services_.transport.knowsBatches = false;
  ASSERT_TRUE(engine_->Initialise());
  for (int i = 0; i < 3; ++i) {
    engine_->StatisticsTick();
    EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{1, 1}));
  }
  EXPECT_TRUE(engine_->DriverBatchFallbackUsed());

  // A batch that fails, and a new session, forget what the last one said.
  services_.transport.knowsBatches = true;
  engine_->EndSession();
  ASSERT_EQ(engine_->StartSession(), SessionStart::kStarted);
  engine_->StatisticsTick();
  EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{0, 0}));
  services_.transport.FailOn("eth0", Code(RequestCode::HlGetStatisticsBatch), 31);
  engine_->StatisticsTick();
  EXPECT_EQ(CaptureTickReads(), (std::pair<std::size_t, std::size_t>{1, 1}));
}

}  // namespace
}  // namespace harlune
