#include "core/driver/filtering_session.h"

#include <vector>

#include <gmock/gmock.h>
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
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

using testing::Le32;

class FilteringSessionTest : public ::testing::Test {
 protected:
  FilteringSessionTest() {
    transport_.replies[Code(RequestCode::HlGetVersion)] = {0, Le32(protocol::kDriverVersion)};
    // Every class the driver adds has an id; tests that need to tell them
    // apart answer per adapter.
    transport_.replies[Code(RequestCode::HlAddTBFClass)] = {0, Le32(9)};
    SetAdapters({"eth0", "eth1"});
  }

  void SetAdapters(const std::vector<std::string>& names) {
    std::vector<SystemAdapter> adapters;
    std::int32_t index = 2;
    for (const std::string& name : names) {
      adapters.push_back({index++, name + " card", name, {}});
    }
    source_.SetAdapters(adapters);
    adapters_.Refresh(
        source_, [](std::string_view) { return 0U; }, dialogs_);
  }

  // A filter whose class the driver has (ids 1, 2, ... by position), as a
  // session start or a new filter leaves it.
  PacketFilterSetting& AddFilter(std::string_view adapter, std::string_view name) {
    PacketFilterSetting record;
    record.LowerAdapterName = adapter;
    record.Name = name;
    record.DriverClassId = static_cast<std::uint32_t>(filters_.Size() + 1);
    return filters_.Add(record);
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < filters_.Size(); ++i) {
      names.push_back(filters_.At(i).Name);
    }
    return names;
  }

  std::size_t Count(RequestCode code) const { return transport_.CallsWithCode(Code(code)).size(); }

  testing::FakeDeviceTransport transport_;
  DriverLink driver_{transport_, {"/run/harlune/PassThru"}};
  FakeAdapterSource source_;
  AdapterTable adapters_;
  RecordingUserDialogs dialogs_;
  PacketFilterManager filters_{dialogs_};
  HTB_Manager htb_;
  FilteringSession session_{driver_, adapters_, filters_,
                            htb_,    dialogs_,  [] { return std::string("Tue Dec  8"); }};
};

TEST_F(FilteringSessionTest, StartLoadsFiltersOfUsableAdaptersOnly) {
  AddFilter("eth0", "a");
  AddFilter("gone0", "b");  // its adapter is not in the table
  AddFilter("eth1", "c");
  transport_.ReplyOn("eth0", Code(RequestCode::HlAddTBFClass), Le32(7));

  EXPECT_EQ(session_.StartSession(), SessionStart::kStarted);

  EXPECT_EQ(Count(RequestCode::HlInitialize), 2U);
  EXPECT_EQ(Count(RequestCode::HlAddTBFClass), 2U);
  EXPECT_EQ(filters_.At(0).DriverClassId, 7U);
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 1);
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(FilteringSessionTest, NoAdapterWarnsWithTheTimeAndLoadsNothing) {
  SetAdapters({});
  AddFilter("eth0", "a");

  EXPECT_EQ(session_.StartSession(), SessionStart::kNoAdapter);

  ASSERT_EQ(dialogs_.messages.size(), 1U);
  EXPECT_THAT(dialogs_.messages[0], ::testing::StartsWith("警告：Harlune2ドライバ"));
  EXPECT_THAT(dialogs_.messages[0], ::testing::EndsWith("時刻：Tue Dec  8"));
  EXPECT_EQ(Count(RequestCode::HlAddTBFClass), 0U);
}

TEST_F(FilteringSessionTest, SilentAdaptersAreSkippedAndAWrongDriverEndsTheStart) {
  transport_.FailOn("eth0", Code(RequestCode::HlGetVersion));
  transport_.ReplyOn("eth1", Code(RequestCode::HlGetVersion), Le32(20005));

  EXPECT_EQ(session_.StartSession(), SessionStart::kWrongDriver);

  EXPECT_THAT(dialogs_.messages, ElementsAre(WrongDriverMessage()));
  EXPECT_EQ(Count(RequestCode::HlInitialize), 0U);
}

TEST_F(FilteringSessionTest, FailedInitialiseCountsTheAdapterButInvalidatesIt) {
  transport_.FailOn("eth0", Code(RequestCode::HlInitialize));
  AddFilter("eth0", "a");

  EXPECT_EQ(session_.StartSession(), SessionStart::kStarted);

  EXPECT_THAT(dialogs_.messages, ElementsAre("FAILED: HlInitialize"));
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 0);
  EXPECT_EQ(Count(RequestCode::HlAddTBFClass), 0U);
}

