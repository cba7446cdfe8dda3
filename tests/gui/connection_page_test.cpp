#include "gui/pages/connection_page.h"

#include <unistd.h>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenu>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/monitor/connection_filter.h"
#include "gui/base/qt_text.h"
#include "gui/models/connection_model.h"
#include "platform/linux/linux_engine_services.h"
#include "protocol/byte_order.h"
#include "protocol/ip_address.h"
#include "support/fake_engine_services.h"
#include "support/loopback_socket.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::HostToNet16;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr IpAddress kLocal = Ipv4Address(192, 168, 0, 2);

TcpTableRow Row(std::uint16_t localPort, std::uint32_t remote, std::uint16_t remotePort,
                std::int32_t pid, std::uint32_t state = kTcpStateEstablished) {
  return {
      state, kLocal, HostToNet16(localPort), IpAddress::FromIpv4(remote), HostToNet16(remotePort),
      pid,   0};
}

// A row of an IPv6 socket: native IPv6 or IPv4-mapped addresses.
TcpTableRow Row6(std::uint16_t localPort, std::string_view local, std::string_view remote,
                 std::uint16_t remotePort, std::int32_t pid) {
  return {kTcpStateEstablished,
          *ParseIpAddress(local),
          HostToNet16(localPort),
          *ParseIpAddress(remote),
          HostToNet16(remotePort),
          pid,
          0};
}

std::vector<std::string> Texts(const QAbstractItemModel& model, int column) {
  std::vector<std::string> texts;
  for (int row = 0; row < model.rowCount(); ++row) {
    texts.push_back(ToUtf8(model.index(row, column).data().toString()));
  }
  return texts;
}

QAction* ActionNamed(const QMenu& menu, std::string_view text) {
  for (QAction* action : menu.actions()) {
    if (ToUtf8(action->text()) == text) {
      return action;
    }
    if (action->menu() != nullptr) {
      if (QAction* inner = ActionNamed(*action->menu(), text)) {
        return inner;
      }
    }
  }
  return nullptr;
}

TEST(ConnectionModelTest, RowsFollowEveryChangeOfTheTableAndSortAsTheCoreSorts) {
  ConnectionModel model;
  ConnectionSortModel sorted;
  sorted.setSourceModel(&model);
  const QAbstractItemModelTester modelChecks(&model);
  const QAbstractItemModelTester sortChecks(&sorted);
  ConnectionSortOrder order;
  order.ClickHeader(static_cast<int>(ConnectionColumn::kConnectedTime));
  std::minstd_rand random(7);
  for (int round = 0; round < 40; ++round) {
    if (round == 20) {
      order.ClickHeader(static_cast<int>(ConnectionColumn::kConnectedTime));
    }
    sorted.Apply(order);
    std::vector<ConnectionRow> rows;
    for (std::uint16_t port = 1; port <= 30; ++port) {
      if (random() % 3 != 0) {
        ConnectionRow row;
        row.connection.localPort = HostToNet16(port);
        row.connection.connectedSeconds = static_cast<std::uint32_t>(random() % 3);  // ties
        rows.push_back(row);
      }
    }
    model.Update(rows, true);
    std::vector<ConnectionRow> expected = rows;
    order.Sort(expected);
    ASSERT_EQ(sorted.rowCount(), static_cast<int>(rows.size()));
    for (int row = 0; row < sorted.rowCount(); ++row) {
      const auto at = static_cast<std::size_t>(row);
      ASSERT_EQ(model.RowAt(row).connection, rows[at].connection) << "round " << round;
      ASSERT_EQ(sorted.RowAt(row).connection, expected[at].connection) << "round " << round;
    }
  }
}

