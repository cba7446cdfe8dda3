// The engine against a driver on a real socket that restarts, answers late,
// refuses or turns out to be another driver: what the application holds must
// stay what the driver holds.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/app/harlune_engine.h"
#include "headless/status_line.h"
#include "platform/linux/unix_socket_transport.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/class_list_driver.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using namespace std::chrono_literals;
using protocol::RequestCode;
using testing::ClassListDriver;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

class DriverFaultTest : public ::testing::Test {
 protected:
  DriverFaultTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    services_.socketTransport = &transport_;
    services_.deviceNames = {SocketPath()};
    driver_ = std::make_unique<ClassListDriver>(SocketPath());
  }
  ~DriverFaultTest() override {
    if (engine_ && !engine_->Closed()) {
      engine_->Close();
    }
  }

  std::string SocketPath() const { return (socketDir_.path() / "PassThru").string(); }

  // Starts with filtering on and the filters named, one per name.
  void Start(const std::vector<std::string>& names) {
    engine_ = std::make_unique<HarluneEngine>(settingsDir_.path(), services_, dialogs_, scheduler_,
                                              view_);
    engine_->LoadSettings();
    engine_->settings().general.STARTUP_ON = 1;
    ASSERT_TRUE(engine_->Start());
    for (const std::string& name : names) {
      PacketFilterSetting record;
      record.Name = name;
      record.LowerAdapterName = "eth0";
      record.TBFRate = 51200;
      ASSERT_TRUE(engine_->NewFilter(record).changed) << name;
    }
  }

  // The driver stops; a new one (ids from 1 again) starts after `gap` ticks
  // of the statistics timer without any driver.
  void RestartDriver(int gapTicks, std::uint32_t version = protocol::kDriverVersion) {
    driver_.reset();
    for (int i = 0; i < gapTicks; ++i) {
      engine_->StatisticsTick();
    }
    driver_ = std::make_unique<ClassListDriver>(SocketPath());
    driver_->SetVersion(version);
  }

  std::vector<std::uint32_t> ListClassIds() const {
    std::vector<std::uint32_t> ids;
    const PacketFilterManager& filters = engine_->settings().filters;
    for (std::size_t i = 0; i < filters.Size(); ++i) {
      ids.push_back(filters.At(i).DriverClassId);
    }
    return ids;
  }

  std::size_t Logged(RequestCode code) const {
    const auto log = driver_->Log();
    return static_cast<std::size_t>(std::ranges::count_if(
        log, [code](const ClassListDriver::Logged& entry) { return entry.code == Code(code); }));
  }

  testing::TempDir socketDir_;
  testing::TempDir settingsDir_;
  UnixSocketTransport transport_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  std::unique_ptr<ClassListDriver> driver_;
  std::unique_ptr<HarluneEngine> engine_;
};

TEST_F(DriverFaultTest, DriverRestartedWithoutAGapGetsTheWholeSessionBack) {
  Start({"a", "b"});
  engine_->StatisticsTick();
  ASSERT_EQ(driver_->ClassesOf("eth0"), ListClassIds());

  RestartDriver(0);
  EXPECT_TRUE(driver_->ClassesOf("eth0").empty());
  engine_->StatisticsTick();  // notices the lost connection and heals

  EXPECT_TRUE(driver_->InSession("eth0"));
  EXPECT_TRUE(driver_->Filtering("eth0"));
  EXPECT_EQ(driver_->ClassesOf("eth0").size(), 2U);
  EXPECT_EQ(driver_->ClassesOf("eth0"), ListClassIds());
  EXPECT_EQ(engine_->adapters().AdapterValidOf("eth0"), 1);
  EXPECT_THAT(dialogs_.messages, IsEmpty());

  // Healed once: later ticks leave the session alone.
  for (int i = 0; i < 10; ++i) {
    engine_->StatisticsTick();
  }
  EXPECT_EQ(Logged(RequestCode::HlInitialize), 1U);
}

TEST_F(DriverFaultTest, WhileNoDriverAnswersNothingIsShownAndItHealsWhenOneDoes) {
  Start({"a"});
  engine_->StatisticsTick();

  RestartDriver(3);
  // The gap: the adapter was not usable and no rate was read for the class.
  EXPECT_EQ(engine_->SilentAdapters(), std::vector<std::string>{"eth0"});
  EXPECT_EQ(engine_->adapters().AdapterValidOf("eth0"), 0);
  EXPECT_EQ(engine_->settings().filters.At(0).RateHistory.back(), 0U);
  EXPECT_EQ(FilterRateText(engine_->settings().filters.At(0), true), kDriverSilentText);
  EXPECT_THAT(StatusLine(*engine_), ::testing::HasSubstr("adapters none | driver not answering "
                                                         "on eth0 |"));

  // The silent adapter is asked again within half a second of ticks.
  for (std::size_t i = 0; i < DriverWatch::kProbePeriodTicks; ++i) {
    engine_->StatisticsTick();
  }
  EXPECT_THAT(engine_->SilentAdapters(), IsEmpty());
  EXPECT_THAT(StatusLine(*engine_), ::testing::HasSubstr("filtering on | adapters eth0 | filters"));
  EXPECT_EQ(engine_->adapters().AdapterValidOf("eth0"), 1);
  EXPECT_EQ(driver_->ClassesOf("eth0"), ListClassIds());
  EXPECT_TRUE(driver_->Filtering("eth0"));
}

