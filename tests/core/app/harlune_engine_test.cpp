#include "core/app/harlune_engine.h"

#include <filesystem>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/base/string_resources.h"
#include "core/control/operate_connection_rule.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using std::chrono::milliseconds;
using ::testing::ElementsAre;
using testing::FakeEngineServices;
using ::testing::IsEmpty;
using testing::ReadFileText;
using testing::RecordingScheduler;
using testing::RecordingView;
using testing::TempDir;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

class HarluneEngineTest : public ::testing::Test {
 protected:
  HarluneEngineTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
  }

  HarluneEngine& Engine() {
    if (!engine_) {
      engine_ =
          std::make_unique<HarluneEngine>(folder_.path(), services_, dialogs_, scheduler_, view_);
    }
    return *engine_;
  }

  // Starts with the general settings given before the first start.
  bool Start(const std::function<void(IniFileObject&)>& configure = {}) {
    if (configure) {
      configure(Engine().settings().general);
    }
    return Engine().Initialise();
  }

  std::size_t Count(RequestCode code) const {
    return services_.transport.CallsWithCode(Code(code)).size();
  }

  std::filesystem::path File(std::string_view name) const { return folder_.path() / name; }

  TempDir folder_;
  FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  RecordingScheduler scheduler_;
  RecordingView view_;
  std::unique_ptr<HarluneEngine> engine_;
};

TEST_F(HarluneEngineTest, FirstStartWritesEveryFileAndArmsTheTimers) {
  ASSERT_TRUE(Start());

  for (const auto name :
       {strings::kGeneralSettingFile, strings::kPacketFilterSettingFile, strings::kHtbSettingFile,
        strings::kConnectionControlRuleFile, strings::kExternalCommandFile}) {
    EXPECT_TRUE(std::filesystem::exists(File(name))) << name;
  }
  EXPECT_TRUE(Engine().settingsSaved());
  EXPECT_EQ(scheduler_.armed.at(EngineTimer::kCapture).period, milliseconds(200));
  EXPECT_EQ(scheduler_.armed.at(EngineTimer::kStatistics).period, milliseconds(100));
  EXPECT_EQ(scheduler_.armed.at(EngineTimer::kConnections).period, milliseconds(1000));
  EXPECT_EQ(scheduler_.armed.at(EngineTimer::kAdapters).period, milliseconds(5000));
  EXPECT_FALSE(scheduler_.IsArmed(EngineTimer::kAutoSave));
  EXPECT_FALSE(scheduler_.IsArmed(EngineTimer::kStartHidden));
  EXPECT_EQ(Count(RequestCode::HlInitialize), 1U);
  EXPECT_EQ(view_.sessionStarts, 1);
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

// The mapping setting matters only to a table without owners, so the
// options page offers it only then.
TEST_F(HarluneEngineTest, PortMappingAppliesOnlyToAPlainTable) {
  ASSERT_TRUE(Start());
  EXPECT_FALSE(Engine().PortMappingApplies());
  services_.table->carriesOwners = false;
  HarluneEngine plain(folder_.path() / "plain", services_, dialogs_, scheduler_, view_);
  ASSERT_TRUE(plain.Initialise());
  EXPECT_TRUE(plain.PortMappingApplies());
}

TEST_F(HarluneEngineTest, StartupOnSwitchesFilteringOnWithTheSession) {
  ASSERT_TRUE(Start([](IniFileObject& s) { s.STARTUP_ON = 1; }));
  EXPECT_TRUE(Engine().filtering());
  EXPECT_TRUE(view_.filteringShown);
  EXPECT_EQ(Count(RequestCode::HlStartFiltering), 1U);
}

TEST_F(HarluneEngineTest, AWrongDriverEndsTheStart) {
  services_.transport.ReplyOn("eth0", Code(RequestCode::HlGetVersion), {0x25, 0x4e, 0, 0});
  EXPECT_FALSE(Start());
  EXPECT_FALSE(scheduler_.IsArmed(EngineTimer::kConnections));
}

TEST_F(HarluneEngineTest, ChangesArmTheAutoSaveOnlyWhenItIsOn) {
  ASSERT_TRUE(Start());
  PacketFilterSetting record;
  record.LowerAdapterName = "eth0";
  ASSERT_TRUE(Engine().NewFilter(record).changed);
  EXPECT_FALSE(Engine().settingsSaved());
  EXPECT_EQ(scheduler_.armed.at(EngineTimer::kAutoSave).period, milliseconds(10000));
  EXPECT_TRUE(scheduler_.armed.at(EngineTimer::kAutoSave).oneShot);

  Engine().AutoSaveTick();
  EXPECT_TRUE(Engine().settingsSaved());
  EXPECT_FALSE(scheduler_.IsArmed(EngineTimer::kAutoSave));
  EXPECT_THAT(ReadFileText(File(strings::kPacketFilterSettingFile)),
              ::testing::HasSubstr("NewFilter"));

  Engine().settings().general.AUTO_SAVE = 0;
  Engine().MarkChanged();
  EXPECT_FALSE(scheduler_.IsArmed(EngineTimer::kAutoSave));
}

TEST_F(HarluneEngineTest, DecliningToSaveWritesOnlyTheGeneralSettingsAndAsksNothingMore) {
  ASSERT_TRUE(Start([](IniFileObject& s) {
    s.AUTO_SAVE = 0;
    s.CONFIRM_CLOSE = 1;
  }));
  const std::string filtersBefore = ReadFileText(File(strings::kPacketFilterSettingFile));
  std::filesystem::remove(File(strings::kGeneralSettingFile));
  PacketFilterSetting record;
  record.LowerAdapterName = "eth0";
  Engine().NewFilter(record);

  dialogs_.answers = {QuestionAnswer::kNo};
  ASSERT_TRUE(Engine().Close());

  EXPECT_THAT(dialogs_.questions, ElementsAre(std::string(kUnsavedQuestion)));
  EXPECT_EQ(ReadFileText(File(strings::kPacketFilterSettingFile)), filtersBefore);
  EXPECT_TRUE(std::filesystem::exists(File(strings::kGeneralSettingFile)));
  EXPECT_EQ(Count(RequestCode::HlReleaseAdapter), 1U);
  EXPECT_EQ(Count(RequestCode::HlUninitialize), 1U);
  EXPECT_TRUE(scheduler_.armed.empty());
}

TEST_F(HarluneEngineTest, CancelOrARefusedConfirmationKeepsTheProgramRunning) {
  ASSERT_TRUE(Start([](IniFileObject& s) { s.AUTO_SAVE = 0; }));
  Engine().MarkChanged();
  dialogs_.answers = {QuestionAnswer::kCancel};
  EXPECT_FALSE(Engine().Close());
  EXPECT_FALSE(Engine().Closed());
  EXPECT_EQ(Count(RequestCode::HlReleaseAdapter), 0U);

  Engine().settings().general.AUTO_SAVE = 1;
  Engine().settings().general.CONFIRM_CLOSE = 1;
  dialogs_.answers = {QuestionAnswer::kNo};
  EXPECT_FALSE(Engine().Close());  // saved first, then asked
  EXPECT_TRUE(Engine().settingsSaved());
  EXPECT_EQ(dialogs_.questions.back(), kConfirmCloseQuestion);
  EXPECT_TRUE(scheduler_.IsArmed(EngineTimer::kStatistics));
}

TEST_F(HarluneEngineTest, AMinimisedStartStaysHiddenUntilTheDelayEnds) {
  ASSERT_TRUE(Start([](IniFileObject& s) { s.STARTUP_MINIMIZE = 1; }));
  EXPECT_TRUE(Engine().windowHidden());
  EXPECT_TRUE(Engine().startHidden());
  EXPECT_EQ(scheduler_.armed.at(EngineTimer::kStartHidden).period, milliseconds(4000));
  EXPECT_EQ(view_.connectionRedraws, 0);

  Engine().StartHiddenTick(/*visible=*/false);
  EXPECT_FALSE(Engine().startHidden());
  EXPECT_TRUE(Engine().windowHidden());
  EXPECT_FALSE(scheduler_.IsArmed(EngineTimer::kStartHidden));
}

TEST_F(HarluneEngineTest, AnUnreadableTcpTableAsksTheFrontEndToClose) {
  ASSERT_TRUE(Start());
  services_.table->ok = false;
  Engine().ConnectionTick();
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kTcpTableFailedMessage)));
  EXPECT_EQ(view_.closeRequests, 1);
}

