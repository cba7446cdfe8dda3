// The connection page's view by process: the model against the core's
// grouping, the switch, the process rows against the connection rows,
// expansion and selection across refreshes, and the menu.

#include "gui/pages/connection_process_view.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCheckBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QRadioButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QTreeView>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/base/size_text.h"
#include "core/monitor/connection_filter.h"
#include "core/monitor/process_groups.h"
#include "gui/base/qt_text.h"
#include "gui/models/connection_model.h"
#include "gui/models/process_tree_model.h"
#include "gui/pages/connection_page.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::HostToNet16;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr IpAddress kLocal = Ipv4Address(198, 18, 0, 2);
constexpr std::string_view kFromProcess = "このプロセス名でフィルタを新規作成(&P)...";
constexpr std::string_view kFromAddresses = "このIPアドレスとポートでフィルタを新規作成(&I)...";

int Column(ProcessColumn column) { return static_cast<int>(column); }

std::string Cell(const QModelIndex& index, ProcessColumn column) {
  return ToUtf8(index.siblingAtColumn(Column(column)).data().toString());
}

// The process rows as "name/id", top to bottom.
std::vector<std::string> ProcessRows(const QAbstractItemModel& model) {
  std::vector<std::string> rows;
  for (int row = 0; row < model.rowCount(); ++row) {
    const QModelIndex at = model.index(row, 0);
    rows.push_back(Cell(at, ProcessColumn::kProcessName) + "/" +
                   Cell(at, ProcessColumn::kProcessId));
  }
  return rows;
}

// Counts what the model checker finds, which outside a QTest run only
// reaches the log.
class ModelCheckFindings {
 public:
  ModelCheckFindings() : previous_(qInstallMessageHandler(&Record)) { count_ = 0; }
  ~ModelCheckFindings() { qInstallMessageHandler(previous_); }
  int Count() const { return count_; }

 private:
  static void Record(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (context.category != nullptr && std::string_view(context.category) == "qt.modeltest") {
      ++count_;
    }
    qt_message_output(type, context, text);
  }
  static inline int count_ = 0;
  QtMessageHandler previous_;
};

// Random tables of four owners with tied values; the sorted model must show
// what the core's grouping, sorted stably by its comparisons, gives.
TEST(ProcessTreeModelTest, RowsFollowEveryChangeInPlaceAndSortAsTheCoreCompares) {
  ProcessTreeModel model;
  ProcessSortModel sorted;
  sorted.setSourceModel(&model);
  const ModelCheckFindings findings;
  constexpr auto kReport = QAbstractItemModelTester::FailureReportingMode::Warning;
  const QAbstractItemModelTester modelChecks(&model, kReport);
  const QAbstractItemModelTester sortChecks(&sorted, kReport);
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  const std::array<std::pair<std::int32_t, const char*>, 4> owners{
      {{1, "alpha"}, {2, "Beta"}, {3, "beta"}, {kUnknownProcessId, "不明"}}};
  ConnectionSortOrder order;
  std::minstd_rand random(11);
  for (int round = 0; round < 60; ++round) {
    if (round % 10 == 9) {  // each column ascending, then descending
      order.ClickHeader(
          Column(round < 35 ? ProcessColumn::kUpBandwidth : ProcessColumn::kDownTotal));
    }
    sorted.Apply(order);
    std::vector<ConnectionRow> rows;
    const auto present = random();  // a bit per owner: processes come and go
    for (std::uint16_t port = 1; port <= 24; ++port) {
      ConnectionRow row;
      row.connection.localPort = HostToNet16(port);
      const auto owner = random() % owners.size();
      std::tie(row.connection.processId, row.processName) = owners[owner];
      row.processPath = "/bin/" + row.processName;
      row.connection.upBandwidth = static_cast<std::uint32_t>(random() % 3);
      row.connection.downTotal = random() % 4;
      if (random() % 3 != 0 && ((present >> owner) & 1U) != 0) {
        rows.push_back(row);
      }
    }
    model.Update(GroupByProcess(rows), true);

    std::vector<ProcessGroup> expected = GroupByProcess(rows);
    const int sign = order.Ascending() ? 1 : -1;
    std::ranges::stable_sort(expected, [&](const ProcessGroup& a, const ProcessGroup& b) {
      return sign * CompareProcessGroups(a, b, order.Column()) < 0;
    });
    ASSERT_EQ(sorted.rowCount(), static_cast<int>(expected.size())) << round;
    for (int row = 0; row < sorted.rowCount(); ++row) {
      ProcessGroup& want = expected[static_cast<std::size_t>(row)];
      std::ranges::stable_sort(want.connections,
                               [&](const ConnectionRow& a, const ConnectionRow& b) {
                                 return sign * CompareProcessConnections(a, b, order.Column()) < 0;
                               });
      const QModelIndex parent = sorted.index(row, 0);
      ASSERT_TRUE(SameProcess(sorted.GroupOf(parent), want)) << round << " " << row;
      ASSERT_EQ(sorted.GroupOf(parent).upBandwidth, want.upBandwidth) << round;
      ASSERT_EQ(sorted.rowCount(parent), static_cast<int>(want.connections.size())) << round;
      for (int child = 0; child < sorted.rowCount(parent); ++child) {
        ASSERT_EQ(*sorted.ConnectionOf(sorted.index(child, 0, parent)),
                  want.connections[static_cast<std::size_t>(child)])
            << round << " " << row << " " << child;
      }
    }
  }
  EXPECT_EQ(resets.count(), 0);
  EXPECT_EQ(findings.Count(), 0);
}

