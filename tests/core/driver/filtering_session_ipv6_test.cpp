// The session's IPv6 side: the family request after every add and modify,
// what a refused one undoes, the IPv6 capture read, and drivers that know
// only IPv4.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/driver/filtering_session.h"
#include "core/filter/filter_family.h"
#include "protocol/byte_order.h"
#include "protocol/request_codes.h"
#include "support/fake_adapter_source.h"
#include "support/fake_device_transport.h"
#include "support/hex.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using protocol::AddressFamilies;
using protocol::RequestCode;
using ::testing::ElementsAre;
using testing::Hex;
using ::testing::IsEmpty;
using testing::Le32;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

const std::string kFamilyFailed = "FAILED: HlSetTBFClassFamily";

protocol::Ipv6Prefix Prefix(std::string_view text, std::uint8_t length) {
  return {ParseIpAddress(text).value().Ipv6Bytes(), length};
}

// A filter for one IPv6 network, its IPv4 fields naming another host.
PacketFilterSetting Ipv6Filter(std::string_view adapter, std::string_view name) {
  PacketFilterSetting filter;
  filter.LowerAdapterName = adapter;
  filter.Name = name;
  filter.RemoteIPAddr = Ipv4(198, 18, 0, 1);
  filter.RemoteIPAddrMask = 0xFFFFFFFFu;
  filter.RemoteIpv6 = Prefix("2001:db8:1::", 48);
  return filter;
}

class FilteringSessionIpv6Test : public ::testing::Test {
 protected:
  FilteringSessionIpv6Test() {
    transport_.replies[Code(RequestCode::HlGetVersion)] = {0, Le32(protocol::kDriverVersion)};
    transport_.replies[Code(RequestCode::HlAddTBFClass)] = {0, Le32(9)};
    std::vector<SystemAdapter> list{{2, "eth0 card", "eth0", {}}, {3, "eth1 card", "eth1", {}}};
    source_.SetAdapters(list);
    adapters_.Refresh(
        source_, [](std::string_view) { return 0U; }, dialogs_);
  }

  void Start() {
    ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
    transport_.calls.clear();
  }

  // A filter whose class the driver has, as a start leaves it.
  PacketFilterSetting& Listed(PacketFilterSetting filter, std::uint32_t classId) {
    filter.DriverClassId = classId;
    return filters_.Add(filter);
  }

  // The codes sent, without the binds and the link's checks of a
  // connection after a refusal.
  std::vector<std::uint32_t> Sent() const {
    std::vector<std::uint32_t> codes;
    for (const auto& call : transport_.calls) {
      if (call.code != Code(RequestCode::HlBindAdapter) &&
          call.code != Code(RequestCode::HlGetVersion)) {
        codes.push_back(call.code);
      }
    }
    return codes;
  }

  std::vector<testing::FakeDeviceTransport::Call> Calls(RequestCode code) const {
    return transport_.CallsWithCode(Code(code));
  }

  // The families request of the last call, decoded.
  protocol::ClassFamily LastFamily() const {
    const auto sent = Calls(RequestCode::HlSetTBFClassFamily);
    EXPECT_FALSE(sent.empty());
    return sent.empty() ? protocol::ClassFamily{}
                        : protocol::DecodeClassFamily(sent.back().input).value();
  }

  std::size_t NoticeCount() const {
    return static_cast<std::size_t>(std::count(dialogs_.messages.begin(), dialogs_.messages.end(),
                                               std::string(kIpv4OnlyDriverMessage)));
  }

  testing::FakeDeviceTransport transport_;
  DriverLink driver_{transport_, {"/run/harlune/PassThru"}};
  FakeAdapterSource source_;
  AdapterTable adapters_;
  RecordingUserDialogs dialogs_;
  PacketFilterManager filters_{dialogs_};
  HTB_Manager htb_;
  FilteringSession session_{driver_, adapters_, filters_, htb_, dialogs_};
};