TEST_F(HarluneEngineTest, StatisticsAreRedrawnOnlyWhileTheWindowIsShown) {
  ASSERT_TRUE(Start([](IniFileObject& s) { s.VIEW_REFRESH_CYCLE = 100; }));
  Engine().SetWindowHidden(true);
  Engine().StatisticsTick();
  Engine().StatisticsTick();
  EXPECT_EQ(view_.statisticsRedraws, 0);
  Engine().SetWindowHidden(false);
  Engine().StatisticsTick();
  EXPECT_EQ(view_.statisticsRedraws, 1);
}

TEST_F(HarluneEngineTest, ANewAdapterRestartsTheSession) {
  ASSERT_TRUE(Start());
  services_.adapters.SetAdapters(
      {{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}, {3, "card", "eth1", {Ipv4(10, 0, 0, 2)}}});
  Engine().AdapterTick();
  EXPECT_EQ(Count(RequestCode::HlReleaseAdapter), 1U);
  EXPECT_EQ(Count(RequestCode::HlInitialize), 3U);
  EXPECT_FALSE(Engine().settingsSaved());
  EXPECT_EQ(view_.sessionStarts, 2);

  Engine().AdapterTick();  // nothing changed since
  EXPECT_EQ(view_.sessionStarts, 2);
}