TEST_F(FilteringSessionTest, SwitchSurvivesARestartAndOneFailingAdapterLeavesTheOther) {
  session_.SetFiltering(true);
  transport_.FailOn("eth1", Code(RequestCode::HlStartFiltering));

  session_.StartSession();

  EXPECT_TRUE(session_.filtering());
  EXPECT_EQ(transport_.CallsWithCode(Code(RequestCode::HlStartFiltering), "eth0").size(), 1U);
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 1);
  EXPECT_EQ(adapters_.AdapterValidOf("eth1"), 0);

  session_.ToggleFiltering();
  EXPECT_FALSE(session_.filtering());
  EXPECT_EQ(Count(RequestCode::HlStopFiltering), 1U);  // eth1 is no longer used
}

TEST_F(FilteringSessionTest, EndReleasesAndUninitialisesEvenWhenReleaseFails) {
  session_.StartSession();
  transport_.FailOn("eth0", Code(RequestCode::HlReleaseAdapter));

  session_.EndSession();

  EXPECT_EQ(Count(RequestCode::HlReleaseAdapter), 2U);
  EXPECT_EQ(Count(RequestCode::HlUninitialize), 2U);
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 0);
}

TEST_F(FilteringSessionTest, NewIsRefusedForAFullListOrAnUnusableAdapter) {
  session_.StartSession();
  PacketFilterSetting record;
  record.LowerAdapterName = "gone0";
  EXPECT_FALSE(session_.AddNew(record).changed);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kAdapterNotValidMessage)));

  record.LowerAdapterName = "eth0";
  transport_.FailOn("eth0", Code(RequestCode::HlAddTBFClass));
  EXPECT_FALSE(session_.AddNew(record).changed);
  EXPECT_EQ(filters_.Size(), 0U);

  transport_.repliesOf.clear();
  const FilterListChange change = session_.AddNew(record);
  EXPECT_TRUE(change.changed);
  EXPECT_THAT(change.selection, ElementsAre(0U));
  EXPECT_EQ(filters_.At(0).ID, 0);
}

TEST_F(FilteringSessionTest, CopyChecksTheLimitFirstAndStopsAtTheFirstFailure) {
  session_.StartSession();
  for (int i = 0; i < 126; ++i) {
    AddFilter("eth0", "f" + std::to_string(i));
  }
  const std::vector<std::size_t> three{0, 1, 2};
  EXPECT_FALSE(session_.Copy(three).changed);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kFilterLimitMessage)));

  filters_.At(1).LowerAdapterName = "gone0";
  filters_.At(0).TransferredBytes = 99;
  filters_.At(0).RateHistory = {1, 2};
  const std::vector<std::size_t> two{1, 0};
  const FilterListChange change = session_.Copy(two);
  EXPECT_TRUE(change.changed);  // the first copy stays
  EXPECT_THAT(change.selection, ElementsAre(126U));
  EXPECT_EQ(dialogs_.messages.back(), kFilterAdapterNotValidMessage);
  EXPECT_EQ(filters_.At(126).Name, "f0");
  EXPECT_EQ(filters_.At(126).TransferredBytes, 0U);
  EXPECT_THAT(filters_.At(126).RateHistory, IsEmpty());
  EXPECT_EQ(filters_.At(126).ID, 126);
}

TEST_F(FilteringSessionTest, EditOnTheSameAdapterModifiesInPlaceUnlessRefused) {
  session_.StartSession();
  PacketFilterSetting& filter = AddFilter("eth0", "a");
  filter.DriverClassId = 5;
  AddFilter("eth0", "b");
  PacketFilterSetting edited = filter;
  edited.Name = "renamed";
  edited.DriverClassId = 0;  // the editor's copy cannot change the class

  transport_.FailOn("eth0", Code(RequestCode::HlModifyTBFClass));
  EXPECT_FALSE(session_.Edit(0, edited).changed);
  EXPECT_THAT(Names(), ElementsAre("a", "b"));
  EXPECT_THAT(dialogs_.messages, ElementsAre("FAILED: HlModifyTBFClass"));

  transport_.repliesOf.clear();
  EXPECT_TRUE(session_.Edit(0, edited).changed);
  EXPECT_THAT(Names(), ElementsAre("renamed", "b"));
  const auto modify = transport_.CallsWithCode(Code(RequestCode::HlModifyTBFClass));
  EXPECT_EQ(protocol::LoadLe32(modify.back().input, 32), 5U);
}

