// The rate graph: its scale, legend data and tooltip values, that it paints
// nothing while hidden, and the filter page's graph pane fed from the
// window's statistics redraw, shown and hidden by the user and remembered.

#include "gui/widgets/rate_graph.h"

#include <QApplication>
#include <QEvent>
#include <QHelpEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <QToolTip>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/base/string_resources.h"
#include "gui/app/main_window.h"
#include "gui/pages/filter_page.h"
#include "protocol/ip_address.h"
#include "protocol/replies.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;

constexpr auto Code(RequestCode code) { return static_cast<std::uint32_t>(code); }

// Counts the paint events a widget gets.
class PaintCounter final : public QObject {
 public:
  explicit PaintCounter(QWidget& widget) { widget.installEventFilter(this); }
  int paints = 0;

 protected:
  bool eventFilter(QObject* /*watched*/, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
    }
    return false;
  }
};

std::vector<std::uint32_t> Ramp(std::uint32_t count, std::uint32_t step) {
  std::vector<std::uint32_t> samples;
  for (std::uint32_t i = 1; i <= count; ++i) {
    samples.push_back(i * step);
  }
  return samples;
}

TEST(RateGraphTest, TheTooltipGivesTheTimeAndEveryValueUnderThePointer) {
  RateGraph graph;
  graph.resize(900, 300);  // wide enough for a pixel per second
  graph.SetSeries({{"up", Ramp(120, 1024)}, {"down", Ramp(30, 512)}});
  graph.SetLines({{"上限帯域", 300 * 1024}});
  EXPECT_EQ(graph.ValueText({graph.XOfAge(0), graph.PlotArea().center().y()}),
            QStringLiteral("現在\nup: 120.0 KB/s\ndown: 15.0 KB/s\n上限帯域: 300.0 KB/s"));
  // "down" has no sample that old: only the series that have one are named.
  EXPECT_EQ(graph.ValueText({graph.XOfAge(65), graph.PlotArea().center().y()}),
            QStringLiteral("1分05秒前\nup: 55.0 KB/s\n上限帯域: 300.0 KB/s"));
  EXPECT_EQ(graph.ValueText({graph.XOfAge(29), graph.PlotArea().top()}),
            QStringLiteral("29秒前\nup: 91.0 KB/s\ndown: 0.5 KB/s\n上限帯域: 300.0 KB/s"));
  EXPECT_TRUE(graph.ValueText({graph.PlotArea().left() - 3, 50}).isEmpty());
  EXPECT_TRUE(graph.ValueText({graph.XOfAge(0), graph.height() - 1}).isEmpty());
}

TEST(RateGraphTest, AToolTipEventShowsTheValueTextAndNoneOutsideTheCurves) {
  RateGraph graph;
  graph.resize(900, 300);
  graph.SetSeries({{"up", Ramp(10, 2048)}});
  graph.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&graph));
  const QPoint inside(graph.XOfAge(3), graph.PlotArea().center().y());
  QHelpEvent help(QEvent::ToolTip, inside, graph.mapToGlobal(inside));
  QApplication::sendEvent(&graph, &help);
  EXPECT_EQ(QToolTip::text(), QStringLiteral("3秒前\nup: 14.0 KB/s"));
  ASSERT_TRUE(QToolTip::isVisible());
  QTest::mouseMove(&graph, {graph.XOfAge(0), inside.y()});
  EXPECT_EQ(QToolTip::text(), QStringLiteral("現在\nup: 20.0 KB/s")) << "the tooltip follows";

  const QPoint outside(1, 1);
  QHelpEvent away(QEvent::ToolTip, outside, graph.mapToGlobal(outside));
  QApplication::sendEvent(&graph, &away);
  EXPECT_FALSE(away.isAccepted());
  QToolTip::hideText();
}

TEST(RateGraphTest, TheRateAxisEndsOnARoundNumberAboveEveryValue) {
  RateGraph graph;
  EXPECT_DOUBLE_EQ(graph.ScaleTopKiB(), 1.0) << "an empty graph still has an axis";
  graph.SetSeries({{"a", {100, 3000}}});
  EXPECT_DOUBLE_EQ(graph.ScaleTopKiB(), 3.0);
  graph.SetLines({{"上限帯域", 10 * 1024 + 1}});
  EXPECT_DOUBLE_EQ(graph.ScaleTopKiB(), 15.0);
  graph.SetSeries({{"a", {0xFFFFFFFFU}}});
  EXPECT_GE(graph.ScaleTopKiB(), 4194304.0);
}

TEST(RateGraphTest, AHiddenGraphPaintsNothingAndAShownOneRepaintsOnNewData) {
  QWidget window;
  window.resize(400, 300);
  auto* graph = new RateGraph(&window);
  graph->resize(400, 300);
  graph->hide();
  PaintCounter counter(*graph);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  for (std::uint32_t i = 0; i < 5; ++i) {
    graph->SetSeries({{"a", Ramp(i + 1, 100)}});
    QApplication::processEvents();
  }
  EXPECT_EQ(counter.paints, 0);

  graph->show();
  ASSERT_TRUE(QTest::qWaitFor([&counter] { return counter.paints > 0; }));
  const int shownPaints = counter.paints;
  graph->SetSeries({{"a", Ramp(9, 100)}});
  EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints > shownPaints; }));
}

