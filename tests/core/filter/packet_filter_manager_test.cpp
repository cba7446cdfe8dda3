#include "core/filter/packet_filter_manager.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/ip_address.h"
#include "support/fake_adapter_source.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using Ids = std::vector<std::int32_t>;

PacketFilterSetting Filter(std::int32_t id, std::string name = "f") {
  PacketFilterSetting filter;
  filter.ID = id;
  filter.Name = std::move(name);
  return filter;
}

Ids IdsOf(const PacketFilterManager& manager) {
  Ids ids;
  for (std::size_t i = 0; i < manager.Size(); ++i) {
    ids.push_back(manager.At(i).ID);
  }
  return ids;
}

std::vector<std::string> NamesOf(const PacketFilterManager& manager) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < manager.Size(); ++i) {
    names.push_back(manager.At(i).Name);
  }
  return names;
}

class PacketFilterManagerTest : public ::testing::Test {
 protected:
  RecordingUserDialogs dialogs;
  PacketFilterManager manager{dialogs};
};

TEST_F(PacketFilterManagerTest, AddGivesMissingAndRepeatedIdsTheSmallestFreeOne) {
  manager.Add(Filter(-1));
  manager.Add(Filter(2));
  manager.Add(Filter(2));    // repeated
  manager.Add(Filter(300));  // outside 0..127: kept, and takes no part
  manager.Add(Filter(-1));
  EXPECT_EQ(IdsOf(manager), (Ids{0, 2, 1, 300, 3}));
  EXPECT_EQ(manager.FreeIdentifier(), 4);
  EXPECT_EQ(manager.FindById(300), &manager.At(3));
  EXPECT_EQ(manager.FindById(-1), nullptr);
}

TEST_F(PacketFilterManagerTest, The129thFilterGetsNoIdentifier) {
  for (int i = 0; i < 128; ++i) {
    EXPECT_FALSE(manager.IsFull());
    manager.Add(Filter(-1));
  }
  EXPECT_TRUE(manager.IsFull());
  EXPECT_EQ(manager.FreeIdentifier(), -1);
  EXPECT_EQ(manager.Add(Filter(5)).ID, -1);
  EXPECT_EQ(manager.Size(), 129u);
  EXPECT_EQ(kFilterLimitMessage, "これ以上フィルタを追加できません。");
}

TEST_F(PacketFilterManagerTest, RecordsKeepTheirAddressesWhileTheListChanges) {
  PacketFilterSetting* first = &manager.Add(Filter(-1, "a"));
  for (int i = 0; i < 40; ++i) {
    manager.Add(Filter(-1));
  }
  manager.InsertCopy(Filter(7, "x"), 0);
  manager.Exchange(0, 5);
  EXPECT_EQ(first->Name, "a");
  EXPECT_EQ(manager.FindById(0), first);
}

TEST_F(PacketFilterManagerTest, InsertRemoveAndExchangeKeepTheOrder) {
  manager.Add(Filter(-1, "a"));
  manager.Add(Filter(-1, "b"));
  manager.InsertCopy(Filter(0, "copy"), 1);  // keeps its (repeated) ID
  manager.InsertCopy(Filter(9, "end"), 3);
  EXPECT_EQ(NamesOf(manager), (std::vector<std::string>{"a", "copy", "b", "end"}));
  EXPECT_EQ(IdsOf(manager), (Ids{0, 0, 1, 9}));
  manager.Exchange(0, 3);
  manager.Remove(1);
  EXPECT_EQ(NamesOf(manager), (std::vector<std::string>{"end", "b", "a"}));
  EXPECT_TRUE(dialogs.messages.empty());
}