constexpr std::uint32_t kAdd = Code(RequestCode::HlAddTBFClass);
constexpr std::uint32_t kModify = Code(RequestCode::HlModifyTBFClass);
constexpr std::uint32_t kFamily = Code(RequestCode::HlSetTBFClassFamily);
constexpr std::uint32_t kDelete = Code(RequestCode::HlDeleteTBFClass);

TEST_F(FilteringSessionIpv6Test, PlainFiltersNeverSendTheFamilyOnAnyPath) {
  PacketFilterSetting plain;
  plain.LowerAdapterName = "eth0";
  filters_.Add(plain);
  ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
  ASSERT_TRUE(session_.AddNew(plain).changed);
  ASSERT_TRUE(session_.AddFromConnection(plain).changed);
  ASSERT_TRUE(session_.Copy(std::vector<std::size_t>{0}).changed);
  PacketFilterSetting edited = filters_.At(0);
  edited.TBFRate = 2048;
  ASSERT_TRUE(session_.Edit(0, edited).changed);
  edited.LowerAdapterName = "eth1";
  ASSERT_TRUE(session_.Edit(0, edited).changed);
  ASSERT_TRUE(session_.ToggleAvailable(std::vector<std::size_t>{0, 1}).changed);

  EXPECT_THAT(Calls(RequestCode::HlSetTBFClassFamily), IsEmpty());
  EXPECT_EQ(Calls(RequestCode::HlAddTBFClass).size(), 5U);
  EXPECT_EQ(Calls(RequestCode::HlModifyTBFClass).size(), 3U);
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(FilteringSessionIpv6Test, EveryAddSendsTheWireRecordThenTheFamilyOfTheNewClass) {
  filters_.Add(Ipv6Filter("eth0", "start"));
  transport_.queuedReplies[kAdd] = {{0, Le32(21)}, {0, Le32(22)}, {0, Le32(23)}, {0, Le32(24)}};
  ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
  ASSERT_TRUE(session_.AddNew(Ipv6Filter("eth0", "new")).changed);
  ASSERT_TRUE(session_.AddFromConnection(Ipv6Filter("eth1", "connection")).changed);
  ASSERT_TRUE(session_.Copy(std::vector<std::size_t>{0}).changed);

  std::vector<std::uint32_t> families;
  for (const auto& call : Calls(RequestCode::HlSetTBFClassFamily)) {
    const protocol::ClassFamily family = protocol::DecodeClassFamily(call.input).value();
    EXPECT_EQ(family.families, AddressFamilies::kIpv6);
    EXPECT_EQ(family.remote, Prefix("2001:db8:1::", 48));
    families.push_back(family.driverClassId);
  }
  EXPECT_THAT(families, ElementsAre(21U, 22U, 23U, 24U));
  for (const auto& add : Calls(RequestCode::HlAddTBFClass)) {
    // The driver is told of no IPv4 host: no packet comes from 0.0.0.0.
    EXPECT_EQ(protocol::LoadLe32(add.input, protocol::tbf_offset::kRemoteIpAddr), 0U);
    EXPECT_EQ(protocol::LoadLe32(add.input, protocol::tbf_offset::kRemoteIpAddrMask), 0xFFFFFFFFU);
  }
  // Each family follows its add at once.
  const std::vector<std::uint32_t> sent = Sent();
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (sent[i] == kAdd) {
      ASSERT_LT(i + 1, sent.size());
      EXPECT_EQ(sent[i + 1], kFamily);
    }
  }
  EXPECT_EQ(filters_.At(3).RemoteIPAddr, Ipv4(198, 18, 0, 1));  // the list keeps the user's
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(FilteringSessionIpv6Test, EditsAndTogglesSendTheFamilyAfterEachModify) {
  Start();
  Listed(Ipv6Filter("eth0", "a"), 5);
  PacketFilterSetting edited = filters_.At(0);
  edited.RemoteIpv6 = Prefix("2001:db8:2::", 64);
  ASSERT_TRUE(session_.Edit(0, edited).changed);
  EXPECT_THAT(Sent(), ElementsAre(kModify, kFamily));
  EXPECT_EQ(LastFamily().driverClassId, 5U);
  EXPECT_EQ(LastFamily().remote, Prefix("2001:db8:2::", 64));

  transport_.calls.clear();
  ASSERT_TRUE(session_.ToggleAvailable(std::vector<std::size_t>{0}).changed);
  EXPECT_THAT(Sent(), ElementsAre(kModify, kFamily));
  EXPECT_EQ(protocol::LoadLe32(Calls(RequestCode::HlModifyTBFClass)[0].input,
                               protocol::tbf_offset::kRemoteIpAddrMask),
            0xFFFFFFFFU);

  // To another adapter: added and given its family there, then the old goes.
  transport_.calls.clear();
  edited = filters_.At(0);
  edited.LowerAdapterName = "eth1";
  ASSERT_TRUE(session_.Edit(0, edited).changed);
  EXPECT_THAT(Sent(), ElementsAre(kAdd, kFamily, kDelete));
  EXPECT_EQ(transport_.CallsWithCode(kFamily, "eth1").size(), 1U);

  // An edit that drops the IPv6 address needs no family: the modify resets it.
  transport_.calls.clear();
  edited = filters_.At(0);
  edited.RemoteIpv6 = {};
  ASSERT_TRUE(session_.Edit(0, edited).changed);
  EXPECT_THAT(Sent(), ElementsAre(kModify));
}

TEST_F(FilteringSessionIpv6Test, RefusedFamilyAfterAnAddRemovesTheNewClass) {
  filters_.Add(Ipv6Filter("eth0", "start"));
  transport_.FailOn("eth0", kFamily);
  transport_.ReplyOn("eth0", kAdd, Le32(31));
  ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
  EXPECT_EQ(filters_.At(0).DriverClassId, kNoDriverClass);
  EXPECT_THAT(dialogs_.messages, ElementsAre(kFamilyFailed));

  for (const auto& add : std::vector<std::function<FilterListChange()>>{
           [&] { return session_.AddNew(Ipv6Filter("eth0", "new")); },
           [&] { return session_.AddFromConnection(Ipv6Filter("eth0", "new")); },
           [&] { return session_.Copy(std::vector<std::size_t>{0}); }}) {
    transport_.calls.clear();
    dialogs_.messages.clear();
    EXPECT_FALSE(add().changed);
    EXPECT_EQ(filters_.Size(), 1U);
    EXPECT_THAT(dialogs_.messages, ElementsAre(kFamilyFailed));
    const auto deleted = Calls(RequestCode::HlDeleteTBFClass);
    ASSERT_EQ(deleted.size(), 1U);
    EXPECT_EQ(protocol::LoadLe32(deleted[0].input, 0), 31U);
  }
}

TEST_F(FilteringSessionIpv6Test, RefusedFamilyOnAMoveToAnotherAdapterKeepsTheOldClass) {
  Start();
  Listed(Ipv6Filter("eth1", "a"), 3);
  transport_.FailOn("eth0", kFamily);
  transport_.ReplyOn("eth0", kAdd, Le32(40));
  PacketFilterSetting edited = filters_.At(0);
  edited.LowerAdapterName = "eth0";

  EXPECT_FALSE(session_.Edit(0, edited).changed);

  EXPECT_EQ(filters_.At(0).LowerAdapterName, "eth1");
  EXPECT_EQ(filters_.At(0).DriverClassId, 3U);
  const auto deleted = Calls(RequestCode::HlDeleteTBFClass);
  ASSERT_EQ(deleted.size(), 1U);  // only the class just added on eth0
  EXPECT_EQ(deleted[0].adapterPath, u"\\DEVICE\\eth0");
  EXPECT_EQ(protocol::LoadLe32(deleted[0].input, 0), 40U);
  EXPECT_THAT(dialogs_.messages, ElementsAre(kFamilyFailed));
}

TEST_F(FilteringSessionIpv6Test, RefusedFamilyAfterAModifyPutsTheOldFilterBack) {
  Start();
  PacketFilterSetting old = Ipv6Filter("eth0", "a");
  old.AddressFamily = AddressFamilies::kBoth;
  old = Listed(old, 6);
  PacketFilterSetting edited = filters_.At(0);
  edited.Name = "renamed";
  edited.AddressFamily.reset();
  edited.RemoteIpv6 = Prefix("2001:db8:9::", 64);
  transport_.queuedReplies[kFamily] = {{31, {}}};

  EXPECT_FALSE(session_.Edit(0, edited).changed);

  EXPECT_EQ(filters_.At(0).Name, "a");
  EXPECT_THAT(dialogs_.messages, ElementsAre(kFamilyFailed));
  EXPECT_THAT(Sent(), ElementsAre(kModify, kFamily, kModify, kFamily));
  const auto modified = Calls(RequestCode::HlModifyTBFClass);
  EXPECT_EQ(Hex(modified[1].input), Hex(protocol::EncodeTbfSettingData(DriverRecordOf(old))));
  EXPECT_EQ(LastFamily(), ClassFamilyOf(old));
  EXPECT_EQ(LastFamily().families, AddressFamilies::kBoth);
}

TEST_F(FilteringSessionIpv6Test, RefusedFamilyOfAToggleFlipsBackAndRestoresTheClass) {
  Start();
  PacketFilterSetting plainOld;
  plainOld.LowerAdapterName = "eth0";
  Listed(plainOld, 2);
  Listed(Ipv6Filter("eth0", "b"), 7);
  transport_.queuedReplies[kFamily] = {{31, {}}};

  EXPECT_FALSE(session_.ToggleAvailable(std::vector<std::size_t>{1}).changed);
  EXPECT_EQ(filters_.At(1).Available, 1U);
  EXPECT_THAT(Sent(), ElementsAre(kModify, kFamily, kModify, kFamily));
  EXPECT_EQ(protocol::LoadLe32(Calls(RequestCode::HlModifyTBFClass)[1].input,
                               protocol::tbf_offset::kAvailable),
            1U);

  // A plain filter edited into an IPv6 one goes back without a family.
  transport_.calls.clear();
  transport_.queuedReplies[kFamily] = {{31, {}}};
  EXPECT_FALSE(session_.Edit(0, Ipv6Filter("eth0", "x")).changed);
  EXPECT_THAT(Sent(), ElementsAre(kModify, kFamily, kModify));
  EXPECT_EQ(Hex(Calls(RequestCode::HlModifyTBFClass)[1].input),
            Hex(protocol::EncodeTbfSettingData(filters_.At(0))));
}

TEST_F(FilteringSessionIpv6Test, CaptureReadsIpv6BatchesAfterTheIpv4Ones) {
  Start();
  transport_.ReplyOn("eth0", Code(RequestCode::HlReadPackets),
                     std::vector<std::uint8_t>(protocol::kCaptureRecordSize, 0x44));
  transport_.ReplyOn("eth0", Code(RequestCode::HlReadPackets6),
                     std::vector<std::uint8_t>(2 * protocol::kCapture6RecordSize + 10, 0x66));
  std::vector<std::pair<bool, std::size_t>> batches;
  session_.ReadCapture([&](const protocol::CaptureBatch& batch) {
    batches.emplace_back(batch.ipv6, batch.RecordCount());
    EXPECT_EQ(batch.records.size(), batch.RecordCount() * batch.RecordSize());
    EXPECT_EQ(batch.records[0], batch.ipv6 ? 0x66 : 0x44);
    // Each queue empties after its first read.
    transport_.ReplyOn(
        "eth0", batch.ipv6 ? Code(RequestCode::HlReadPackets6) : Code(RequestCode::HlReadPackets),
        {});
  });

  EXPECT_THAT(batches, ElementsAre(std::pair(false, 1U), std::pair(true, 2U)));
  EXPECT_EQ(transport_.CallsWithCode(Code(RequestCode::HlReadPackets6), "eth0").size(), 2U);
  EXPECT_EQ(transport_.CallsWithCode(Code(RequestCode::HlReadPackets6), "eth1").size(), 1U);
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 1);
}