// Three connections: A (local port 1000) and C (3000) were seen by two
// refreshes and carry their looked-up names, B (2000, an unknown process)
// is new and still unresolved.
class ConnectionPageTest : public ::testing::Test {
 protected:
  ConnectionPageTest() {
    services_.adapters.SetAdapters(
        {{2, "card", "eth0", {kLocal.Ipv4Value()}, {*ParseIpAddress("2001:2::1")}}});
    services_.processes.entries = {{100, "browser.exe", "C:\\Apps\\browser.exe"},
                                   {200, "mail.exe", "/usr/bin/mail.exe"}};
    services_.table->rows = {Row(1000, Ipv4(10, 0, 0, 9), 80, 100),
                             Row(3000, Ipv4(10, 0, 0, 5), 443, 200)};
    engine_.settings().general.LOG_CONNECTION_STATS = 0;
    engine_.Initialise();
    engine_.resolver().WaitUntilIdle(std::chrono::seconds(5));
    Refresh({Row(2000, Ipv4(10, 0, 0, 1), 25, 0)});
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

  std::vector<std::string> Column(ConnectionColumn column) {
    return Texts(Page().rows(), static_cast<int>(column));
  }

  void Select(std::initializer_list<int> rows) {
    for (const int row : rows) {
      Page().view()->selectionModel()->select(
          Page().rows().index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }

  const ConnectionRow& RowOfPort(std::uint16_t localPort) {
    for (int row = 0; row < Page().rows().rowCount(); ++row) {
      if (HostOrderPort(Page().rows().RowAt(row).connection.localPort) == localPort) {
        return Page().rows().RowAt(row);
      }
    }
    throw std::out_of_range("no such row");
  }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  HarluneEngine engine_{folder_.path(), services_, dialogs_, scheduler_, view_};
  std::unique_ptr<ConnectionPage> page_;
};

TEST_F(ConnectionPageTest, SortingByHostNamePutsUnresolvedRowsFirstAndASecondClickTurnsIt) {
  EXPECT_THAT(Column(ConnectionColumn::kLocalPort), ElementsAre("1000", "2000", "3000"));
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kRemoteHost));
  EXPECT_THAT(Column(ConnectionColumn::kRemoteHost),
              ElementsAre("検索中...", "10.0.0.5", "10.0.0.9"));
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kRemoteHost));
  EXPECT_THAT(Column(ConnectionColumn::kRemoteHost),
              ElementsAre("10.0.0.9", "10.0.0.5", "検索中..."));
  EXPECT_EQ(Page().rows().headerData(6, Qt::Horizontal).toString(), ToQString("ローカルポート"));
}

TEST_F(ConnectionPageTest, RowsAreUpdatedInPlaceAndTheSelectionFollowsItsConnection) {
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kRemoteHost));
  Select({2});  // A
  QSignalSpy resets(&Page().rows(), &QAbstractItemModel::modelReset);

  Refresh({Row(500, Ipv4(10, 0, 0, 7), 80, 100)}, 3000);
  Page().Redraw();

  // Unresolved rows tie and keep key order.
  EXPECT_THAT(Column(ConnectionColumn::kLocalPort), ElementsAre("500", "2000", "1000"));
  const QModelIndexList selected = Page().view()->selectionModel()->selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(selected[0].row(), 2);
  EXPECT_EQ(Column(ConnectionColumn::kConnectedTime)[2], "0分02秒");
  EXPECT_EQ(resets.count(), 0);
}

TEST_F(ConnectionPageTest, AFilterMadeFromAConnectionArrivesInTheFilterList) {
  std::vector<PacketFilterSetting> opened;
  Page().SetFilterEditor([&](PacketFilterSetting& record) {
    opened.push_back(record);
    record.Name = "from connection";
    return true;
  });
  QSignalSpy pages(&Page(), &ConnectionPage::showPageRequested);

  Page().NewFilterFromAddresses(RowOfPort(1000));
  PacketFilterManager& filters = engine_.settings().filters;
  ASSERT_EQ(filters.Size(), 1U);
  EXPECT_EQ(filters.At(0).Name, "from connection");
  EXPECT_EQ(filters.At(0).RemoteIPAddr, Ipv4(10, 0, 0, 9));
  EXPECT_EQ(filters.At(0).LowerAdapterName, "eth0");
  ASSERT_EQ(pages.count(), 1);
  EXPECT_EQ(pages[0][0].toInt(), 0);

  Page().NewFilterFromProcess(RowOfPort(1000));
  ASSERT_EQ(filters.Size(), 2U);
  EXPECT_EQ(filters.At(1).AppName, "browser.exe");

  Page().NewFilterFromProcess(RowOfPort(2000));
  while (!filters.IsFull()) {
    filters.Add(PacketFilterSetting{});
  }
  Page().NewFilterFromAddresses(RowOfPort(1000));
  EXPECT_EQ(opened.size(), 2U);
  EXPECT_EQ(pages.count(), 2);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kUnknownProcessFilterMessage),
                                             "これ以上フィルタを追加できません。"));
}

