// The search boxes of the connection and packet lists and the copy,
// select-all and find keys of the list pages.

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QStandardItemModel>
#include <QTableView>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "core/capture/capture_records.h"
#include "gui/models/connection_model.h"
#include "gui/models/row_search.h"
#include "gui/pages/command_page.h"
#include "gui/pages/connection_page.h"
#include "gui/pages/filter_page.h"
#include "gui/pages/htb_page.h"
#include "gui/pages/packet_page.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::HostToNet16;
using protocol::NetToHost32;
using Texts = std::vector<QString>;

constexpr std::uint32_t kLocal = Ipv4(198, 18, 0, 2);
constexpr int kPort = static_cast<int>(ConnectionColumn::kLocalPort);
constexpr std::uint8_t kAck = 0x10;
constexpr std::uint8_t kSyn = 0x02;

TcpTableRow Row(std::uint16_t localPort, std::uint32_t remote, std::int32_t pid) {
  return {kTcpStateEstablished,
          IpAddress::FromIpv4(kLocal),
          HostToNet16(localPort),
          IpAddress::FromIpv4(remote),
          HostToNet16(80),
          pid,
          0};
}

Texts Column(const QAbstractItemModel& model, int column) {
  Texts texts;
  for (int row = 0; row < model.rowCount(); ++row) {
    texts.push_back(model.index(row, column).data().toString());
  }
  return texts;
}

Texts Selected(const QAbstractItemView& view, int column) {
  Texts texts;
  for (const QModelIndex& row : view.selectionModel()->selectedRows(column)) {
    texts.push_back(row.data().toString());
  }
  std::ranges::sort(texts);
  return texts;
}

QAction* Chosen(QMenu& menu, const QString& text) {
  for (QAction* action : menu.findChildren<QAction*>()) {
    if (action->text() == text) {
      return action;
    }
  }
  return nullptr;
}

// Connections from 198.18.0.2: local port 1000 to 198.19.0.9 (Browser.exe),
// 2000 to 192.0.2.1 (unknown process), 3000 to 198.19.0.5 (メール.exe).
class ListSearchTest : public ::testing::Test {
 protected:
  ListSearchTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {kLocal}}});
    services_.processes.entries = {{100, "Browser.exe", "/opt/Browser.exe"},
                                   {200, "メール.exe", "/usr/bin/メール.exe"}};
    services_.table->rows = {Row(1000, Ipv4(198, 19, 0, 9), 100), Row(2000, Ipv4(192, 0, 2, 1), 0),
                             Row(3000, Ipv4(198, 19, 0, 5), 200)};
    engine_.settings().general.LOG_CONNECTION_STATS = 0;
    EXPECT_TRUE(engine_.Initialise());
    engine_.ConnectionTick();
    engine_.resolver().WaitUntilIdle(std::chrono::seconds(5));
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
  }

  // TCP segments to 198.18.0.2: SYN ones from 198.19.0.7, ACK ones from
  // 192.0.2.7.
  void Feed(std::size_t count, std::uint8_t flags, bool deferDrawing = false) {
    test::RecordBytes record = test::MakeRecord(6, flags);
    test::PutBe32(record, 30,
                  NetToHost32(flags == kSyn ? Ipv4(198, 19, 0, 7) : Ipv4(192, 0, 2, 7)));
    test::PutBe32(record, 34, NetToHost32(kLocal));
    engine_.packets().AddCapturedRecords(test::Batch(count, record), deferDrawing);
  }

  static void Activate(QWidget& page, QWidget& focus) {
    page.resize(900, 400);
    page.show();
    page.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
    focus.setFocus();
  }

  static QString Clipboard() { return QGuiApplication::clipboard()->text(); }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
};

TEST(RowSearchModelTest, MatchesAnyColumnWhateverTheCaseAndComparesOnlyNewAndChangedRows) {
  QStandardItemModel rows;
  for (const char* name : {"Mail.EXE", "ＭＡＩＬ", "dns"}) {
    rows.appendRow({new QStandardItem(QString::fromUtf8(name)), new QStandardItem("198.18.0.9")});
  }
  RowSearchModel search;
  search.setSourceModel(&rows);
  search.SetText(QStringLiteral("  ｍａｉｌ "));  // full-width letters fold too
  EXPECT_EQ(Column(search, 0), Texts{"ＭＡＩＬ"});
  search.SetText(QStringLiteral("mail"));
  EXPECT_EQ(Column(search, 0), Texts{"Mail.EXE"});
  search.SetText(QStringLiteral("198.18"));  // the second column
  EXPECT_EQ(search.rowCount(), 3);
  const std::size_t compared = search.search().ComparedRows();

  rows.insertRow(0, new QStandardItem("198.18.0.1"));
  rows.item(3, 1)->setText(QStringLiteral("192.0.2.1"));
  EXPECT_EQ(Column(search, 0), (Texts{"198.18.0.1", "Mail.EXE", "ＭＡＩＬ"}));
  EXPECT_EQ(search.search().ComparedRows(), compared + 2);
  search.SetText(QStringLiteral(" \t"));  // blanks alone are no search
  rows.appendRow(new QStandardItem("x"));
  EXPECT_EQ(search.rowCount(), 5);
  EXPECT_EQ(search.search().ComparedRows(), compared + 2);
}

