// The graphs' own history: one mean sample per ten ticks, ten minutes kept
// in a ring, filters and classes followed by ID through moves, deletions
// and new sessions.

#include "core/graph/rate_graph_history.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/htb/htb_class.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

constexpr std::uint32_t kTicks = RateGraphHistory::kTicksPerSample;

std::vector<std::uint32_t> Samples(const RateRing& ring) {
  std::vector<std::uint32_t> samples;
  for (std::size_t i = 0; i < ring.Size(); ++i) {
    samples.push_back(ring.At(i));
  }
  return samples;
}

class RateGraphHistoryTest : public ::testing::Test {
 protected:
  PacketFilterSetting& AddFilter(std::int32_t id) {
    PacketFilterSetting record;
    record.ID = id;
    return filters_.Add(record);
  }

  // One tick in which every filter's newest sample is `filterRate` plus
  // its ID, so that the histories tell the filters apart.
  void Tick(std::uint32_t send, std::uint32_t receive = 0, std::int32_t filterRate = 0) {
    for (std::size_t i = 0; i < filters_.Size(); ++i) {
      filters_.At(i).RateHistory.push_back(filterRate + filters_.At(i).ID);
    }
    history_.AddTick(send, receive, filters_, htb_);
  }

  void Second(std::uint32_t send, std::uint32_t receive = 0, std::int32_t filterRate = 0) {
    for (std::uint32_t i = 0; i < kTicks; ++i) {
      Tick(send, receive, filterRate);
    }
  }

  RecordingUserDialogs dialogs_;
  PacketFilterManager filters_{dialogs_};
  HTB_Manager htb_;
  RateGraphHistory history_;
};

TEST(RateRingTest, KeepsTheNewestSixHundredOldestFirst) {
  RateRing ring;
  EXPECT_TRUE(ring.Empty());
  EXPECT_EQ(ring.Newest(), 0U);
  for (std::uint32_t i = 1; i <= RateRing::kCapacity + 5; ++i) {
    ring.Push(i);
  }
  ASSERT_EQ(ring.Size(), RateRing::kCapacity);
  EXPECT_EQ(ring.At(0), 6U);
  EXPECT_EQ(ring.At(RateRing::kCapacity - 1), RateRing::kCapacity + 5);
  EXPECT_EQ(ring.Newest(), RateRing::kCapacity + 5);
}

TEST_F(RateGraphHistoryTest, ASampleIsTheMeanOfTenTicks) {
  for (std::uint32_t i = 1; i < kTicks; ++i) {
    Tick(i * 100, i);
  }
  EXPECT_TRUE(history_.Send().Empty()) << "no sample before the tenth tick";
  Tick(1000, 10);
  EXPECT_EQ(Samples(history_.Send()), (std::vector<std::uint32_t>{550}));
  // 55 / 10, truncated as the other averages are.
  EXPECT_EQ(Samples(history_.Receive()), (std::vector<std::uint32_t>{5}));
  Second(7);
  EXPECT_EQ(Samples(history_.Send()), (std::vector<std::uint32_t>{550, 7}));
}

TEST_F(RateGraphHistoryTest, TheFullRateAveragesWithoutWrapping) {
  constexpr std::uint32_t kFull = std::numeric_limits<std::uint32_t>::max();
  Second(kFull, kFull - 1);
  EXPECT_EQ(history_.Send().Newest(), kFull);
  EXPECT_EQ(history_.Receive().Newest(), kFull - 1);
}

TEST_F(RateGraphHistoryTest, TenMinutesAreKeptAndOlderSecondsGo) {
  AddFilter(3);
  for (std::uint32_t second = 0; second < RateRing::kCapacity + 2; ++second) {
    Second(second, second * 2, static_cast<std::int32_t>(second));
  }
  ASSERT_EQ(history_.Send().Size(), RateRing::kCapacity);
  EXPECT_EQ(history_.Send().At(0), 2U);
  EXPECT_EQ(history_.Receive().At(0), 4U);
  const RateRing* filter = history_.Filter(3);
  ASSERT_NE(filter, nullptr);
  ASSERT_EQ(filter->Size(), RateRing::kCapacity);
  EXPECT_EQ(filter->At(0), 5U);
  EXPECT_EQ(filter->Newest(), RateRing::kCapacity + 1 + 3);
}