TEST_F(ConnectionPageTest, TheMenuHoldsTheListStillAndDisconnectsEverySelectedRow) {
  Select({0, 2});
  Qt::CheckState pauseDuringMenu = Qt::Unchecked;
  int rowsDuringMenu = 0;
  Page().SetMenuRunner([&](QMenu& menu, const QPoint&) {
    pauseDuringMenu = Page().pauseBox()->checkState();
    Refresh({}, 2000);
    Page().Redraw();
    rowsDuringMenu = Page().rows().rowCount();
    return ActionNamed(menu, "このコネクションを切断(&D)");
  });
  Page().ShowContextMenu({});

  EXPECT_EQ(pauseDuringMenu, Qt::PartiallyChecked);
  EXPECT_EQ(rowsDuringMenu, 3);
  EXPECT_EQ(Page().pauseBox()->checkState(), Qt::Unchecked);
  const auto key = [](std::uint16_t port, std::uint32_t remote, std::uint16_t remotePort) {
    return TcpFourTuple{kLocal, HostToNet16(port), IpAddress::FromIpv4(remote),
                        HostToNet16(remotePort)};
  };
  EXPECT_THAT(services_.resetter.reset,
              ElementsAre(key(1000, Ipv4(10, 0, 0, 9), 80), key(3000, Ipv4(10, 0, 0, 5), 443)));
  EXPECT_FALSE(Page().view()->selectionModel()->hasSelection());
  EXPECT_EQ(Page().rows().rowCount(), 2);

  Page().SetMenuRunner([](QMenu&, const QPoint&) -> QAction* { return nullptr; });
  Page().ShowContextMenu({});  // nothing selected: no menu
  EXPECT_EQ(services_.resetter.reset.size(), 2U);
}

TEST_F(ConnectionPageTest, ExternalCommandsOfTheConnectionMonitorRunWithTheRowsMacros) {
  ExternalCommandIni& commands = engine_.settings().commands;
  commands.Add({1, 0, kTargetConnectionMonitor, "probe",
                "probe %LocalPort% %RemoteHost% %ProcessName% %ProcessID% %ProcessDir%"});
  commands.Add({1, 0, kTargetPacketMonitor, "packets only", "x"});
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kLocalPort));
  Select({0});
  std::vector<std::string> offered;
  Page().SetMenuRunner([&](QMenu& menu, const QPoint&) {
    const QMenu* submenu = ActionNamed(menu, "外部コマンド(&E)")->menu();
    for (const QAction* action : submenu->actions()) {
      offered.push_back(ToUtf8(action->text()));
    }
    return ActionNamed(menu, "probe");
  });
  QSignalSpy runs(&Page(), &ConnectionPage::runCommandRequested);
  QSignalSpy pages(&Page(), &ConnectionPage::showPageRequested);
  Page().ShowContextMenu({});

  EXPECT_THAT(offered, ElementsAre("ping[CM](&P)", "tracert[CM](&T)", "net send[CM](&N)", "probe"));
  ASSERT_EQ(runs.count(), 1);
  EXPECT_EQ(runs[0][0].value<CommandTemplate>().Text(),
            "probe 1000 10.0.0.9 browser.exe 100 C:\\Apps\\");
  ASSERT_EQ(pages.count(), 1);
  EXPECT_EQ(pages[0][0].toInt(), 5);

  while (commands.size() > 0) {
    commands.RemoveAt(0);
  }
  int items = 0;
  Page().SetMenuRunner([&](QMenu& menu, const QPoint&) -> QAction* {
    items = static_cast<int>(menu.actions().size());
    return nullptr;
  });
  Page().ShowContextMenu({});
  EXPECT_EQ(items, 5);  // no separator, no submenu
}