class FilterGraphTest : public ::testing::Test {
 protected:
  FilterGraphTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(198, 18, 0, 2)}}});
  }

  CNetSieveDlg& Window(const std::function<void(IniFileObject&)>& configure = {}) {
    if (!window_) {
      if (configure) {
        Settings settings(folder_.path(), dialogs_);
        configure(settings.general);
        AdapterTable adapters;
        SettingsStore(folder_.path(), settings, adapters, dialogs_).SaveAllSettings();
      }
      window_ = std::make_unique<CNetSieveDlg>(folder_.path(), services_, dialogs_);
      window_->SetTrayAvailability([] { return true; });
      EXPECT_TRUE(window_->Initialise());
    }
    return *window_;
  }

  void ShowWindow() {
    Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Window()));
  }

  void AddSelectedFilter(const std::string& name) {
    PacketFilterSetting record;
    record.Name = name;
    record.LowerAdapterName = "eth0";
    record.DriverClassId = 1;
    Window().engine().settings().filters.Add(record);
    Window().filterPage().Redraw();
    Window().filterPage().view()->selectRow(0);
  }

  void Rates(std::uint32_t send, std::uint32_t receive, std::uint32_t filter) {
    protocol::TotalStatistics totals;
    totals.sendRate = send;
    totals.receiveRate = receive;
    const auto encoded = protocol::EncodeTotalStatistics(totals);
    services_.transport.replies[Code(RequestCode::HlGetTotalStatistics)] = {
        0, {encoded.begin(), encoded.end()}};
    const auto statistics = protocol::EncodeClassStatistics({0, filter});
    services_.transport.ReplyOn("eth0", Code(RequestCode::HlGetTBFClassStatistics),
                                {statistics.begin(), statistics.end()});
  }

  // Whole seconds of statistics ticks, and what they asked Qt to do.
  void Seconds(int count) {
    for (int i = 0; i < count * 10; ++i) {
      Window().engine().StatisticsTick();
    }
    QApplication::processEvents();
  }

  RateGraph& Graph() { return *Window().filterPage().graph(); }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  std::unique_ptr<CNetSieveDlg> window_;
};

TEST_F(FilterGraphTest, AHiddenPaneDoesNoWorkAndShowsTheWholeHistoryWhenOpened) {
  ShowWindow();
  AddSelectedFilter("web");
  PaintCounter counter(Graph());
  Rates(2048, 1024, 512);
  Seconds(2);
  EXPECT_FALSE(Graph().isVisible());
  EXPECT_TRUE(Graph().series().empty()) << "a hidden pane is not even fed";
  EXPECT_EQ(counter.paints, 0);

  Window().filterPage().graphButton()->click();
  QApplication::processEvents();
  ASSERT_TRUE(Graph().isVisible());
  EXPECT_GT(counter.paints, 0);
  ASSERT_EQ(Graph().series().size(), 3U);
  EXPECT_EQ(Graph().series()[0].name, QStringLiteral("TOTAL Send"));
  EXPECT_EQ(Graph().series()[0].samples, (std::vector<std::uint32_t>{2048, 2048}));
  EXPECT_EQ(Graph().series()[1].name, QStringLiteral("TOTAL Receive"));
  EXPECT_EQ(Graph().series()[1].samples, (std::vector<std::uint32_t>{1024, 1024}));
  EXPECT_EQ(Graph().series()[2].name, QStringLiteral("web"));
  EXPECT_EQ(Graph().series()[2].samples, (std::vector<std::uint32_t>{512, 512}));

  Window().filterPage().graphButton()->click();
  const int paints = counter.paints;
  Seconds(1);
  EXPECT_EQ(counter.paints, paints);
  EXPECT_EQ(Graph().series()[0].samples.size(), 2U);
}

TEST_F(FilterGraphTest, TheShownPaneFollowsTheTicksAndTheSelection) {
  ShowWindow();
  AddSelectedFilter("web");
  Window().filterPage().graphButton()->click();
  Rates(1000, 0, 300);
  Seconds(1);
  Rates(3000, 0, 100);
  Seconds(1);
  ASSERT_EQ(Graph().series().size(), 3U);
  EXPECT_EQ(Graph().series()[0].samples, (std::vector<std::uint32_t>{1000, 3000}));
  EXPECT_EQ(Graph().series()[2].samples, (std::vector<std::uint32_t>{300, 100}));

  Window().filterPage().view()->clearSelection();
  EXPECT_EQ(Graph().series().size(), 2U) << "only the totals without a selection";

  // Out of view the page is not redrawn, and the graph with it.
  Window().tabs().setCurrentIndex(kHtbPageIndex);
  Seconds(1);
  Window().tabs().setCurrentIndex(kFilterPageIndex);
  QApplication::processEvents();
  EXPECT_EQ(Graph().series()[0].samples.size(), 3U) << "caught up when back in view";
}

TEST_F(FilterGraphTest, TheChoiceIsWrittenOnlyOnceTheUserMadeIt) {
  Window();
  ASSERT_TRUE(Window().engine().SaveGeneralSettings());
  const auto file = folder_.path() / strings::kGeneralSettingFile;
  EXPECT_EQ(testing::ReadFileText(file).find("SHOW_FILTER_GRAPH"), std::string::npos);

  Window().filterPage().graphButton()->click();
  ASSERT_TRUE(Window().engine().SaveGeneralSettings());
  EXPECT_NE(testing::ReadFileText(file).find("SHOW_FILTER_GRAPH=TRUE"), std::string::npos);
}

TEST_F(FilterGraphTest, AWindowStartsWithThePaneAsTheUserLeftIt) {
  Window([](IniFileObject& general) { general.SHOW_FILTER_GRAPH = 1; });
  ShowWindow();
  EXPECT_TRUE(Window().filterPage().graphButton()->isChecked());
  EXPECT_TRUE(Graph().isVisible());
}

}  // namespace
}  // namespace harlune