TcpTableRow Row(std::uint16_t localPort, std::uint8_t remote, std::uint16_t remotePort,
                std::int32_t pid) {
  return {kTcpStateEstablished,
          kLocal,
          HostToNet16(localPort),
          Ipv4Address(192, 0, 2, remote),
          HostToNet16(remotePort),
          pid,
          0};
}

// Two instances of the browser (100 and 101, one path), the mail program
// (200), a connection without an owner (2000) and one whose owner is gone
// from the process list (pid 300).
class ConnectionProcessViewTest : public ::testing::Test {
 protected:
  ConnectionProcessViewTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {kLocal.Ipv4Value()}, {}}});
    services_.processes.entries = {{100, "browser", "/usr/bin/browser"},
                                   {101, "browser", "/usr/bin/browser"},
                                   {200, "mail", "/usr/bin/mail"}};
    services_.table->rows = {Row(1000, 9, 80, 100),  Row(1001, 9, 443, 100), Row(2000, 1, 25, 0),
                             Row(3000, 5, 443, 200), Row(4000, 6, 443, 101), Row(5000, 7, 22, 300)};
    engine_.settings().general.LOG_CONNECTION_STATS = 0;
    engine_.Initialise();
    engine_.resolver().WaitUntilIdle(std::chrono::seconds(5));
    Send(1000, 9, 80, 1010, true);
    Send(1001, 9, 443, 500, true);
    Send(1001, 9, 443, 3000, false);
    Send(3000, 5, 443, 100, true);
    Refresh({});
  }

  // One captured packet of `bytes` (IP length plus the 14-byte link header)
  // from the local port, or to it.
  void Send(std::uint16_t localPort, std::uint8_t remote, std::uint16_t remotePort,
            std::uint16_t bytes, bool up) {
    std::array<std::uint8_t, 60> record{};
    const std::uint16_t ipLength = bytes - 14;
    record[20] = static_cast<std::uint8_t>(ipLength >> 8);
    record[21] = static_cast<std::uint8_t>(ipLength & 0xFF);
    record[27] = 6;
    const std::array<std::uint32_t, 2> hosts{kLocal.Ipv4Value(),
                                             Ipv4Address(192, 0, 2, remote).Ipv4Value()};
    const std::array<std::uint16_t, 2> ports{HostToNet16(localPort), HostToNet16(remotePort)};
    std::memcpy(&record[30], &hosts[up ? 0 : 1], 4);
    std::memcpy(&record[34], &hosts[up ? 1 : 0], 4);
    std::memcpy(&record[38], &ports[up ? 0 : 1], 2);
    std::memcpy(&record[40], &ports[up ? 1 : 0], 2);
    engine_.connections().AccountPackets(record);
  }

  void Refresh(const std::vector<TcpTableRow>& added, std::uint16_t removedPort = 0) {
    std::erase_if(services_.table->rows, [&](const TcpTableRow& row) {
      return protocol::NetToHost16(static_cast<std::uint16_t>(row.localPort)) == removedPort;
    });
    services_.table->rows.insert(services_.table->rows.end(), added.begin(), added.end());
    engine_.ConnectionTick();
  }

  ConnectionPage& Page() {
    if (!page_) {
      page_ = std::make_unique<ConnectionPage>(engine_, dialogs_);
    }
    return *page_;
  }
  ConnectionProcessView& View() { return *Page().processView(); }
  const ProcessSortModel& Processes() { return View().rows(); }

  QModelIndex ProcessRow(std::string_view nameAndId) {
    const std::vector<std::string> rows = ProcessRows(Processes());
    const auto found = std::ranges::find(rows, nameAndId);
    return found == rows.end() ? QModelIndex{}
                               : Processes().index(static_cast<int>(found - rows.begin()), 0);
  }

  void Select(const QModelIndex& index) {
    View().tree()->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
  std::unique_ptr<ConnectionPage> page_;
};