TEST_F(ConnectionPageTest, TheOptionBoxesChooseTheRowsAndAreStored) {
  Refresh({Row(8080, 0, 0, 100, kTcpStateListen),
           Row(4000, Ipv4(10, 0, 0, 3), 80, 100, kTcpStateTimeWait)});
  Page().Redraw();
  EXPECT_EQ(Page().rows().rowCount(), 4);

  Page().listeningBox()->click();
  EXPECT_EQ(engine_.settings().general.SHOW_LISTENING, 1);
  EXPECT_EQ(Page().rows().rowCount(), 5);
  EXPECT_EQ(Column(ConnectionColumn::kRemoteHost)[3], "検索中...");  // new this refresh
  Page().hostNameBox()->click();
  EXPECT_EQ(engine_.settings().general.RESOLVE_HOST, 0);
  Page().Redraw();
  EXPECT_EQ(Column(ConnectionColumn::kRemoteHost)[3], "検索停止");

  Page().activeOnlyBox()->click();
  EXPECT_EQ(engine_.settings().general.SHOW_ACTIVE_CONNECTION_ONLY, 1);
  EXPECT_THAT(Column(ConnectionColumn::kLocalPort), ElementsAre("1000", "2000", "3000", "8080"));
  EXPECT_FALSE(engine_.settingsSaved());

  Page().pauseBox()->click();
  Refresh({}, 1000);
  Page().Redraw();
  EXPECT_EQ(Page().rows().rowCount(), 4);
}

TEST_F(ConnectionPageTest, ColumnsComeFromTheSettingsAndGoBackAfterAChange) {
  IniFileObject& settings = engine_.settings().general;
  settings.LCTCPCONNECTION_COLUMN_SIZE[3] = 123;
  std::swap(settings.LCTCPCONNECTION_COLUMN_ORDER[0], settings.LCTCPCONNECTION_COLUMN_ORDER[1]);
  QHeaderView& header = *Page().view()->horizontalHeader();
  EXPECT_EQ(header.sectionSize(3), 123);
  EXPECT_EQ(header.logicalIndex(0), 1);

  header.resizeSection(5, 150);
  QTest::qWait(100);
  EXPECT_EQ(settings.LCTCPCONNECTION_COLUMN_SIZE[5], 150);
  EXPECT_EQ(settings.LCTCPCONNECTION_COLUMN_ORDER[0], 1);

  settings.LCTCPCONNECTION_COLUMN_ORDER[1] = 1;  // two columns at once: not an order
  ConnectionPage other(engine_, dialogs_);
  EXPECT_EQ(other.view()->horizontalHeader()->logicalIndex(0), 0);
}

// Besides A, B and C: D (4000) a native IPv6 connection of the browser and
// E (5000) an IPv4 connection through an IPv6 socket of the mail program.
class ConnectionPageIpv6Test : public ConnectionPageTest {
 protected:
  void AddIpv6Rows() {
    Refresh({Row6(4000, "2001:2:0:0:0:0:0:1", "2001:2::7", 443, 100),
             Row6(5000, "::ffff:192.168.0.2", "::ffff:10.0.0.3", 80, 200)});
    engine_.resolver().WaitUntilIdle(std::chrono::seconds(5));
  }
  int SectionSize(ConnectionColumn column) {
    return Page().view()->horizontalHeader()->sectionSize(static_cast<int>(column));
  }
};