TEST_F(FilteringSessionIpv6Test, FailedIpv6ReadDropsTheAdapterAndAFailedIpv4ReadSkipsIt) {
  Start();
  transport_.FailOn("eth0", Code(RequestCode::HlReadPackets6));
  transport_.FailOn("eth1", Code(RequestCode::HlReadPackets));
  session_.ReadCapture([](const protocol::CaptureBatch&) { FAIL() << "nothing was read"; });

  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 0);
  EXPECT_EQ(adapters_.AdapterValidOf("eth1"), 0);
  EXPECT_THAT(transport_.CallsWithCode(Code(RequestCode::HlReadPackets6), "eth1"), IsEmpty());
  EXPECT_THAT(dialogs_.messages, IsEmpty());
}

TEST_F(FilteringSessionIpv6Test, Ipv4OnlyDriverIsToldOnceAndAskedNoMoreUntilTheNextStart) {
  transport_.FailOn("eth0", kFamily, 1);
  transport_.FailOn("eth0", Code(RequestCode::HlReadPackets6), 1);
  filters_.Add(Ipv6Filter("eth0", "a"));
  ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
  EXPECT_EQ(filters_.At(0).DriverClassId, 9U);  // the class stays, as its record says
  EXPECT_TRUE(session_.Ipv4OnlyDriver("eth0"));
  EXPECT_FALSE(session_.Ipv4OnlyDriver("eth1"));
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kIpv4OnlyDriverMessage)));

  transport_.calls.clear();
  ASSERT_TRUE(session_.AddNew(Ipv6Filter("eth0", "b")).changed);
  ASSERT_TRUE(session_.Copy(std::vector<std::size_t>{0}).changed);
  ASSERT_TRUE(session_.ToggleAvailable(std::vector<std::size_t>{0}).changed);
  session_.ReadCapture([](const protocol::CaptureBatch&) {});
  EXPECT_THAT(transport_.CallsWithCode(kFamily, "eth0"), IsEmpty());
  EXPECT_THAT(transport_.CallsWithCode(Code(RequestCode::HlReadPackets6), "eth0"), IsEmpty());
  EXPECT_EQ(transport_.CallsWithCode(Code(RequestCode::HlReadPackets6), "eth1").size(), 1U);
  EXPECT_EQ(adapters_.AdapterValidOf("eth0"), 1);

  // The next session asks again; eth1 too knows only IPv4, and nobody is told twice.
  transport_.FailOn("eth1", Code(RequestCode::HlReadPackets6), 1);
  session_.EndSession();
  transport_.calls.clear();
  ASSERT_EQ(session_.StartSession(), SessionStart::kStarted);
  // The first of the three filters' families finds the driver as it was.
  EXPECT_EQ(transport_.CallsWithCode(kFamily, "eth0").size(), 1U);
  EXPECT_EQ(transport_.CallsWithCode(kAdd, "eth0").size(), 3U);
  session_.ReadCapture([](const protocol::CaptureBatch&) {});
  session_.ReadCapture([](const protocol::CaptureBatch&) {});
  EXPECT_TRUE(session_.Ipv4OnlyDriver("eth1"));
  EXPECT_EQ(transport_.CallsWithCode(Code(RequestCode::HlReadPackets6), "eth1").size(), 1U);
  EXPECT_EQ(NoticeCount(), 1U);
  EXPECT_EQ(dialogs_.messages.size(), 1U);
}

}  // namespace
}  // namespace harlune