// Each process row adds up the connection list's own rows of its process;
// only the view in sight follows a refresh.
TEST_F(ConnectionProcessViewTest, ProcessRowsAddUpTheConnectionRowsAndOnlyTheShownViewRedraws) {
  Send(1000, 9, 80, 2048, true);
  Send(4000, 6, 443, 4096, false);
  Refresh({Row(1002, 3, 80, 100)});
  Page().Redraw();
  EXPECT_EQ(Processes().rowCount(), 0);                          // never drawn while hidden
  std::map<std::string, std::vector<ConnectionInfo>> byProcess;  // "name/id" -> its rows
  for (int row = 0; row < Page().rows().rowCount(); ++row) {
    const auto cell = [&](ConnectionColumn column) {
      return ToUtf8(Page().rows().index(row, static_cast<int>(column)).data().toString());
    };
    const std::string name = cell(ConnectionColumn::kProcessName);
    // An id that names nobody counts as no known owner.
    byProcess[name == "不明" ? "不明/不明" : name + "/" + cell(ConnectionColumn::kProcessId)]
        .push_back(Page().rows().RowAt(row).connection);
  }
  Page().processesButton()->click();
  EXPECT_EQ(ToUtf8(Page().processesButton()->text()), "プロセス");
  EXPECT_EQ(Page().findChild<QStackedWidget*>()->currentWidget(), Page().processView());
  EXPECT_THAT(ProcessRows(Processes()),
              ElementsAre("browser/100", "browser/101", "mail/200", "不明/不明"));
  for (const auto& [process, connections] : byProcess) {
    const QModelIndex at = ProcessRow(process);
    ConnectionInfo sum;
    for (const ConnectionInfo& c : connections) {
      sum.upBandwidth += c.upBandwidth;
      sum.downBandwidth += c.downBandwidth;
      sum.upTotal += c.upTotal;
    }
    EXPECT_EQ(Cell(at, ProcessColumn::kConnectionCount), std::to_string(connections.size()));
    EXPECT_EQ(Cell(at, ProcessColumn::kUpBandwidth), BandwidthText(sum.upBandwidth)) << process;
    EXPECT_EQ(Cell(at, ProcessColumn::kDownBandwidth), BandwidthText(sum.downBandwidth));
    EXPECT_EQ(Cell(at, ProcessColumn::kUpTotal), SizeText(sum.upTotal)) << process;
    EXPECT_EQ(Processes().rowCount(at), static_cast<int>(connections.size())) << process;
  }
  // The bytes counted are there: not a comparison of zeros.
  EXPECT_EQ(Cell(ProcessRow("browser/100"), ProcessColumn::kUpTotal), "3.5 KB");  // 3558 bytes
  EXPECT_EQ(Cell(ProcessRow("browser/101"), ProcessColumn::kDownBandwidth), "4.0 KB/s");

  Refresh({}, 1000);
  Page().Redraw();
  EXPECT_EQ(Page().rows().rowCount(), 7);  // the hidden list keeps what it showed
  EXPECT_EQ(Cell(ProcessRow("browser/100"), ProcessColumn::kConnectionCount), "2");
  Page().connectionsButton()->click();
  EXPECT_EQ(Page().rows().rowCount(), 6);
}