TEST_F(ConnectionPageIpv6Test, RowsShowAddressTextsAndTheHostOfAFailedLookup) {
  AddIpv6Rows();
  Page();
  const auto cell = [this](std::uint16_t port, ConnectionColumn column) {
    return ConnectionCellText(RowOfPort(port), static_cast<int>(column), true);
  };
  EXPECT_EQ(cell(4000, ConnectionColumn::kLocalAddress), "2001:2::1");
  EXPECT_EQ(cell(4000, ConnectionColumn::kRemoteAddress), "2001:2::7");
  EXPECT_EQ(cell(4000, ConnectionColumn::kRemoteHost), "検索中...");
  EXPECT_EQ(cell(5000, ConnectionColumn::kLocalAddress), "192.168.0.2");
  EXPECT_EQ(cell(5000, ConnectionColumn::kRemoteAddress), "10.0.0.3");
  EXPECT_EQ(cell(5000, ConnectionColumn::kRemoteHost), "検索中...");

  Refresh({});
  Page().Redraw();
  // The model's texts, as the view shows them.
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kLocalPort));
  EXPECT_THAT(Column(ConnectionColumn::kLocalPort),
              ElementsAre("1000", "2000", "3000", "4000", "5000"));
  EXPECT_EQ(Column(ConnectionColumn::kRemoteHost)[3], "2001:2::7");
  EXPECT_EQ(Column(ConnectionColumn::kRemoteHost)[4], "10.0.0.3");
  EXPECT_EQ(Column(ConnectionColumn::kLocalAddress)[3], "2001:2::1");
  // The mapped row's key is the IPv4 connection's.
  EXPECT_EQ(KeyOf(RowOfPort(5000).connection),
            (TcpFourTuple{kLocal, HostToNet16(5000), Ipv4Address(10, 0, 0, 3), HostToNet16(80)}));
}

TEST_F(ConnectionPageIpv6Test, AddressColumnsSortIpv4FirstBothWays) {
  AddIpv6Rows();
  Refresh({Row6(6000, "2001:2::1", "2001:2::10", 443, 100), Row6(7000, "::1", "::1", 22, 100)});
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kRemoteAddress));
  EXPECT_THAT(Column(ConnectionColumn::kRemoteAddress),
              ElementsAre("10.0.0.1", "10.0.0.3", "10.0.0.5", "10.0.0.9", "::1", "2001:2::7",
                          "2001:2::10"));
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kRemoteAddress));
  EXPECT_THAT(Column(ConnectionColumn::kRemoteAddress),
              ElementsAre("2001:2::10", "2001:2::7", "::1", "10.0.0.9", "10.0.0.5", "10.0.0.3",
                          "10.0.0.1"));

  // Equal addresses keep key order (by local port here) both ways.
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kLocalAddress));
  EXPECT_THAT(Column(ConnectionColumn::kLocalPort),
              ElementsAre("1000", "2000", "3000", "5000", "7000", "4000", "6000"));
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kLocalAddress));
  EXPECT_THAT(Column(ConnectionColumn::kLocalPort),
              ElementsAre("4000", "6000", "7000", "1000", "2000", "3000", "5000"));
}

TEST_F(ConnectionPageIpv6Test, AddressColumnsWidenOnceForTheFirstIpv6Address) {
  const IniFileObject& settings = engine_.settings().general;
  const int stored = settings.LCTCPCONNECTION_COLUMN_SIZE[5];
  ASSERT_EQ(settings.LCTCPCONNECTION_COLUMN_SIZE[7], stored);
  // IPv4 rows only, a mapped one among them: the stored widths.
  Refresh({Row6(5000, "::ffff:192.168.0.2", "::ffff:10.0.0.3", 80, 200)});
  Page().Redraw();
  EXPECT_EQ(SectionSize(ConnectionColumn::kLocalAddress), stored);
  EXPECT_EQ(SectionSize(ConnectionColumn::kRemoteAddress), stored);

  // An IPv6 peer of an IPv4-local socket cannot be, but each column is
  // judged by its own addresses: a remote IPv6 address widens the remote
  // column only.
  Refresh({Row6(4000, "192.168.0.2", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 443, 100),
           Row6(4001, "192.168.0.2", "8888:8888:8888:8888:8888:8888:8888:8888", 443, 100),
           Row6(4002, "192.168.0.2", "dddd:dddd:dddd:dddd:dddd:dddd:dddd:dddd", 443, 100)});
  Page().Redraw();
  EXPECT_EQ(SectionSize(ConnectionColumn::kLocalAddress), stored);
  const int remote = SectionSize(ConnectionColumn::kRemoteAddress);
  const QFontMetrics metrics = Page().view()->fontMetrics();
  EXPECT_GE(remote, metrics.horizontalAdvance("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"));
  EXPECT_GE(remote, metrics.horizontalAdvance("8888:8888:8888:8888:8888:8888:8888:8888"));
  // As wide as the view itself asks for to show those cells whole.
  EXPECT_GE(remote, static_cast<const QAbstractItemView*>(Page().view())
                        ->sizeHintForColumn(static_cast<int>(ConnectionColumn::kRemoteAddress)));
  EXPECT_EQ(remote, std::max(stored, Page().FullAddressWidth()));
  QTest::qWait(100);
  EXPECT_EQ(settings.LCTCPCONNECTION_COLUMN_SIZE[7], remote);

  // Once fitted, the width is the user's.
  Page().view()->horizontalHeader()->resizeSection(
      static_cast<int>(ConnectionColumn::kRemoteAddress), 90);
  Refresh({Row6(4003, "2001:2::1", "2001:2::9", 443, 100)});
  Page().Redraw();
  EXPECT_EQ(SectionSize(ConnectionColumn::kRemoteAddress), 90);
  EXPECT_EQ(SectionSize(ConnectionColumn::kLocalAddress),
            std::max(stored, Page().FullAddressWidth()));
}