TEST_F(ListSearchTest, ConnectionSearchFindsAnyColumnAndComparesNothingWhileEmpty) {
  ConnectionPage page(engine_, dialogs_);
  const auto search = [&](const char* text) {
    page.searchBox()->setText(QString::fromUtf8(text));
    return Column(page.rows(), kPort);
  };
  EXPECT_EQ(search("BROWSER.exe"), Texts{"1000"});
  EXPECT_EQ(search("198.19.0."), (Texts{"1000", "3000"}));
  EXPECT_EQ(search("メール"), Texts{"3000"});
  EXPECT_EQ(search("no such text"), Texts{});
  const std::size_t compared = page.rows().search().ComparedRows();
  EXPECT_EQ(search(""), (Texts{"1000", "2000", "3000"}));
  engine_.ConnectionTick();
  page.Redraw();
  page.ClickHeader(kPort);
  EXPECT_EQ(page.rows().search().ComparedRows(), compared);
}

TEST_F(ListSearchTest, ConnectionSelectionOutlivesRefreshesAndTheMenuActsOnTheRowSeen) {
  ConnectionPage page(engine_, dialogs_);
  page.view()->selectAll();
  page.searchBox()->setText(QStringLiteral("198.19"));
  EXPECT_EQ(Selected(*page.view(), kPort), (Texts{"1000", "3000"}));
  services_.table->rows.push_back(Row(500, Ipv4(198, 19, 0, 7), 100));
  engine_.ConnectionTick();
  page.Redraw();
  page.ClickHeader(kPort);
  page.ClickHeader(kPort);  // descending
  EXPECT_EQ(Column(page.rows(), kPort), (Texts{"3000", "1000", "500"}));
  EXPECT_EQ(Selected(*page.view(), kPort), (Texts{"1000", "3000"}));
  page.searchBox()->clear();
  EXPECT_EQ(Selected(*page.view(), kPort), (Texts{"1000", "3000"}));

  page.searchBox()->setText(QStringLiteral("192.0.2"));
  page.view()->selectRow(0);
  page.SetMenuRunner([](QMenu& menu, const QPoint&) {
    return Chosen(menu, QStringLiteral("このコネクションを切断(&D)"));
  });
  page.ShowContextMenu({});
  ASSERT_EQ(services_.resetter.reset.size(), 1U);
  EXPECT_EQ(services_.resetter.reset[0].localPort, HostToNet16(2000));
}

TEST_F(ListSearchTest, PacketSearchRunsOnlyOnTheShownListWhileATextIsSet) {
  PacketPage page(engine_, dialogs_);
  Feed(2, kAck);
  Feed(1, kSyn);
  const auto searched = [&](int list) { return page.shownRows(list).rowCount() < 3; };
  QHeaderView& header = *page.listView(1).horizontalHeader();
  header.moveSection(3, 0);
  header.resizeSection(2, 0);
  const QByteArray columns = header.saveState();

  page.searchBox().setText(QStringLiteral("SyN"));  // the flags column
  EXPECT_EQ(&page.shownRows(1), &page.listModel(1));
  EXPECT_EQ(Column(page.shownRows(0), 0), Texts{"3"});
  page.tabBar().setCurrentIndex(1);
  EXPECT_TRUE(searched(1));
  EXPECT_EQ(&page.shownRows(0), &page.listModel(0));
  EXPECT_EQ(header.saveState(), columns);
  engine_.packets().RebuildLists();  // as at a session start: list 0 shown
  Feed(1, kAck);
  Feed(1, kSyn);
  EXPECT_EQ(Column(page.shownRows(0), 0), Texts{"2"});

  page.searchBox().setText(QStringLiteral("  "));
  EXPECT_EQ(&page.shownRows(0), &page.listModel(0));
}