// A process keeps its row, and with it what is expanded and selected, while
// processes come before it, its rates change its place and its
// connections come and go.
TEST_F(ConnectionProcessViewTest, ExpansionAndSelectionFollowTheirProcessAcrossRefreshes) {
  services_.processes.entries.push_back({50, "agent", "/usr/bin/agent"});
  Page().processesButton()->click();
  QTreeView& tree = *View().tree();
  emit tree.header()->sectionClicked(Column(ProcessColumn::kUpBandwidth));
  View().ClickHeader(Column(ProcessColumn::kUpBandwidth));  // fastest first
  tree.expand(ProcessRow("mail/200"));
  const QModelIndex connection = Processes().index(0, 0, ProcessRow("mail/200"));  // 3000
  Select(connection);
  EXPECT_EQ(Cell(connection, ProcessColumn::kProcessName), "TCP");
  EXPECT_EQ(Cell(connection, ProcessColumn::kRemotePort), "443 (https)");
  EXPECT_EQ(Cell(connection, ProcessColumn::kProcessPath), "");  // on the process row
  QSignalSpy resets(&Processes(), &QAbstractItemModel::modelReset);

  Send(3000, 5, 443, 9000, true);  // mail becomes the fastest
  Refresh({Row(6000, 8, 80, 50), Row(3001, 5, 993, 200)}, 1001);
  Page().Redraw();
  EXPECT_THAT(ProcessRows(Processes()),
              ElementsAre("mail/200", "agent/50", "browser/100", "browser/101", "不明/不明"));
  const QModelIndex mail = ProcessRow("mail/200");
  EXPECT_TRUE(tree.isExpanded(mail));
  EXPECT_FALSE(tree.isExpanded(ProcessRow("agent/50")));
  ASSERT_EQ(tree.selectionModel()->selectedRows().size(), 1);
  const QModelIndex selected = tree.selectionModel()->selectedRows()[0];
  EXPECT_EQ(selected.parent(), mail);
  EXPECT_EQ(HostOrderPort(Processes().ConnectionOf(selected)->connection.localPort), 3000);
  EXPECT_EQ(Processes().rowCount(mail), 2);
  EXPECT_EQ(resets.count(), 0);

  // A process that goes takes its rows and the selection along.
  Refresh({}, 3000);
  Refresh({}, 3001);
  Page().Redraw();
  EXPECT_FALSE(tree.selectionModel()->hasSelection());
  EXPECT_THAT(ProcessRows(Processes()),
              ElementsAre("agent/50", "browser/100", "browser/101", "不明/不明"));
}