TEST_F(ConnectionPageIpv6Test, AColumnWiderThanAnAddressIsNotNarrowed) {
  engine_.settings().general.LCTCPCONNECTION_COLUMN_SIZE[5] = 900;
  AddIpv6Rows();
  Page().Redraw();
  EXPECT_EQ(SectionSize(ConnectionColumn::kLocalAddress), 900);
  EXPECT_GE(SectionSize(ConnectionColumn::kRemoteAddress), Page().FullAddressWidth());
}

TEST_F(ConnectionPageIpv6Test, FiltersFromAnIpv6ConnectionAndFromAMappedOneAreMade) {
  AddIpv6Rows();
  std::vector<PacketFilterSetting> opened;
  Page().SetFilterEditor([&](PacketFilterSetting& record) {
    opened.push_back(record);
    return true;
  });
  Page().NewFilterFromAddresses(RowOfPort(4000));
  Page().NewFilterFromProcess(RowOfPort(4000));
  Page().NewFilterFromAddresses(RowOfPort(5000));
  Page().NewFilterFromProcess(RowOfPort(5000));
  EXPECT_THAT(dialogs_.messages, IsEmpty());
  ASSERT_EQ(opened.size(), 4U);
  // The native one: its hosts as IPv6 prefixes, its process on IPv6 alone.
  const IpAddress::Bytes16 remote = ParseIpAddress("2001:2::7")->Ipv6Bytes();
  EXPECT_EQ(opened[0].RemoteIpv6, (protocol::Ipv6Prefix{remote, 128}));
  EXPECT_EQ(opened[0].LocalIpv6.length, 128);
  EXPECT_EQ(opened[0].RemoteIPAddrMask, 0U);
  EXPECT_EQ(opened[0].LowerAdapterName, "eth0");
  EXPECT_EQ(opened[1].AppName, "browser.exe");
  EXPECT_EQ(opened[1].AddressFamily, protocol::AddressFamilies::kIpv6);
  EXPECT_EQ(opened[1].LowerAdapterName, "eth0");
  // The mapped one is an IPv4 connection.
  EXPECT_EQ(opened[2].RemoteIPAddr, Ipv4(10, 0, 0, 3));
  EXPECT_EQ(opened[2].LocalIPAddr, kLocal.Ipv4Value());
  EXPECT_EQ(opened[2].LowerAdapterName, "eth0");
  EXPECT_FALSE(opened[2].HasIpv6Settings());
  EXPECT_EQ(opened[3].AppName, "mail.exe");
  EXPECT_EQ(opened[3].LowerAdapterName, "eth0");
  EXPECT_EQ(engine_.settings().filters.Size(), 4U);

  // An IPv6 address of no adapter is refused as an IPv4 one is.
  Refresh({Row6(6000, "2001:2::99", "2001:2::7", 443, 100)});
  Page().Redraw();
  Page().NewFilterFromAddresses(RowOfPort(6000));
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kConnectionAdapterNotValidMessage)));
  EXPECT_EQ(engine_.settings().filters.Size(), 4U);
}