TEST_F(ListSearchTest, PacketSearchComparesOnlyArrivingRowsAndKeepsTheSelection) {
  PacketPage page(engine_, dialogs_);
  engine_.settings().commands.Add({1, 0, kTargetPacketMonitor, "nc", "nc %SrcAddr%"});
  Feed(2, kSyn);
  Feed(3, kAck);
  page.searchBox().setText(QStringLiteral("198.19.0.7"));
  QTableView& view = page.listView(0);
  view.selectRow(1);  // serial 1
  const auto& search = dynamic_cast<const RowSearchModel&>(page.shownRows(0));
  const std::size_t compared = search.search().ComparedRows();

  Feed(1, kSyn);        // a row at a time
  Feed(2, kAck, true);  // by the tick's redraw
  page.Redraw();
  EXPECT_EQ(Column(page.shownRows(0), 0), (Texts{"6", "2", "1"}));
  EXPECT_EQ(search.search().ComparedRows(), compared + 3);
  EXPECT_EQ(Selected(view, 0), Texts{"1"});

  QString command;
  QObject::connect(
      &page, &PacketPage::runCommandRequested, &page,
      [&command](const CommandTemplate& run) { command = QString::fromStdString(run.Text()); });
  page.SetMenuRunner([](QMenu& menu, const QPoint&) { return Chosen(menu, "nc"); });
  view.selectRow(0);
  page.ShowContextMenu(0, {});
  EXPECT_EQ(command, QStringLiteral("nc 198.19.0.7"));
  page.searchBox().clear();
  EXPECT_EQ(Selected(view, 0), Texts{"6"});
}

TEST_F(ListSearchTest, KeysFindTheBoxAndSelectAndCopyTheRowsSeen) {
  PacketPage page(engine_, dialogs_);
  Feed(1, kAck);
  Feed(2, kSyn);
  QTableView& view = page.listView(0);
  QHeaderView& header = *view.horizontalHeader();
  for (int column = 1; column < header.count(); ++column) {
    header.setSectionHidden(column, column != static_cast<int>(PacketColumn::kSourceAddress));
  }
  header.moveSection(header.visualIndex(static_cast<int>(PacketColumn::kSourceAddress)), 0);
  Activate(page, view);

  QTest::keyClick(&view, Qt::Key_F, Qt::ControlModifier);
  ASSERT_TRUE(page.searchBox().hasFocus());
  QTest::keyClicks(&page.searchBox(), QStringLiteral("198.19"));
  QTest::keyClick(&page.searchBox(), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(&page.searchBox(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), QStringLiteral("198.19"));  // the box keeps its own keys
  view.setFocus();
  QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), QStringLiteral("198.19.0.7\t3\n198.19.0.7\t2"));
}

TEST_F(ListSearchTest, FilterPageCopyKeyCopiesTextAndDuplicatesNothing) {
  for (const char* name : {"web", "dns"}) {
    PacketFilterSetting record;
    record.Name = name;
    record.LowerAdapterName = "eth0";
    engine_.settings().filters.Add(record);
  }
  FilterPage page(engine_, dialogs_);
  page.Redraw();
  QTableView& view = *page.view();
  for (int column = 1; column < view.horizontalHeader()->count(); ++column) {
    view.horizontalHeader()->hideSection(column);
  }
  Activate(page, view);
  QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);  // nothing selected
  EXPECT_EQ(Clipboard(), QStringLiteral("before"));
  QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), QStringLiteral("1 web\n2 dns"));
  EXPECT_EQ(engine_.settings().filters.Size(), 2U);
}

// The HTB tree and the command list hold one selected row, which is copied
// even while another row is current.
TEST_F(ListSearchTest, SingleSelectionListsCopyTheSelectedRow) {
  HtbPage htb(engine_, dialogs_);
  auto* tree = htb.findChild<QTreeView*>("htbTree");
  const QModelIndex receiveRoot = tree->model()->index(1, 0);
  tree->setCurrentIndex(receiveRoot);
  tree->selectionModel()->setCurrentIndex(tree->model()->index(0, 0),
                                          QItemSelectionModel::NoUpdate);
  Activate(htb, *tree);
  QTest::keyClick(tree, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(tree->selectionModel()->selectedRows().size(), 1);
  QTest::keyClick(tree, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), receiveRoot.data().toString());

  CommandPage commands(engine_, dialogs_);
  QListView& list = commands.commandList();
  list.setCurrentIndex(list.model()->index(0, 0));
  list.selectionModel()->setCurrentIndex(list.model()->index(1, 0), QItemSelectionModel::NoUpdate);
  Activate(commands, list);
  QTest::keyClick(&list, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(Clipboard(), QString::fromStdString(engine_.settings().commands[0].Name));
}

}  // namespace
}  // namespace harlune