TEST_F(FilteringSessionTest, EditToAnotherAdapterMovesTheFilterToTheEnd) {
  session_.StartSession();
  AddFilter("eth0", "a").DriverClassId = 3;
  AddFilter("eth0", "b");
  PacketFilterSetting edited = filters_.At(0);
  edited.LowerAdapterName = "eth1";

  transport_.FailOn("eth1", Code(RequestCode::HlAddTBFClass));
  EXPECT_FALSE(session_.Edit(0, edited).changed);
  EXPECT_EQ(Count(RequestCode::HlDeleteTBFClass), 0U);  // the old class still works

  transport_.repliesOf.clear();
  transport_.ReplyOn("eth1", Code(RequestCode::HlAddTBFClass), Le32(9));
  const FilterListChange change = session_.Edit(0, edited);
  EXPECT_THAT(Names(), ElementsAre("b", "a"));
  EXPECT_THAT(change.selection, ElementsAre(1U));
  EXPECT_EQ(filters_.At(1).DriverClassId, 9U);
  EXPECT_EQ(filters_.At(1).ID, 0);
  const auto deleted = transport_.CallsWithCode(Code(RequestCode::HlDeleteTBFClass), "eth0");
  ASSERT_EQ(deleted.size(), 1U);
  EXPECT_EQ(protocol::LoadLe32(deleted[0].input, 0), 3U);
}

TEST_F(FilteringSessionTest, DeleteGoesFromTheBottomAndStopsAtARefusal) {
  session_.StartSession();
  AddFilter("eth0", "a");
  AddFilter("eth1", "b");
  AddFilter("eth0", "c");
  transport_.FailOn("eth1", Code(RequestCode::HlDeleteTBFClass));

  const std::vector<std::size_t> all{0, 1, 2};
  EXPECT_TRUE(session_.Delete(all).changed);

  EXPECT_THAT(Names(), ElementsAre("a", "b"));
  EXPECT_THAT(dialogs_.messages, ElementsAre("FAILED: HlDeleteTBFClass"));
}

TEST_F(FilteringSessionTest, DeletingADrivenFilterUnlinksItsLeaf) {
  session_.StartSession();
  AddFilter("eth0", "a");
  auto leaf = std::make_shared<HTB_LeafClass>();
  leaf->FilterID = 0;
  ASSERT_TRUE(htb_.Add(HTB_Manager::kSendRootID, leaf));
  htb_.LinkFilters([this](std::int32_t id) { return filters_.FindById(id); });
  ASSERT_NE(leaf->Filter, nullptr);

  const std::vector<std::size_t> first{0};
  session_.Delete(first);

  EXPECT_EQ(leaf->Filter, nullptr);
}

TEST_F(FilteringSessionTest, UpAndDownSendRequestsOnlyAmongFiltersOfOneAdapter) {
  session_.StartSession();
  AddFilter("eth0", "a");
  AddFilter("eth1", "b");
  AddFilter("eth1", "c");

  const std::vector<std::size_t> top{0};
  EXPECT_FALSE(session_.Up(top).changed);
  const std::vector<std::size_t> bottom{2};
  EXPECT_FALSE(session_.Down(bottom).changed);
  EXPECT_THAT(Names(), ElementsAre("a", "b", "c"));

  const std::vector<std::size_t> second{1};
  const FilterListChange up = session_.Up(second);  // past another adapter's filter
  EXPECT_THAT(Names(), ElementsAre("b", "a", "c"));
  EXPECT_THAT(up.selection, ElementsAre(0U));
  EXPECT_EQ(Count(RequestCode::HlUpTBFClass), 0U);

  const std::vector<std::size_t> first{0};
  transport_.FailOn("eth1", Code(RequestCode::HlDownTBFClass));
  EXPECT_TRUE(session_.Down(first).changed);  // past "a": no request
  EXPECT_THAT(Names(), ElementsAre("a", "b", "c"));
  const std::vector<std::size_t> middle{1};
  EXPECT_FALSE(session_.Down(middle).changed);  // past "c" on eth1: refused
  EXPECT_THAT(Names(), ElementsAre("a", "b", "c"));
  EXPECT_THAT(dialogs_.messages, ElementsAre("FAILED: HlDownTBFClass"));
}