TEST_F(DriverFaultTest, LateAnswersAreWaitedForAndNothingIsCarriedOutTwice) {
  driver_->AnswerLate(Code(RequestCode::HlAddTBFClass), 2500ms);
  driver_->AnswerLate(Code(RequestCode::HlUpTBFClass), 2500ms);
  Start({"a", "b"});
  EXPECT_EQ(Logged(RequestCode::HlAddTBFClass), 2U);
  EXPECT_EQ(driver_->ClassesOf("eth0"), ListClassIds());

  const std::vector<std::size_t> second{1};
  ASSERT_TRUE(engine_->FiltersUp(second).changed);
  engine_->StatisticsTick();
  EXPECT_EQ(Logged(RequestCode::HlUpTBFClass), 1U);
  EXPECT_EQ(driver_->ClassesOf("eth0"), ListClassIds());
  EXPECT_EQ(engine_->settings().filters.At(0).Name, "b");
  EXPECT_EQ(Logged(RequestCode::HlInitialize), 1U);  // no restart was needed
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(DriverFaultTest, AClassThatCouldNotBeAddedAgainIsNeverNamedByItsOldId) {
  Start({"a", "b", "c"});
  ASSERT_EQ(ListClassIds(), (std::vector<std::uint32_t>{1, 2, 3}));

  RestartDriver(0);
  // a is refused, b gets 1 and c 2: a's old id now names b's class.
  driver_->Refuse(Code(RequestCode::HlAddTBFClass), 1);
  engine_->StatisticsTick();
  EXPECT_THAT(dialogs_.messages, ElementsAre("FAILED: HlAddTBFClass"));
  EXPECT_EQ(ListClassIds(), (std::vector<std::uint32_t>{kNoDriverClass, 1, 2}));
  EXPECT_EQ(driver_->ClassesOf("eth0"), (std::vector<std::uint32_t>{1, 2}));

  const std::size_t before = driver_->Log().size();
  engine_->StatisticsTick();
  const std::vector<std::size_t> rowA{0};
  ASSERT_TRUE(engine_->ToggleFilters(rowA).changed);
  ASSERT_TRUE(engine_->FiltersDown(rowA).changed);
  const auto log = driver_->Log();
  std::vector<std::uint32_t> named;
  for (std::size_t i = before; i < log.size(); ++i) {
    if (log[i].classId) {
      named.push_back(*log[i].classId);
    }
  }
  // One statistics read per class the driver has, and nothing for a.
  EXPECT_THAT(named, ElementsAre(1U, 2U));
  EXPECT_EQ(driver_->ClassesOf("eth0"), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(Logged(RequestCode::HlInitialize), 1U);  // a refusal is no restart
}

TEST_F(DriverFaultTest, ADriverWithoutTheBatchesGetsSingleRequestsUntilTheSessionStartsAnew) {
  driver_->DoNotKnow(Code(RequestCode::HlGetStatisticsBatch));
  driver_->DoNotKnow(Code(RequestCode::HlSetTBFClassRates));
  Start({"a", "b"});
  for (int i = 0; i < 3; ++i) {
    engine_->StatisticsTick();
  }
  // Asked once, then one request per class in the same and later ticks.
  EXPECT_EQ(Logged(RequestCode::HlGetStatisticsBatch), 2U);  // logged per class named
  EXPECT_EQ(Logged(RequestCode::HlGetTBFClassStatistics), 6U);
  EXPECT_EQ(Logged(RequestCode::HlGetTotalStatistics), 3U);
  EXPECT_TRUE(engine_->DriverBatchFallbackUsed());
  EXPECT_EQ(engine_->settings().filters.At(1).RateHistory.size(), 3U);

  // A restarted driver that knows them is asked again with the new session.
  RestartDriver(0);
  engine_->StatisticsTick();  // still the old session's requests; then heals
  EXPECT_EQ(Logged(RequestCode::HlInitialize), 1U);
  const std::size_t singles = Logged(RequestCode::HlGetTBFClassStatistics);
  const std::size_t batched = Logged(RequestCode::HlGetStatisticsBatch);
  engine_->StatisticsTick();
  EXPECT_EQ(driver_->ClassesOf("eth0"), ListClassIds());
  EXPECT_EQ(Logged(RequestCode::HlGetTBFClassStatistics), singles);
  EXPECT_EQ(Logged(RequestCode::HlGetStatisticsBatch), batched + 2);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kBatchlessDriverMessage)));  // told once
}

TEST_F(DriverFaultTest, AnotherDriverFoundDuringTheRunEndsTheProgram) {
  Start({"a"});
  RestartDriver(0, 20005);
  engine_->StatisticsTick();

  EXPECT_THAT(dialogs_.messages, ElementsAre(WrongDriverMessage()));
  EXPECT_TRUE(engine_->EndedForWrongDriver());
  EXPECT_EQ(view_.closeRequests, 1);
  EXPECT_FALSE(scheduler_.IsArmed(EngineTimer::kStatistics));
  EXPECT_TRUE(engine_->Close());
  EXPECT_TRUE(engine_->Closed());
}

TEST_F(DriverFaultTest, AnotherDriverMetByTheAdapterWatchEndsTheProgram) {
  Start({"a"});
  driver_->SetVersion(20005);
  services_.adapters.SetAdapters(
      {{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}, {3, "card", "eth1", {Ipv4(192, 168, 1, 2)}}});
  engine_->AdapterTick();

  EXPECT_THAT(dialogs_.messages, ElementsAre(WrongDriverMessage()));
  EXPECT_TRUE(engine_->EndedForWrongDriver());
  EXPECT_EQ(view_.closeRequests, 1);
  // The session was ended before the end, as the close does it.
  EXPECT_FALSE(driver_->InSession("eth0"));
  engine_->StatisticsTick();  // nothing more is sent
  const std::size_t sent = driver_->Log().size();
  engine_->ConnectionTick();
  EXPECT_EQ(driver_->Log().size(), sent);
}

}  // namespace
}  // namespace harlune
