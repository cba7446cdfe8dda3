#include "core/dynamic/dynamic_filter_list.h"

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace harlune {
namespace {

using Ids = std::vector<std::int32_t>;

DynamicFilter WithId(std::int32_t id) {
  DynamicFilter filter;
  filter.FilterId = id;
  return filter;
}

template <class List>
Ids IdsOf(const List& list) {
  Ids ids;
  for (const auto& filter : list.Filters()) {
    ids.push_back(filter->FilterId);
  }
  return ids;
}

TEST(DynamicFilterListAdd, KeepsAFreeIdentifierAndReplacesZeroAndRepeats) {
  DynamicFilterList list;
  list.Add(WithId(2));
  list.Add(WithId(0));  // smallest free: 1
  list.Add(WithId(2));  // taken: 3
  list.Add(WithId(5));
  list.Add(WithId(2));  // taken: 4
  EXPECT_EQ(IdsOf(list), (Ids{2, 1, 3, 5, 4}));
}

TEST(DynamicFilterListAdd, IdentifiersOutsideTheRangeAreKeptButNeverSearched) {
  DynamicFilterList list;
  list.Add(WithId(100));
  list.Add(WithId(-3));
  list.Add(WithId(0));
  list.Add(WithId(100));  // a repeat is replaced even outside the range
  EXPECT_EQ(IdsOf(list), (Ids{100, -3, 1, 2}));
}

TEST(DynamicFilterListAdd, GivesZeroOnceEveryIdentifierIsTakenIn1To63) {
  DynamicFilterList list;
  for (int i = 0; i < 63; ++i) {
    list.Add(WithId(0));
  }
  EXPECT_EQ(list.At(62).FilterId, 63);
  EXPECT_EQ(list.Add(WithId(0)).FilterId, 0);
  EXPECT_EQ(list.Add(WithId(17)).FilterId, 0);
  EXPECT_EQ(list.Size(), 65u);

  StaticFilterList statics;  // the older static list searches up to 127
  for (int i = 0; i < 127; ++i) {
    statics.Add(PacketFilter{});
  }
  EXPECT_EQ(statics.At(126).FilterId, 127);
  EXPECT_EQ(statics.Add(PacketFilter{}).FilterId, 0);
}

TEST(DynamicFilterRecord, CloneKeepsTheTriggersAndTargets) {
  DynamicFilter filter = WithId(4);
  filter.TriggerConnectingProcessName = "game.exe";
  filter.TriggerTotalDownBandwidthHigh = 500;
  filter.TargetFilterIds = {8, 9};
  const std::unique_ptr<Filter> clone = static_cast<const Filter&>(filter).Clone();
  const auto* copy = dynamic_cast<const DynamicFilter*>(clone.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->FilterId, 4);
  EXPECT_EQ(copy->TriggerConnectingProcessName, "game.exe");
  EXPECT_EQ(copy->TriggerTotalDownBandwidthHigh, 500);
  EXPECT_EQ(copy->TargetFilterIds, (Ids{8, 9}));
  EXPECT_TRUE(copy->DescriptionText().empty());
  EXPECT_THROW(copy->ToPlainFilter(), FilterConversionError);
}

}  // namespace
}  // namespace harlune
