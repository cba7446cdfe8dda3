#pragma once

// A manager with leaves that drive filters of their own, an activity that
// answers from a script, and a sink that records every rate the tick sends.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/htb/htb_tick.h"
#include "htb_test_tree.h"

namespace harlune::htb_test {

class RecordingRates : public ClassRateSink {
 public:
  void SetClassRate(std::string_view adapter, std::uint32_t classId, std::uint32_t rate) override {
    EXPECT_EQ(adapter, "eth0");
    rates[classId].push_back(rate);
  }
  std::map<std::uint32_t, std::vector<std::uint32_t>> rates;  // by class id, in order
};

// Only the processes named in `running` run; none has a connection.
class ScriptedActivity : public LeafActivity {
 public:
  bool ProcessRunning(std::string_view name) const override { return running.contains(name); }
  bool ProcessConnected(std::string_view) const override { return false; }
  std::set<std::string, std::less<>> running;
};

class HtbTickFixture : public ::testing::Test {
 protected:
  // A leaf always active, driving a new filter whose newest sample is
  // `current`; filter and class id are the order of creation.
  HTB_LeafClass& AddLeaf(std::int32_t parentId, std::uint32_t assured, std::uint32_t ceil,
                         std::int32_t current, std::uint32_t priority = 0) {
    PacketFilterSetting& filter = filters.emplace_back();
    filter.ID = static_cast<std::int32_t>(filters.size());
    filter.DriverClassId = static_cast<std::uint32_t>(filter.ID);
    filter.LowerAdapterName = "eth0";
    filter.TBFRate = 777;
    filter.RateHistory = {current / 2, current};
    auto leaf = Leaf("leaf", filter.ID);
    leaf->AssuredRate = assured;
    leaf->CeilRate = ceil;
    leaf->Priority = priority;
    leaf->AvailableType = kAvailableAlways;
    leaf->Filter = &filter;
    EXPECT_TRUE(manager.Add(parentId, leaf));
    return *leaf;
  }

  HTB_InnerClass& AddInner(std::int32_t parentId, std::uint32_t assured, std::uint32_t ceil) {
    auto inner = Inner("inner");
    inner->AssuredRate = assured;
    inner->CeilRate = ceil;
    EXPECT_TRUE(manager.Add(parentId, inner));
    return *inner;
  }

  void Tick(bool doHtb = true) { HtbTick(activity, rates).Run(manager, doHtb); }
  std::uint32_t Sent(const HTB_LeafClass& leaf) {
    return rates.rates[leaf.Filter->DriverClassId].back();
  }
  // The filter measures what the driver let through: the offered traffic,
  // at most the rate the tick set.
  void Measure(HTB_LeafClass& leaf, std::uint32_t offered) {
    leaf.Filter->RateHistory.push_back(std::min(offered, Sent(leaf)));
  }
  void SetRoot(HTB_InnerClass& root, std::uint32_t rate) {
    root.AssuredRate = rate;
    root.CeilRate = rate;
  }
  HTB_InnerClass& SendRoot() { return *manager.SendTree().Root(); }

  std::deque<PacketFilterSetting> filters;
  HTB_Manager manager;
  ScriptedActivity activity;
  RecordingRates rates;
};

}  // namespace harlune::htb_test