TEST_F(ConnectionPageIpv6Test, MenuCommandsOnIpv6AndMappedRows) {
  AddIpv6Rows();
  engine_.settings().commands.Add(
      {1, 0, kTargetConnectionMonitor, "probe", "probe %LocalAddr% %RemoteAddr% %RemoteHost%"});
  Refresh({});
  Page().ClickHeader(static_cast<int>(ConnectionColumn::kLocalPort));
  Select({3});  // D
  QSignalSpy runs(&Page(), &ConnectionPage::runCommandRequested);
  Page().SetMenuRunner([](QMenu& menu, const QPoint&) { return ActionNamed(menu, "probe"); });
  Page().ShowContextMenu({});
  ASSERT_EQ(runs.count(), 1);
  const CommandTemplate command = runs[0][0].value<CommandTemplate>();
  EXPECT_THAT(command.Arguments().arguments,
              ElementsAre("probe", "2001:2::1", "2001:2::7", "2001:2::7"));

  // The copied remote address is the text the row shows.
  Page().SetMenuRunner([](QMenu& menu, const QPoint&) {
    return ActionNamed(menu, "リモートIPアドレスをコピー(&A)");
  });
  QGuiApplication::clipboard()->clear();
  Page().ShowContextMenu({});
  EXPECT_EQ(ToUtf8(QGuiApplication::clipboard()->text()), "2001:2::7");

  Select({4});  // E too
  Page().SetMenuRunner(
      [](QMenu& menu, const QPoint&) { return ActionNamed(menu, "このコネクションを切断(&D)"); });
  Page().ShowContextMenu({});
  EXPECT_THAT(services_.resetter.reset,
              ElementsAre(TcpFourTuple{*ParseIpAddress("2001:2::1"), HostToNet16(4000),
                                       *ParseIpAddress("2001:2::7"), HostToNet16(443)},
                          TcpFourTuple{kLocal, HostToNet16(5000), Ipv4Address(10, 0, 0, 3),
                                       HostToNet16(80)}));
}

TEST(ConnectionPageOnThisMachine, ShowsThisTestsLoopbackConnectionsWithItsProcessName) {
  testing::TempDir folder;
  LinuxEngineServices services;
  RecordingUserDialogs dialogs;
  testing::RecordingScheduler scheduler;
  testing::RecordingView view;
  HarluneEngine engine(folder.path(), services, dialogs, scheduler, view);
  engine.settings().general.LOG_CONNECTION_STATS = 0;
  engine.settings().general.LOG_CONNECTION_CONTROL = 0;
  ASSERT_TRUE(engine.Initialise());
  testing::LoopbackSocket listener;
  ASSERT_TRUE(listener.Listen());
  testing::LoopbackSocket client;
  ASSERT_TRUE(client.ConnectTo(listener.Port()));
  const testing::LoopbackSocket server = listener.Accept();
  engine.ConnectionTick();

  ConnectionPage page(engine, dialogs);
  const std::string ownName = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  const auto process = static_cast<int>(ConnectionColumn::kProcessName);
  int found = 0;
  for (int row = 0; row < page.rows().rowCount(); ++row) {
    const ConnectionInfo& c = page.rows().RowAt(row).connection;
    const bool clientSide = c.localPort == client.Port() && c.remotePort == listener.Port();
    const bool serverSide = c.localPort == listener.Port() && c.remotePort == client.Port();
    if (clientSide || serverSide) {
      ++found;
      EXPECT_EQ(ToUtf8(page.rows().index(row, process).data().toString()), ownName);
      EXPECT_EQ(c.processId, getpid());
      EXPECT_EQ(ToUtf8(page.rows().index(row, 10).data().toString()), "ESTABLISHED");
    }
  }
  EXPECT_EQ(found, 2);
}

}  // namespace
}  // namespace harlune
