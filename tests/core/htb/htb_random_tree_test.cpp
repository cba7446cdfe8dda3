// The sharing rules over many random trees: no class hands out more than it
// has, twins (a class and its duplicate, alike in configuration and in what
// their filters measure) get the same rate wherever they stand among their
// siblings, and a root hands out all it has unless every child is content.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/htb/htb_tick.h"
#include "htb_tick_fixture.h"

namespace harlune {
namespace {

using ClassPair = std::pair<const HTB_Class*, const HTB_Class*>;

class RandomTreeBuilder {
 public:
  RandomTreeBuilder(std::mt19937& random, HTB_Manager& manager,
                    std::deque<PacketFilterSetting>& filters)
      : random_(random), manager_(manager), filters_(filters) {}

  void Build() {
    for (HTB_InnerClass* root :
         {manager_.SendTree().Root().get(), manager_.ReceiveTree().Root().get()}) {
      // One root in five is left unset.
      const std::uint32_t rate = Chance(20) ? 0 : Pick(1000, 400000);
      root->AssuredRate = rate;
      root->CeilRate = rate;
      AddChildren(root->ID, 0);
    }
  }

  // The pairs of classes that must end alike: each duplicate with its
  // original, and their descendants in step.
  std::vector<ClassPair> twins;

 private:
  std::uint32_t Pick(std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random_);
  }
  bool Chance(std::uint32_t percent) { return Pick(1, 100) <= percent; }

  void Configure(HTB_Class& cls) {
    cls.Priority = Pick(0, 2);
    cls.Available = !Chance(5);
    cls.CeilRate = Pick(0, 300000);
    cls.AssuredRate = Chance(25) ? 0 : Pick(0, 120000);  // may pass the ceiling
    if (Chance(15)) {
      cls.CeilRateOrder = 1;
      cls.CeilRatePercentage = Pick(1, 100);
    }
    if (Chance(15)) {
      cls.AssuredRateOrder = 1;
      cls.AssuredRatePercentage = Pick(0, 100);
    }
  }

  std::shared_ptr<HTB_Class> MakeLeaf() {
    PacketFilterSetting& filter = filters_.emplace_back();
    filter.ID = static_cast<std::int32_t>(filters_.size());
    filter.DriverClassId = static_cast<std::uint32_t>(filter.ID);
    filter.LowerAdapterName = "eth0";
    const std::uint32_t kind = Pick(0, 3);
    const std::int32_t current =
        kind == 0 ? 0 : static_cast<std::int32_t>(kind == 1 ? Pick(1, 1023) : Pick(1024, 300000));
    filter.RateHistory = {current};
    auto leaf = std::make_shared<HTB_LeafClass>();
    leaf->FilterID = filter.ID;
    leaf->Filter = &filter;
    leaf->AvailableType = kAvailableAlways;
    return leaf;
  }

  void AddChildren(std::int32_t parentId, int depth) {
    const std::uint32_t count = Pick(1, 4);
    std::vector<std::int32_t> placed;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!placed.empty() && Chance(35)) {
        Duplicate(placed[Pick(0, static_cast<std::uint32_t>(placed.size() - 1))]);
        continue;
      }
      const bool inner = depth < 2 && Chance(30);
      std::shared_ptr<HTB_Class> cls = inner ? std::make_shared<HTB_InnerClass>() : MakeLeaf();
      Configure(*cls);
      ASSERT_TRUE(manager_.Add(parentId, cls));
      placed.push_back(cls->ID);
      if (inner) {
        AddChildren(cls->ID, depth + 1);
      }
    }
  }

  // The copy is placed last among the siblings; later siblings may follow
  // it, so twins stand anywhere in the child order.
  void Duplicate(std::int32_t id) {
    const auto original = manager_.Find(id);
    const auto copy = manager_.Duplicate(id);
    ASSERT_NE(copy, nullptr);
    PairUp(*original, *copy);
  }

  void PairUp(const HTB_Class& a, const HTB_Class& b) {
    twins.emplace_back(&a, &b);
    for (std::size_t i = 0; i < a.Children.size(); ++i) {
      PairUp(*a.Children[i], *b.Children[i]);
    }
  }

  std::mt19937& random_;
  HTB_Manager& manager_;
  std::deque<PacketFilterSetting>& filters_;
};

