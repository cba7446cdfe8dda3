// The HTB page's graph: the selected class's rate from the ticks, against
// the assured rate and ceiling the HTB step works with.

#include <QApplication>
#include <QTableView>
#include <QTest>
#include <QTreeView>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/htb/htb_class.h"
#include "gui/app/main_window.h"
#include "gui/models/htb_list_model.h"
#include "gui/models/htb_tree_model.h"
#include "gui/pages/htb_page.h"
#include "gui/widgets/rate_graph.h"
#include "protocol/ip_address.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;

// Send root 0 > group (8 KB/s assured, 16 KB/s ceiling) > leaf "web" with a
// quarter of the group's assured rate and a 12 KB/s ceiling.
class HtbGraphTest : public ::testing::Test {
 protected:
  HtbGraphTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(198, 18, 0, 2)}}});
    window_ = std::make_unique<CNetSieveDlg>(folder_.path(), services_, dialogs_);
    window_->SetTrayAvailability([] { return true; });
    EXPECT_TRUE(window_->Initialise());
    PacketFilterSetting record;
    record.Name = "web";
    record.LowerAdapterName = "eth0";
    record.DriverClassId = 1;
    const std::int32_t filterId = Engine().settings().filters.Add(record).ID;

    group_ = std::make_shared<HTB_InnerClass>();
    group_->Name = "group";
    group_->AssuredRate = 8192;
    group_->CeilRate = 16384;
    leaf_ = std::make_shared<HTB_LeafClass>();
    leaf_->Name = "web leaf";
    leaf_->FilterID = filterId;
    leaf_->AssuredRateOrder = 1;
    leaf_->AssuredRatePercentage = 25;
    leaf_->CeilRate = 12288;
    EXPECT_TRUE(Engine().settings().htb.Add(0, group_));
    EXPECT_TRUE(Engine().settings().htb.Add(group_->ID, leaf_));
    Engine().settings().htb.LinkFilters(
        [this](std::int32_t id) { return Engine().settings().filters.FindById(id); });
    window_->htbPage().RebuildTree();
    window_->tabs().setCurrentIndex(kHtbPageIndex);
  }

  HarluneEngine& Engine() { return window_->engine(); }
  RateGraph& Graph() { return *window_->htbPage().graph(); }
  QTreeView& Tree() { return *window_->htbPage().findChild<QTreeView*>("htbTree"); }

  void Select(std::int32_t id) {
    auto& model = *static_cast<HtbTreeModel*>(Tree().model());
    Tree().setCurrentIndex(model.IndexOfClass(id));
  }

  void FilterRate(std::uint32_t rate) {
    const auto statistics = protocol::EncodeClassStatistics({0, rate});
    services_.transport.ReplyOn("eth0",
                                static_cast<std::uint32_t>(RequestCode::HlGetTBFClassStatistics),
                                {statistics.begin(), statistics.end()});
  }

  void Seconds(int count) {
    for (int i = 0; i < count * 10; ++i) {
      Engine().StatisticsTick();
    }
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  std::unique_ptr<CNetSieveDlg> window_;
  std::shared_ptr<HTB_InnerClass> group_;
  std::shared_ptr<HTB_LeafClass> leaf_;
};

TEST_F(HtbGraphTest, TheSelectedClassIsDrawnAgainstItsDerivedAssuredRateAndCeiling) {
  window_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  Select(leaf_->ID);
  FilterRate(5000);
  Seconds(2);
  ASSERT_EQ(Graph().series().size(), 1U);
  EXPECT_EQ(Graph().series()[0].name, QStringLiteral("web leaf"));
  EXPECT_EQ(Graph().series()[0].samples, (std::vector<std::uint32_t>{5000, 5000}));
  ASSERT_EQ(Graph().lines().size(), 2U);
  EXPECT_EQ(Graph().lines()[0].name, QStringLiteral("最低保証帯域"));
  EXPECT_EQ(Graph().lines()[0].rate, 2048U) << "a quarter of the group's";
  EXPECT_EQ(Graph().lines()[1].name, QStringLiteral("上限帯域"));
  EXPECT_EQ(Graph().lines()[1].rate, 12288U);

  Select(group_->ID);
  EXPECT_EQ(Graph().series()[0].name, QStringLiteral("group"));
  EXPECT_EQ(Graph().series()[0].samples, (std::vector<std::uint32_t>{5000, 5000}));
  EXPECT_EQ(Graph().lines()[0].rate, 8192U);
  EXPECT_EQ(Graph().lines()[1].rate, 16384U);
}

TEST_F(HtbGraphTest, AnUnavailableClassCountsNothingAndNoSelectionDrawsNothing) {
  window_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
  Select(leaf_->ID);
  FilterRate(5000);
  leaf_->Available = false;
  Seconds(1);
  ASSERT_EQ(Graph().series().size(), 1U);
  EXPECT_EQ(Graph().series()[0].samples, (std::vector<std::uint32_t>{0}));

  Tree().selectionModel()->clearSelection();
  EXPECT_TRUE(Graph().series().empty());
  EXPECT_TRUE(Graph().lines().empty());
}

}  // namespace
}  // namespace harlune