TEST_F(HarluneEngineTest, CapturedPacketsReachThePacketMonitorOnlyWhileCapturing) {
  ASSERT_TRUE(Start());
  auto& queue = services_.transport.queuedReplies[Code(RequestCode::HlReadPackets)];
  const std::vector<std::uint8_t> twoRecords(2 * protocol::kCaptureRecordSize, 0);
  const PacketList& all = Engine().packets().List(Engine().packets().AllIndex());

  queue.push_back({0, twoRecords});
  Engine().CaptureTick();
  EXPECT_TRUE(all.LiveStore().empty());

  Engine().packets().ClickCaptureBox(CheckState::kChecked);
  queue.push_back({0, twoRecords});
  queue.push_back({0, twoRecords});  // the adapter is read until it is empty
  Engine().CaptureTick();
  EXPECT_EQ(all.LiveStore().size(), 4U);
  EXPECT_EQ(all.Rows().size(), 4U);  // small stores are redrawn once per tick
  EXPECT_EQ(view_.packetRedraws, 1);
}

// A second connection of the served process, from port 50001.
TcpTableRow SecondConnection(const FakeEngineServices& services) {
  TcpTableRow row = services.table->rows.front();
  row.localPort = protocol::HostToNet16(50001);
  return row;
}

// The logs would go to the working folder.
void NoLogs(IniFileObject& settings) {
  settings.LOG_CONNECTION_CONTROL = 0;
  settings.LOG_CONNECTION_STATS = 0;
}

// Connection control on, with one rule that ends every connection, so that
// a control pass shows as a reset.
void DisconnectEverything(HarluneEngine& engine, RecordingUserDialogs& dialogs) {
  IniFileObject& settings = engine.settings().general;
  settings.CONNECTION_CONTROL = 1;
  settings.START_CONNECTION_CONTROL_WITH_FILTERING = 0;
  engine.ApplyGeneralSettings();
  OperateConnectionRule rule;
  rule.Name = "Cut";
  rule.Action = kActionDisconnect;
  ASSERT_TRUE(engine.control().AppendRule(rule, dialogs));
}

TEST_F(HarluneEngineTest, ConnectionTickTakeOnlyReadsAndItsApplyDoesTheRestOfTheTick) {
  services_.ServeOneEstablishedConnection();
  ASSERT_TRUE(Start(NoLogs));
  DisconnectEverything(Engine(), dialogs_);
  services_.table->rows.push_back(SecondConnection(services_));
  const int redraws = view_.connectionRedraws;

  ConnectionTake take = Engine().ConnectionTickTake();
  EXPECT_EQ(Engine().connections().Connections().size(), 1u) << "the take applies nothing";
  EXPECT_EQ(view_.connectionRedraws, redraws);
  EXPECT_TRUE(services_.resetter.reset.empty()) << "no control pass at the take";

  Engine().ConnectionTickApply(std::move(take));
  EXPECT_EQ(Engine().connections().Connections().size(), 2u);
  EXPECT_EQ(view_.connectionRedraws, redraws + 1);
  EXPECT_EQ(services_.resetter.reset.size(), 2u) << "the pass ran after the refresh";
  EXPECT_TRUE(dialogs_.messages.empty());
}

TEST_F(HarluneEngineTest, ATakeOvertakenByALaterRefreshIsNotApplied) {
  services_.ServeOneEstablishedConnection();
  ASSERT_TRUE(Start(NoLogs));
  ConnectionTake older = Engine().ConnectionTickTake();
  services_.table->rows.push_back(SecondConnection(services_));
  Engine().ConnectionTick();
  ASSERT_EQ(Engine().connections().Connections().size(), 2u);
  const int redraws = view_.connectionRedraws;

  Engine().ConnectionTickApply(std::move(older));
  EXPECT_EQ(Engine().connections().Connections().size(), 2u)
      << "the older table would have closed the second connection";
  EXPECT_EQ(view_.connectionRedraws, redraws);
}

TEST_F(HarluneEngineTest, AFailedTakeClosesAtItsApplyAndAnApplyAfterTheCloseDoesNothing) {
  services_.ServeOneEstablishedConnection();
  ASSERT_TRUE(Start(NoLogs));
  services_.table->ok = false;
  ConnectionTake failed = Engine().ConnectionTickTake();
  EXPECT_TRUE(dialogs_.messages.empty()) << "the take tells nobody";
  Engine().ConnectionTickApply(std::move(failed));
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kTcpTableFailedMessage)));
  EXPECT_EQ(view_.closeRequests, 1);
  EXPECT_EQ(Engine().connections().Connections().size(), 1u) << "kept for the close's log";

  services_.table->ok = true;
  services_.table->rows.push_back(SecondConnection(services_));
  ConnectionTake late = Engine().ConnectionTickTake();
  ASSERT_TRUE(Engine().Close());
  const int redraws = view_.connectionRedraws;
  Engine().ConnectionTickApply(std::move(late));
  EXPECT_EQ(Engine().connections().Connections().size(), 1u);
  EXPECT_EQ(view_.connectionRedraws, redraws);
  EXPECT_EQ(dialogs_.messages.size(), 1u);
}

}  // namespace
}  // namespace harlune