std::string Describe(const HTB_Class& cls) {
  std::ostringstream text;
  text << "class " << cls.ID << " allotted " << cls.AllottedRate << " assured "
       << cls.TickAssuredRate << " ceil " << cls.CeilRate << " current " << cls.CurrentRate
       << " priority " << cls.Priority;
  return text.str();
}

// What the applied children of the class were given together.
std::uint64_t HandedOut(const HTB_Class& cls) {
  std::uint64_t total = 0;
  for (const auto& child : cls.Children) {
    total += child->Applied ? child->AllottedRate : 0;
  }
  return total;
}

// No applied class gives its children more than it got, and none but a
// root gets more than its ceiling.
void ExpectNoClassOverspends(HTB_Class& root) {
  root.VisitSubtree([](const HTB_Class& cls) {
    if (!cls.Applied) {
      return;
    }
    if (cls.Parent != nullptr) {
      EXPECT_LE(cls.AllottedRate, cls.CeilRate) << Describe(cls);
    }
    if (!cls.Children.empty()) {
      EXPECT_LE(HandedOut(cls), cls.AllottedRate) << Describe(cls);
    }
  });
}

// A root with a rate hands out that rate (less a byte per child for the
// division) unless its children wanted less; an unset root limits nothing.
// Checked where every child is a leaf, whose demand follows from what its
// filter measured.
void ExpectRootHandsOutWhatItHas(const HTB_InnerClass& root) {
  std::uint64_t demands = 0;
  std::uint64_t applied = 0;
  for (const auto& child : root.Children) {
    const auto* leaf = dynamic_cast<const HTB_LeafClass*>(child.get());
    if (leaf == nullptr) {
      return;
    }
    if (!leaf->Applied) {
      continue;
    }
    const std::uint32_t current = leaf->CurrentRate;
    const std::uint32_t assured = leaf->TickAssuredRate;
    const std::uint32_t demand =
        current < 1024 ? assured
                       : std::clamp(current + leaf->CeilRate / 8, assured, leaf->CeilRate);
    demands += demand;
    ++applied;
    if (root.AssuredRate == 0) {
      EXPECT_EQ(leaf->AllottedRate, demand) << Describe(*leaf);
    }
  }
  if (root.AssuredRate != 0 && applied != 0) {
    const std::uint64_t expected = std::min<std::uint64_t>(demands, root.AssuredRate);
    EXPECT_GE(HandedOut(root) + applied, expected) << Describe(root);
  }
}

TEST(HtbRandomTreeTest, NoClassOverspendsAndTwinsGetTheSameRate) {
  std::mt19937 random(20240614);
  for (int tree = 0; tree < 1000; ++tree) {
    SCOPED_TRACE("tree " + std::to_string(tree));
    std::deque<PacketFilterSetting> filters;
    HTB_Manager manager;
    RandomTreeBuilder builder(random, manager, filters);
    builder.Build();
    htb_test::ScriptedActivity activity;
    htb_test::RecordingRates rates;
    HtbTick tick(activity, rates);
    // The second tick starts from the Applied flags the first one left.
    for (int round = 0; round < 2; ++round) {
      tick.Run(manager, true);
      for (HTB_InnerClass* root :
           {manager.SendTree().Root().get(), manager.ReceiveTree().Root().get()}) {
        ExpectNoClassOverspends(*root);
        ExpectRootHandsOutWhatItHas(*root);
      }
      for (const auto& [a, b] : builder.twins) {
        EXPECT_EQ(a->Applied, b->Applied) << Describe(*a);
        const std::int64_t difference =
            std::int64_t{a->AllottedRate} - std::int64_t{b->AllottedRate};
        EXPECT_LE(std::abs(difference), 1) << Describe(*a) << " / " << Describe(*b);
      }
    }
    if (::testing::Test::HasFailure()) {
      break;  // one tree's report is enough to find the fault
    }
  }
}

}  // namespace
}  // namespace harlune
