// The whole application against a driver that knows only IPv4: it answers
// "unknown request" to every IPv6 request, and everything of IPv4 must work
// as before, the user being told once per run.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "core/base/string_resources.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

std::vector<std::uint8_t> ClassStatisticsReply(std::uint64_t bytes, std::uint32_t rate) {
  std::vector<std::uint8_t> reply(protocol::kClassStatisticsSize);
  protocol::StoreLe32(reply, 0, static_cast<std::uint32_t>(bytes));
  protocol::StoreLe32(reply, 4, static_cast<std::uint32_t>(bytes >> 32));
  protocol::StoreLe32(reply, 8, rate);
  return reply;
}

class Ipv4OnlyDriverEngineTest : public ::testing::Test {
 protected:
  Ipv4OnlyDriverEngineTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(198, 18, 0, 2)}}});
    for (const RequestCode code : {RequestCode::HlSetTBFClassFamily, RequestCode::HlReadPackets6,
                                   RequestCode::HlResetTcp6Connection}) {
      services_.transport.replies[Code(code)] = {protocol::device_error::kInvalidFunction, {}};
    }
    services_.transport.replies[Code(RequestCode::HlGetTBFClassStatistics)] = {
        0, ClassStatisticsReply(5000, 2048)};
    engine_ =
        std::make_unique<HarluneEngine>(folder_.path(), services_, dialogs_, scheduler_, view_);
  }

  std::size_t Count(RequestCode code) const {
    return services_.transport.CallsWithCode(Code(code)).size();
  }

  // A tick's worth of IPv4 records, read until the driver has none.
  void CaptureTickWithRecords(std::size_t records) {
    services_.transport.queuedReplies[Code(RequestCode::HlReadPackets)].push_back(
        {0, std::vector<std::uint8_t>(records * protocol::kCaptureRecordSize, 0)});
    engine_->CaptureTick();
  }

  static PacketFilterSetting Ipv6Filter() {
    PacketFilterSetting filter;
    filter.Name = "v6";
    filter.LowerAdapterName = "eth0";
    filter.RemoteIpv6 = {ParseIpAddress("2001:db8:1::").value().Ipv6Bytes(), 48};
    return filter;
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  std::unique_ptr<HarluneEngine> engine_;
};

TEST_F(Ipv4OnlyDriverEngineTest, EverythingOfIpv4WorksAndTheUserIsToldOnce) {
  ASSERT_TRUE(engine_->Initialise());
  engine_->packets().ClickCaptureBox(CheckState::kChecked);
  const PacketList& all = engine_->packets().List(engine_->packets().AllIndex());

  // The first capture tick finds the driver; later ones do not ask again.
  for (int tick = 0; tick < 3; ++tick) {
    CaptureTickWithRecords(2);
  }
  EXPECT_EQ(all.LiveStore().size(), 6U);
  EXPECT_EQ(Count(RequestCode::HlReadPackets6), 1U);
  EXPECT_EQ(engine_->adapters().AdapterValidOf("eth0"), 1);

  // Filters with IPv6 settings are added and edited as IPv4 ones are.
  PacketFilterSetting plain;
  plain.LowerAdapterName = "eth0";
  ASSERT_TRUE(engine_->NewFilter(plain).changed);
  ASSERT_TRUE(engine_->NewFilter(Ipv6Filter()).changed);
  PacketFilterSetting edited = engine_->settings().filters.At(1);
  edited.TBFRate = 4096;
  ASSERT_TRUE(engine_->EditFilter(1, edited).changed);
  EXPECT_EQ(engine_->settings().filters.At(1).TBFRate, 4096U);
  EXPECT_EQ(engine_->settings().filters.At(1).DriverClassId, 1U);
  EXPECT_EQ(Count(RequestCode::HlSetTBFClassFamily), 0U);

  for (int tick = 0; tick < 3; ++tick) {
    engine_->StatisticsTick();
  }
  EXPECT_EQ(engine_->settings().filters.At(1).TransferredBytes, 5000U);
  EXPECT_EQ(view_.sessionStarts, 1);  // no restart was taken for a fault

  // A new session probes the driver again and tells nobody twice.
  engine_->EndSession();
  ASSERT_EQ(engine_->StartSession(), SessionStart::kStarted);
  EXPECT_EQ(Count(RequestCode::HlSetTBFClassFamily), 1U);
  CaptureTickWithRecords(1);
  CaptureTickWithRecords(1);
  // The new session's packet lists start empty.
  EXPECT_EQ(engine_->packets().List(engine_->packets().AllIndex()).LiveStore().size(), 2U);
  EXPECT_EQ(Count(RequestCode::HlReadPackets6), 1U);  // the family request found it first

  ASSERT_TRUE(engine_->SaveAllSettings());
  EXPECT_THAT(testing::ReadFileText(folder_.path() / strings::kPacketFilterSettingFile),
              HasSubstr("<RemoteIPv6Addr>2001:db8:1::</RemoteIPv6Addr>"));
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kIpv4OnlyDriverMessage)));
}

TEST_F(Ipv4OnlyDriverEngineTest, SessionStartWithAnIpv6FilterKeepsItsClass) {
  engine_->LoadSettings();
  engine_->settings().filters.Add(Ipv6Filter());
  ASSERT_TRUE(engine_->Start());

  EXPECT_EQ(engine_->settings().filters.At(0).DriverClassId, 1U);
  EXPECT_EQ(Count(RequestCode::HlSetTBFClassFamily), 1U);
  engine_->CaptureTick();
  engine_->StatisticsTick();
  EXPECT_EQ(Count(RequestCode::HlReadPackets6), 0U);
  EXPECT_EQ(Count(RequestCode::HlDeleteTBFClass), 0U);
  EXPECT_EQ(engine_->adapters().AdapterValidOf("eth0"), 1);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kIpv4OnlyDriverMessage)));
}

}  // namespace
}  // namespace harlune
