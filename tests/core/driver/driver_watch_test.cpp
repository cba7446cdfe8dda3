#include "core/driver/driver_watch.h"

#include <gtest/gtest.h>

#include "protocol/byte_order.h"
#include "protocol/request_codes.h"
#include "support/fake_adapter_source.h"
#include "support/fake_device_transport.h"
#include "support/hex.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using protocol::RequestCode;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

using testing::Le32;

class DriverWatchTest : public ::testing::Test {
 protected:
  DriverWatchTest() {
    transport_.replies[Code(RequestCode::HlGetVersion)] = {0, Le32(protocol::kDriverVersion)};
    source_.SetAdapters({{2, "card", "eth0", {}}});
    adapters_.Refresh(
        source_, [](std::string_view) { return protocol::kDriverVersion; }, dialogs_);
    PacketFilterSetting filter;
    filter.LowerAdapterName = "eth0";
    filter.DriverClassId = 5;
    filters_.Add(filter);
  }

  testing::FakeDeviceTransport transport_;
  DriverLink driver_{transport_, {"/run/harlune/PassThru"}};
  FakeAdapterSource source_;
  AdapterTable adapters_;
  RecordingUserDialogs dialogs_;
  PacketFilterManager filters_{dialogs_};
  DriverWatch watch_{driver_, adapters_, filters_};
};

TEST_F(DriverWatchTest, ARefusalTheDriverStillStandsBehindChangesNothing) {
  transport_.queuedReplies[Code(RequestCode::HlSetTBFClassRate)] = {{31, {}}};
  EXPECT_FALSE(driver_.HlSetTBFClassRate("eth0", 5, 100));
  EXPECT_EQ(watch_.Check(), DriverCheck::kHealthy);
  // The class was read back to tell.
  EXPECT_EQ(transport_.CallsWithCode(Code(RequestCode::HlGetTBFClassStatistics)).size(), 1U);
  EXPECT_EQ(watch_.Check(), DriverCheck::kHealthy);
  EXPECT_EQ(transport_.CallsWithCode(Code(RequestCode::HlGetTBFClassStatistics)).size(), 1U);
}

TEST_F(DriverWatchTest, ADriverThatForgotAClassNeedsTheSessionAnew) {
  transport_.FailOn("eth0", Code(RequestCode::HlGetTBFClassStatistics));
  protocol::ClassStatistics statistics;
  EXPECT_FALSE(driver_.HlGetTBFClassStatistics("eth0", 5, statistics));
  EXPECT_EQ(watch_.Check(), DriverCheck::kRestartSession);
}

TEST_F(DriverWatchTest, SilentDriverIsAskedAgainEveryFewTicksUntilItAnswers) {
  ASSERT_TRUE(driver_.HlInitialize("eth0"));
  transport_.CloseConnections();
  transport_.devices.clear();
  EXPECT_FALSE(driver_.HlStartFiltering("eth0"));

  EXPECT_EQ(watch_.Check(), DriverCheck::kHealthy);
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 0);
  EXPECT_EQ(watch_.SilentAdapters(), std::vector<std::string>{"eth0"});
  const int opened = transport_.opened;
  for (std::size_t i = 1; i < DriverWatch::kProbePeriodTicks; ++i) {
    EXPECT_EQ(watch_.Check(), DriverCheck::kHealthy);
  }
  transport_.devices.insert("/run/harlune/PassThru");
  EXPECT_EQ(transport_.opened, opened);  // not asked in between
  EXPECT_EQ(watch_.Check(), DriverCheck::kRestartSession);
}

TEST_F(DriverWatchTest, AnotherVersionOrAForgottenDoubtDecideAtOnce) {
  ASSERT_TRUE(driver_.HlInitialize("eth0"));
  transport_.CloseConnections();
  EXPECT_TRUE(driver_.HlStartFiltering("eth0"));  // sent again: harmless
  transport_.replies[Code(RequestCode::HlGetVersion)] = {0, Le32(20005)};
  EXPECT_EQ(watch_.Check(), DriverCheck::kWrongDriver);

  transport_.CloseConnections();
  EXPECT_TRUE(driver_.HlStartFiltering("eth0"));
  watch_.Forget();  // a session start gives the driver everything anew
  EXPECT_EQ(watch_.Check(), DriverCheck::kHealthy);
}

}  // namespace
}  // namespace harlune