TEST_F(RateGraphHistoryTest, AMovedFilterKeepsItsHistory) {
  AddFilter(1);
  AddFilter(2);
  Second(0, 0, 100);
  filters_.Exchange(0, 1);
  Second(0, 0, 200);
  EXPECT_EQ(Samples(*history_.Filter(1)), (std::vector<std::uint32_t>{101, 201}));
  EXPECT_EQ(Samples(*history_.Filter(2)), (std::vector<std::uint32_t>{102, 202}));
}

TEST_F(RateGraphHistoryTest, ADeletedFilterLosesItsHistoryAndItsIdStartsAfresh) {
  AddFilter(1);
  AddFilter(2);
  Second(0, 0, 100);
  Tick(0);
  filters_.Remove(0);
  Tick(0);
  EXPECT_EQ(history_.Filter(1), nullptr);
  ASSERT_NE(history_.Filter(2), nullptr);
  EXPECT_EQ(history_.Filter(2)->Size(), 1U);

  AddFilter(1);
  for (std::uint32_t i = 2; i < kTicks; ++i) {
    Tick(0, 0, 500);
  }
  // The new filter 1 was in 8 ticks of the second: their mean, nothing
  // of the old filter's.
  EXPECT_EQ(Samples(*history_.Filter(1)), (std::vector<std::uint32_t>{501}));
}

TEST_F(RateGraphHistoryTest, FiltersWithoutSampleOrIdAreHandled) {
  PacketFilterSetting& unsampled = AddFilter(4);
  for (std::uint32_t i = 0; i < kTicks; ++i) {
    unsampled.RateHistory.clear();  // a drawing cycle below one tick keeps none
    history_.AddTick(0, 0, filters_, htb_);
  }
  EXPECT_EQ(Samples(*history_.Filter(4)), (std::vector<std::uint32_t>{0}));
  EXPECT_EQ(history_.Filter(-1), nullptr);
  EXPECT_EQ(history_.Filter(99), nullptr);
}

TEST_F(RateGraphHistoryTest, ANegativeSampleIsTakenUnsigned) {
  AddFilter(0);
  Second(0, 0, -1);
  EXPECT_EQ(history_.Filter(0)->Newest(), std::numeric_limits<std::uint32_t>::max());
}

TEST_F(RateGraphHistoryTest, ANewSessionDropsOnlyTheUnfinishedSecond) {
  AddFilter(1);
  Second(100, 10, 100);
  for (std::uint32_t i = 0; i < kTicks - 1; ++i) {
    Tick(9000, 9000, 9000);
  }
  history_.StartSession();
  Second(300, 30, 300);
  EXPECT_EQ(Samples(history_.Send()), (std::vector<std::uint32_t>{100, 300}));
  EXPECT_EQ(Samples(history_.Receive()), (std::vector<std::uint32_t>{10, 30}));
  EXPECT_EQ(Samples(*history_.Filter(1)), (std::vector<std::uint32_t>{101, 301}));
}

TEST_F(RateGraphHistoryTest, ClassesKeepTheirCurrentRateUntilRemoved) {
  auto leaf = std::make_shared<HTB_LeafClass>();
  ASSERT_TRUE(htb_.Add(htb_.SendTree().Root()->ID, leaf));
  const std::int32_t root = htb_.SendTree().Root()->ID;
  const std::int32_t id = leaf->ID;
  for (std::uint32_t i = 0; i < kTicks; ++i) {
    leaf->CurrentRate = i < 5 ? 1000 : 3000;
    htb_.SendTree().Root()->CurrentRate = 7;
    history_.AddTick(0, 0, filters_, htb_);
  }
  EXPECT_EQ(Samples(*history_.Class(id)), (std::vector<std::uint32_t>{2000}));
  EXPECT_EQ(Samples(*history_.Class(root)), (std::vector<std::uint32_t>{7}));
  ASSERT_NE(history_.Class(htb_.ReceiveTree().Root()->ID), nullptr);

  struct NoRestore : FilterRateRestorer {
    void RestoreOwnRate(PacketFilterSetting&) override {}
  } restorer;
  ASSERT_TRUE(htb_.Remove(id, restorer));
  history_.AddTick(0, 0, filters_, htb_);
  EXPECT_EQ(history_.Class(id), nullptr);
  EXPECT_NE(history_.Class(root), nullptr);
}

}  // namespace
}  // namespace harlune