TEST_F(PacketFilterManagerTest, PositionsOutsideTheListFailAndChangeNothing) {
  manager.Add(Filter(-1, "a"));
  manager.Add(Filter(-1, "b"));
  EXPECT_THROW(manager.Remove(2), std::out_of_range);
  EXPECT_EQ(dialogs.messages, std::vector<std::string>{"indexが不正"});
  EXPECT_THROW(manager.Exchange(0, 2), std::out_of_range);
  EXPECT_THROW(manager.Exchange(5, 1), std::out_of_range);
  EXPECT_THROW(manager.InsertCopy(Filter(-1), 3), std::out_of_range);
  EXPECT_THROW(manager.At(2), std::out_of_range);
  EXPECT_EQ(NamesOf(manager), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(dialogs.messages.size(), 1u);  // only Remove speaks
}

class ResolveAdaptersTest : public PacketFilterManagerTest {
 protected:
  void SetUp() override {
    FakeAdapterSource source;
    source.SetAdapters({{2, "LAN", "eth0", {Ipv4(192, 168, 0, 2), Ipv4(10, 0, 0, 2)}},
                        {3, "WiFi", "wlan0", {Ipv4(172, 16, 0, 9)}},
                        {4, "VPN", "tun0", {Ipv4(10, 0, 0, 2)}}});
    table.Refresh(
        source, [](std::string_view) { return 0u; }, dialogs);
  }

  PacketFilterSetting& AddFilter(std::string adapter, std::uint32_t address) {
    PacketFilterSetting filter;
    filter.LowerAdapterName = std::move(adapter);
    filter.LocalIPAddr = address;
    return manager.Add(filter);
  }

  AdapterTable table;
};

TEST_F(ResolveAdaptersTest, ANamedAdapterGivesItsIndexAndFirstAddress) {
  PacketFilterSetting& filter = AddFilter("wlan0", Ipv4(1, 2, 3, 4));
  EXPECT_TRUE(manager.ResolveAdapters(table));
  EXPECT_EQ(filter.AdapterIndex, 3);
  EXPECT_EQ(filter.LocalIPAddr, Ipv4(172, 16, 0, 9));
  EXPECT_FALSE(manager.ResolveAdapters(table));  // nothing left to change
}

TEST_F(ResolveAdaptersTest, AnUnknownNameIsFoundByAddressTheLastHolderWinning) {
  PacketFilterSetting& filter = AddFilter("gone0", Ipv4(10, 0, 0, 2));
  EXPECT_TRUE(manager.ResolveAdapters(table));
  EXPECT_EQ(filter.LowerAdapterName, "tun0");
  EXPECT_EQ(filter.AdapterIndex, -1);
  EXPECT_EQ(filter.LocalIPAddr, Ipv4(10, 0, 0, 2));
  EXPECT_FALSE(manager.ResolveAdapters(table));
  EXPECT_EQ(filter.AdapterIndex, 4);
}

TEST_F(ResolveAdaptersTest, AFilterOfNoAdapterReportsNoChangeAgainAndAgain) {
  PacketFilterSetting& filter = AddFilter("", 0);
  EXPECT_TRUE(manager.ResolveAdapters(table));
  EXPECT_EQ(filter.LowerAdapterName, "none");
  // The caller restarts the driver session on a change: none is left.
  EXPECT_FALSE(manager.ResolveAdapters(table));
  EXPECT_EQ(filter.LocalIPAddr, 0u);
}

TEST_F(ResolveAdaptersTest, AnAdapterThatDisappearsTakesItsIndexAlong) {
  PacketFilterSetting& filter = AddFilter("eth0", Ipv4(192, 168, 0, 2));
  EXPECT_FALSE(manager.ResolveAdapters(table));
  EXPECT_EQ(filter.AdapterIndex, 2);

  FakeAdapterSource source;  // eth0 went; its index now belongs to another
  source.SetAdapters({{2, "USB", "usb0", {Ipv4(192, 168, 9, 9)}}});
  table.Refresh(
      source, [](std::string_view) { return 0u; }, dialogs);
  EXPECT_FALSE(manager.ResolveAdapters(table));
  EXPECT_EQ(filter.LowerAdapterName, "eth0");
  EXPECT_EQ(filter.LocalIPAddr, Ipv4(192, 168, 0, 2));
  EXPECT_EQ(filter.AdapterIndex, -1);
}

}  // namespace
}  // namespace harlune
