#include "core/htb/htb_sharing.h"

#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "htb_tick_fixture.h"

namespace harlune {
namespace {

class HtbSharingTest : public htb_test::HtbTickFixture {};

// Two leaves alike but for their ceilings, each guaranteed 20000 and
// measuring 5000, under a root of 30000: their guarantees do not fit, so
// each is cut alike, whatever its place among the children.
class TwinLeavesTest
    : public htb_test::HtbTickFixture,
      public ::testing::WithParamInterface<std::pair<std::uint32_t, std::uint32_t>> {};

TEST_P(TwinLeavesTest, GetHalfTheRootEach) {
  SendRoot().AssuredRate = 30000;
  const auto& first = AddLeaf(0, 20000, GetParam().first, 5000);
  const auto& second = AddLeaf(0, 20000, GetParam().second, 5000);
  Tick();
  Tick();
  EXPECT_EQ(Sent(first), 15000u);
  EXPECT_EQ(Sent(second), 15000u);
}

INSTANTIATE_TEST_SUITE_P(Ceilings, TwinLeavesTest,
                         ::testing::Values(std::pair{40000u, 40000u},    // demands 20000
                                           std::pair{200000u, 200000u},  // demands 30000
                                           std::pair{40000u, 80000u},    // both 20000
                                           std::pair{80000u, 40000u},
                                           std::pair{200000u, 160000u},  // 30000 and 25000
                                           std::pair{160000u, 200000u}));

TEST_F(HtbSharingTest, EqualMembersShareEquallyAndTheRestStaysWithTheClass) {
  SendRoot().AssuredRate = 10000;
  const auto& a = AddLeaf(0, 0, 50000, 20000);
  const auto& b = AddLeaf(0, 0, 50000, 20000);
  const auto& c = AddLeaf(0, 0, 50000, 20000);
  Tick();
  EXPECT_EQ(Sent(a), 3333u);  // never 3334: three of those would be more than the root
  EXPECT_EQ(Sent(b), 3333u);
  EXPECT_EQ(Sent(c), 3333u);
}

TEST_F(HtbSharingTest, WhatAMemberDoesNotWantGoesToTheOthersOfItsLevel) {
  SendRoot().AssuredRate = 60000;
  const auto& small = AddLeaf(0, 5000, 12000, 8000);  // wants 9500
  const auto& big = AddLeaf(0, 5000, 80000, 50000);   // wants 60000
  const auto& alsoBig = AddLeaf(0, 5000, 80000, 50000);
  Tick();
  EXPECT_EQ(Sent(small), 9500u);
  EXPECT_EQ(Sent(big), 25250u);  // (60000 - 9500) / 2
  EXPECT_EQ(Sent(alsoBig), 25250u);
}

TEST_F(HtbSharingTest, ShortageCutsEquallyFromWhatEachHolds) {
  SendRoot().AssuredRate = 9000;
  // Each measures its guarantee, so each holds it; 5000 must go.
  const auto& a = AddLeaf(0, 6000, 20000, 6000);
  const auto& small = AddLeaf(0, 2000, 20000, 2000);
  const auto& b = AddLeaf(0, 6000, 20000, 6000);
  Tick();
  EXPECT_EQ(Sent(a), 4333u);
  EXPECT_EQ(Sent(small), 333u);
  EXPECT_EQ(Sent(b), 4333u);
  EXPECT_LE(Sent(a) + Sent(small) + Sent(b), 9000u);
}

TEST_F(HtbSharingTest, AnInnerClassSharesItsCeilingAmongItsChildren) {
  SendRoot().AssuredRate = 1'000'000;
  auto& group = AddInner(0, 0, 30000);
  const auto& first = AddLeaf(group.ID, 0, 40000, 30000);  // wants 35000
  const auto& second = AddLeaf(group.ID, 0, 40000, 30000);
  Tick();
  EXPECT_EQ(group.AllottedRate, 30000u);
  EXPECT_EQ(Sent(first), 15000u);
  EXPECT_EQ(Sent(second), 15000u);
}

TEST_F(HtbSharingTest, AChildThatJustBecameActiveIsSharedWithAtOnce) {
  SendRoot().AssuredRate = 20000;
  const auto& steady = AddLeaf(0, 0, 40000, 30000);
  auto& late = AddLeaf(0, 0, 40000, 30000);
  late.Filter->AppName = "late.exe";
  late.AvailableType = kAvailableWhileProcessRuns;
  Tick();
  EXPECT_EQ(Sent(steady), 20000u);
  EXPECT_FALSE(late.Applied);

  activity.running.insert("late.exe");
  Tick();  // not applied on the previous tick, but it takes part now
  EXPECT_EQ(Sent(steady), 10000u);
  EXPECT_EQ(Sent(late), 10000u);
}

}  // namespace
}  // namespace harlune