TEST_F(ConnectionProcessViewTest, TheMenuMakesFiltersFromAProcessAndFromItsConnections) {
  int edited = 0;
  Page().SetFilterEditor([&edited](PacketFilterSetting&) { return ++edited > 0; });
  Page().processesButton()->click();
  std::vector<std::string> offered;
  Qt::CheckState pauseDuringMenu = Qt::Unchecked;
  std::string_view choice;
  Page().SetMenuRunner([&](QMenu& menu, const QPoint&) -> QAction* {
    offered.clear();
    QAction* chosen = nullptr;
    for (QAction* action : menu.actions()) {
      offered.push_back(ToUtf8(action->text()));
      chosen = offered.back() == choice ? action : chosen;
    }
    pauseDuringMenu = Page().pauseBox()->checkState();
    return chosen;
  });
  View().ShowContextMenu({});  // nothing selected: no menu
  EXPECT_THAT(offered, IsEmpty());

  choice = kFromProcess;
  Select(ProcessRow("browser/101"));
  View().ShowContextMenu({});
  EXPECT_THAT(offered, ElementsAre(kFromProcess));
  EXPECT_EQ(pauseDuringMenu, Qt::PartiallyChecked);  // held still, as the list is
  EXPECT_EQ(Page().pauseBox()->checkState(), Qt::Unchecked);
  const PacketFilterManager& filters = engine_.settings().filters;
  ASSERT_EQ(filters.Size(), 1U);
  EXPECT_EQ(filters.At(0).AppName, "browser");
  EXPECT_EQ(filters.At(0).LowerAdapterName, "eth0");

  choice = kFromAddresses;
  Select(Processes().index(0, 0, ProcessRow("mail/200")));  // its connection
  View().ShowContextMenu({});
  EXPECT_THAT(offered, ElementsAre(kFromAddresses, kFromProcess));
  ASSERT_EQ(filters.Size(), 2U);
  EXPECT_EQ(filters.At(1).RemoteIPAddr, Ipv4(192, 0, 2, 5));

  // None for the processes nobody knows, with the connection rows' message.
  choice = kFromProcess;
  Select(ProcessRow("不明/不明"));
  View().ShowContextMenu({});
  choice = {};
  Select(ProcessRow("mail/200"));
  View().ShowContextMenu({});  // closed without a choice
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kUnknownProcessFilterMessage)));
  EXPECT_EQ(filters.Size(), 2U);
  EXPECT_EQ(edited, 2);
}

// The search box finds processes by their connections' text: a process shows
// with the connections that hold the text, and its sums are theirs alone.
TEST_F(ConnectionProcessViewTest, TheSearchKeepsTheProcessesOfTheConnectionsItFinds) {
  Page().processesButton()->click();
  Page().searchBox()->setText(QStringLiteral("MAIL"));
  EXPECT_THAT(ProcessRows(Processes()), ElementsAre("mail/200"));

  Page().searchBox()->setText(QStringLiteral("192.0.2.9"));
  EXPECT_THAT(ProcessRows(Processes()), ElementsAre("browser/100"));
  const QModelIndex browser = ProcessRow("browser/100");
  EXPECT_EQ(Cell(browser, ProcessColumn::kConnectionCount), "2");
  EXPECT_EQ(Processes().rowCount(browser), 2);

  // A refresh keeps the search; a new connection that holds the text joins.
  Refresh({Row(1003, 9, 8080, 200)});
  Page().Redraw();
  EXPECT_THAT(ProcessRows(Processes()), ElementsAre("browser/100", "mail/200"));

  Page().searchBox()->clear();
  EXPECT_EQ(ProcessRows(Processes()).size(), 4U);
}

// The process rows are one line of text high, as every list's rows are.
TEST_F(ConnectionProcessViewTest, TheRowsAreAsHighAsTheConnectionListRows) {
  Page().processesButton()->click();
  const QTreeView& tree = *View().tree();
  ASSERT_GT(tree.model()->rowCount(), 0);
  const int listRow = Page().view()->verticalHeader()->defaultSectionSize();
  EXPECT_EQ(tree.sizeHintForRow(0), listRow);
  EXPECT_EQ(listRow, tree.fontMetrics().height() + 4);
}

}  // namespace
}  // namespace harlune