TEST_F(FilteringSessionTest, RefusedToggleFlipsBackAndTheOthersGoOn) {
  session_.StartSession();
  AddFilter("eth0", "a");
  AddFilter("eth1", "b");
  transport_.FailOn("eth0", Code(RequestCode::HlModifyTBFClass));

  const std::vector<std::size_t> both{0, 1};
  EXPECT_TRUE(session_.ToggleAvailable(both).changed);

  EXPECT_EQ(filters_.At(0).Available, 1U);
  EXPECT_EQ(filters_.At(1).Available, 0U);
}

TEST_F(FilteringSessionTest, FilterWithoutAClassIsNeverNamedToTheDriver) {
  AddFilter("eth0", "a");
  AddFilter("eth0", "b");
  AddFilter("eth0", "c");
  transport_.queuedReplies[Code(RequestCode::HlAddTBFClass)] = {
      {0, Le32(11)}, {31, {}}, {0, Le32(13)}};
  filters_.At(1).DriverClassId = 77;  // left from an earlier session
  ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
  EXPECT_THAT(dialogs_.messages, ElementsAre("FAILED: HlAddTBFClass"));
  EXPECT_EQ(filters_.At(1).DriverClassId, kNoDriverClass);
  transport_.calls.clear();

  // "b" has no class: moving it past "c" leaves the driver's order as it is,
  // and toggling, editing and ports stay in the application.
  const std::vector<std::size_t> second{1};
  EXPECT_TRUE(session_.Down(second).changed);
  EXPECT_TRUE(session_.ToggleAvailable(std::vector<std::size_t>{2}).changed);
  PacketFilterSetting edited = filters_.At(2);
  edited.TBFRate = 1000;
  EXPECT_TRUE(session_.Edit(2, edited).changed);
  session_.UpdateApplicationPorts({{filters_.At(2).ID, {80}}});
  EXPECT_TRUE(transport_.calls.empty());

  // Deleting "b" and "a": only "a" is named.
  EXPECT_TRUE(session_.Delete(std::vector<std::size_t>{0, 2}).changed);
  const auto deleted = transport_.CallsWithCode(Code(RequestCode::HlDeleteTBFClass));
  ASSERT_EQ(deleted.size(), 1U);
  EXPECT_EQ(protocol::LoadLe32(deleted[0].input, 0), 11U);
  EXPECT_THAT(Names(), ElementsAre("c"));
}

TEST_F(FilteringSessionTest, EndedSessionLeavesNoClassIdBehind) {
  ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
  AddFilter("eth0", "a");
  AddFilter("gone0", "b");
  session_.EndSession();
  EXPECT_EQ(filters_.At(0).DriverClassId, kNoDriverClass);
  EXPECT_EQ(filters_.At(1).DriverClassId, kNoDriverClass);
}

TEST_F(FilteringSessionTest, ApplicationPortsAllGoToTheDriverAnd204AreKept) {
  session_.StartSession();
  AddFilter("eth0", "a").DriverClassId = 4;
  std::vector<std::uint16_t> ports;
  for (std::uint16_t p = 0; p < 300; ++p) {
    ports.push_back(static_cast<std::uint16_t>(10000 + p));
  }

  session_.UpdateApplicationPorts({{0, ports}});

  const auto sent = transport_.CallsWithCode(Code(RequestCode::HlSetApplicationPorts));
  ASSERT_EQ(sent.size(), 1U);  // only the filter's own adapter knows its class
  EXPECT_EQ(sent[0].input.size(), 8U + 2U * 300U);
  EXPECT_EQ(protocol::LoadLe32(sent[0].input, 0), 4U);
  EXPECT_EQ(filters_.At(0).AppPortCount, 204);
  EXPECT_EQ(filters_.At(0).AppPorts[203], 10203);
}

TEST_F(FilteringSessionTest, CaptureReadDrainsEachAdapterAndDropsAFailingOne) {
  session_.StartSession();
  transport_.FailOn("eth1", Code(RequestCode::HlReadPackets));
  std::vector<std::uint8_t> twoRecords(2 * protocol::kCaptureRecordSize, 0xAB);
  transport_.ReplyOn("eth0", Code(RequestCode::HlReadPackets), twoRecords);
  int batches = 0;
  session_.ReadCapture([&](const protocol::CaptureBatch& batch) {
    EXPECT_FALSE(batch.ipv6);
    EXPECT_EQ(batch.records.size(), 120U);
    // The driver's queue empties after the first read.
    transport_.ReplyOn("eth0", Code(RequestCode::HlReadPackets), {});
    ++batches;
  });

  EXPECT_EQ(batches, 1);
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 1);
  EXPECT_EQ(adapters_.AdapterValidOf("eth1"), 0);
}

}  // namespace
}  // namespace harlune
