#include "gui/pages/filter_page.h"

#include <QApplication>
#include <QHeaderView>
#include <QIcon>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/app/ini_file_writer.h"
#include "gui/base/qt_text.h"
#include "gui/editors/edit_filter_dialog.h"
#include "gui/models/filter_list_model.h"
#include "protocol/ip_address.h"
#include "protocol/request_codes.h"
#include "support/fake_engine_services.h"
#include "support/recording_user_dialogs.h"
#include "support/temp_dir.h"

namespace harlune {
namespace {

using protocol::RequestCode;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class FilterPageTest : public ::testing::Test {
 protected:
  FilterPageTest() {
    services_.adapters.SetAdapters({{2, "card", "eth0", {Ipv4(192, 168, 0, 2)}}});
    engine_ =
        std::make_unique<HarluneEngine>(folder_.path(), services_, dialogs_, scheduler_, view_);
    EXPECT_TRUE(engine_->Initialise());
  }

  FilterPage& Page() {
    if (!page_) {
      page_ = std::make_unique<FilterPage>(*engine_, dialogs_);
      page_->resize(900, 400);
    }
    return *page_;
  }

  PacketFilterSetting& AddFilter(const std::string& name) {
    PacketFilterSetting record;
    record.Name = name;
    record.LowerAdapterName = "eth0";
    record.DriverClassId = 1;  // as the session start leaves it
    return engine_->settings().filters.Add(record);
  }

  std::size_t Count(RequestCode code) const {
    return services_.transport.CallsWithCode(static_cast<std::uint32_t>(code)).size();
  }

  QString Cell(int row, int column) { return Page().model()->index(row, column).data().toString(); }

  std::vector<int> Selected() {
    std::vector<int> rows;
    for (const QModelIndex& index : Page().view()->selectionModel()->selectedRows()) {
      rows.push_back(index.row());
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  void SelectRow(int row) { Page().view()->selectRow(row); }

  ColumnValues<15>& Widths() { return engine_->settings().general.LCFILTER_COLUMN_SIZE; }
  ColumnValues<15>& Order() { return engine_->settings().general.LCFILTER_COLUMN_ORDER; }

  testing::TempDir folder_;
  testing::FakeEngineServices services_;
  RecordingUserDialogs dialogs_;
  testing::RecordingScheduler scheduler_;
  testing::RecordingView view_;
  std::unique_ptr<HarluneEngine> engine_;
  std::unique_ptr<FilterPage> page_;
};

TEST_F(FilterPageTest, NewFilterFromTheEditorReachesTheDriverAndTheList) {
  Page().SetFilterEditor([this](bool isNew, PacketFilterSetting& record) {
    CEditFilterDlg dialog(engine_->adapters(), dialogs_);
    EXPECT_TRUE(isNew);
    if (!dialog.LoadFromSetting(isNew, record)) {
      return false;
    }
    dialog.controls().name->setText(QStringLiteral("web"));
    dialog.controls().rate->setText(QStringLiteral("50"));
    dialog.accept();
    dialog.SaveToSetting(record);
    return dialog.result() == QDialog::Accepted;
  });
  QSignalSpy selection(&Page(), &FilterPage::selectionChanged);

  Page().NewFilter();

  EXPECT_EQ(Count(RequestCode::HlAddTBFClass), 1u);
  ASSERT_EQ(Page().model()->rowCount(), 1);
  EXPECT_EQ(Cell(0, 0), QStringLiteral("1 web"));
  EXPECT_EQ(Cell(0, 3), QStringLiteral("50 KB/s"));
  EXPECT_EQ(Cell(0, 8), QStringLiteral("192.168.0.2"));
  EXPECT_THAT(Selected(), ElementsAre(0));
  EXPECT_GE(selection.count(), 1);
  EXPECT_FALSE(engine_->settingsSaved());
}

TEST_F(FilterPageTest, NewFilterAddsNothingWhenCancelledOrWhenTheListIsFull) {
  int opened = 0;
  Page().SetFilterEditor([&opened](bool, PacketFilterSetting&) {
    ++opened;
    return false;
  });
  Page().NewFilter();
  EXPECT_EQ(opened, 1);
  EXPECT_EQ(Page().model()->rowCount(), 0);
  EXPECT_EQ(Count(RequestCode::HlAddTBFClass), 0u);

  for (int i = 0; i < 128; ++i) {
    AddFilter("f");
  }
  Page().NewFilter();
  EXPECT_EQ(opened, 1);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kFilterLimitMessage)));
}

TEST_F(FilterPageTest, RowsShowEveryColumnOfTheFilter) {
  PacketFilterSetting& mail = AddFilter("mail");
  mail.Protocol = 17;
  mail.Available = 0;
  mail.TBFThrough = 1;
  mail.TBFMode = 1;
  mail.AppName = "app.exe";
  mail.LocalIPAddr = Ipv4(192, 168, 0, 2);
  mail.RemoteIPAddr = Ipv4(10, 0, 0, 1);
  mail.RemoteIPAddrMask = Ipv4(255, 255, 255, 0);
  mail.LocalPortCount = 2;
  mail.LocalPorts[0] = protocol::HostPortRange(80, 80);
  mail.LocalPorts[1] = protocol::HostPortRange(1000, 2000);
  mail.TBFMPU = 64;
  mail.Comment = "note";
  mail.TransferredBytes = 2048;
  AddFilter("ping").Protocol = 1;
  AddFilter("gre").Protocol = 47;
  Page().Redraw();

  std::vector<std::string> cells;
  for (int column = 0; column < 15; ++column) {
    cells.push_back(ToUtf8(Cell(0, column)));
  }
  EXPECT_THAT(cells, ElementsAre("1 mail", "UDP", "未計測", "無制限", "2.0 KB", "Receive",
                                 "app.exe", "なし", "192.168.0.2", "10.0.0.1", "80,1000-2000", "",
                                 "255.255.255.0", "64 Byte", "note"));
  EXPECT_EQ(Cell(1, 1), QStringLiteral("ICMP"));
  EXPECT_EQ(Cell(1, 2), QStringLiteral("0.0 KB/s"));
  EXPECT_EQ(Cell(1, 3), QStringLiteral("100 KB/s"));
  EXPECT_EQ(Cell(1, 5), QStringLiteral("Send"));
  EXPECT_EQ(Cell(2, 1), QStringLiteral("その他"));

  const auto icon = [this](int row) {
    return Page().model()->index(row, 0).data(Qt::DecorationRole).value<QIcon>().cacheKey();
  };
  EXPECT_NE(icon(0), icon(1));
  EXPECT_EQ(icon(1), icon(2));
  for (int column = 0; column < 15; ++column) {
    EXPECT_EQ(ToUtf8(Page().model()->headerData(column, Qt::Horizontal).toString()),
              kFilterColumnHeaders[static_cast<std::size_t>(column)]);
  }
}

TEST_F(FilterPageTest, RedrawUpdatesChangedCellsInPlaceAndKeepsTheSelection) {
  AddFilter("a");
  PacketFilterSetting& b = AddFilter("b");
  Page().Redraw();
  SelectRow(1);
  QSignalSpy resets(Page().model(), &QAbstractItemModel::modelReset);
  QSignalSpy layouts(Page().model(), &QAbstractItemModel::layoutChanged);
  QSignalSpy removed(Page().model(), &QAbstractItemModel::rowsRemoved);
  QSignalSpy changed(Page().model(), &QAbstractItemModel::dataChanged);

  b.Name = "renamed";
  b.TransferredBytes = 4096;
  Page().Redraw();
  Page().Redraw();

  EXPECT_EQ(Cell(1, 0), QStringLiteral("2 renamed"));
  EXPECT_EQ(Cell(1, 4), QStringLiteral("4.0 KB"));
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 1);
  EXPECT_EQ(resets.count() + layouts.count() + removed.count(), 0);
  EXPECT_THAT(Selected(), ElementsAre(1));

  QSignalSpy inserted(Page().model(), &QAbstractItemModel::rowsInserted);
  AddFilter("c");
  Page().Redraw();
  EXPECT_EQ(inserted.count(), 1);
  EXPECT_EQ(Cell(2, 0), QStringLiteral("3 c"));
  EXPECT_THAT(Selected(), ElementsAre(1));
}

TEST_F(FilterPageTest, ListCommandsGoToTheDriverAndSelectTheRowsTheEngineNames) {
  AddFilter("a");
  AddFilter("b");
  AddFilter("c");
  Page().Redraw();

  SelectRow(0);
  Page().Up();  // the top row stays
  EXPECT_EQ(Count(RequestCode::HlUpTBFClass), 0u);

  SelectRow(2);
  Page().Up();
  EXPECT_EQ(Count(RequestCode::HlUpTBFClass), 1u);
  EXPECT_EQ(Cell(1, 0), QStringLiteral("2 c"));
  EXPECT_THAT(Selected(), ElementsAre(1));

  Page().Copy();
  ASSERT_EQ(Page().model()->rowCount(), 4);
  EXPECT_EQ(Cell(3, 0), QStringLiteral("4 c"));
  EXPECT_THAT(Selected(), ElementsAre(3));

  Page().ToggleAvailable();
  EXPECT_EQ(Count(RequestCode::HlModifyTBFClass), 1u);
  EXPECT_EQ(Cell(3, 2), QStringLiteral("未計測"));
  EXPECT_THAT(Selected(), ElementsAre(3));

  Page().DeleteFilters();
  EXPECT_EQ(Count(RequestCode::HlDeleteTBFClass), 1u);
  EXPECT_EQ(Page().model()->rowCount(), 3);
  EXPECT_FALSE(Page().HasSelection());
}

TEST_F(FilterPageTest, DoubleClickOpensTheEditorOnACopyOfTheRow) {
  AddFilter("a");
  Page().show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&Page()));
  Page().Redraw();
  std::string openedName;
  Page().SetFilterEditor([&openedName](bool isNew, PacketFilterSetting& record) {
    EXPECT_FALSE(isNew);
    openedName = record.Name;
    record.TBFRate = 200 * 1024;
    return true;
  });

  QTableView* view = Page().view();
  const QPoint row = view->visualRect(Page().model()->index(0, 0)).center();
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, row);
  QMouseEvent doubleClick(QEvent::MouseButtonDblClick, row, view->viewport()->mapToGlobal(row),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view->viewport(), &doubleClick);

  EXPECT_EQ(openedName, "a");
  EXPECT_EQ(Count(RequestCode::HlModifyTBFClass), 1u);
  EXPECT_EQ(Cell(0, 3), QStringLiteral("200 KB/s"));
}

TEST_F(FilterPageTest, ColumnChangesReachTheSettingsAfterTheUserFinishes) {
  QHeaderView* header = Page().view()->horizontalHeader();
  header->resizeSection(2, 123);
  EXPECT_EQ(Widths()[2], 85);  // not before the delay
  EXPECT_TRUE(QTest::qWaitFor([this] { return Widths()[2] == 123; }, 1000));

  // The list has no 16th column: nothing is stored, not even past the array.
  const auto before = FormatGeneralSettings(engine_->settings().general);
  emit header->sectionResized(15, 10, 50);
  QTest::qWait(3 * FilterPage::kColumnSaveDelayMs);
  EXPECT_EQ(FormatGeneralSettings(engine_->settings().general), before);

  header->moveSection(0, 3);
  EXPECT_TRUE(QTest::qWaitFor([this] { return Order()[0] != 0; }, 1000));
  EXPECT_THAT(Order(), ElementsAre(1, 2, 3, 0, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14));
}

TEST_F(FilterPageTest, ColumnsAreRestoredFromTheSettings) {
  Widths()[1] = 77;
  Order() = {14, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  QHeaderView* header = Page().view()->horizontalHeader();
  EXPECT_EQ(header->sectionSize(1), 77);
  EXPECT_EQ(header->logicalIndex(0), 14);
  EXPECT_EQ(header->logicalIndex(1), 0);

  // An order array that repeats a column is not applied.
  page_.reset();
  Order() = {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  header = Page().view()->horizontalHeader();
  for (int visual = 0; visual < 15; ++visual) {
    EXPECT_EQ(header->logicalIndex(visual), visual);
  }
}

}  // namespace
}  // namespace harlune

namespace harlune {
namespace {

TEST_F(FilterPageTest, RemoteAddressColumnShowsAnIpv6PrefixWhenTheFilterHasOne) {
  PacketFilterSetting& v6 = AddFilter("v6");
  v6.RemoteIPAddr = Ipv4(198, 18, 0, 1);
  v6.RemoteIpv6 = {ParseIpAddress("2001:db8:0:0::").value().Ipv6Bytes(), 32};
  PacketFilterSetting& localOnly = AddFilter("local v6");
  localOnly.RemoteIPAddr = Ipv4(198, 18, 0, 2);
  localOnly.LocalIpv6 = {ParseIpAddress("fe80::1").value().Ipv6Bytes(), 128};
  Page().Redraw();

  EXPECT_EQ(Cell(0, 9), QStringLiteral("2001:db8::/32"));
  EXPECT_EQ(Cell(1, 9), QStringLiteral("198.18.0.2"));
  v6.RemoteIpv6.length = 0;
  Page().Redraw();
  EXPECT_EQ(Cell(0, 9), QStringLiteral("198.18.0.1"));
}

TEST_F(FilterPageTest, Ipv6FilterFromTheEditorReachesTheDriverWithItsFamilies) {
  Page().SetFilterEditor([this](bool isNew, PacketFilterSetting& record) {
    CEditFilterDlg dialog(engine_->adapters(), dialogs_);
    if (!dialog.LoadFromSetting(isNew, record)) {
      return false;
    }
    dialog.controls().remoteIpv6->setText(QStringLiteral("2001:db8:5::"));
    dialog.controls().remoteIpv6Prefix->setText(QStringLiteral("48"));
    dialog.accept();
    dialog.SaveToSetting(record);
    return dialog.result() == QDialog::Accepted;
  });

  Page().NewFilter();

  ASSERT_EQ(Page().model()->rowCount(), 1);
  EXPECT_EQ(Cell(0, 9), QStringLiteral("2001:db8:5::/48"));
  const auto family = services_.transport.CallsWithCode(
      static_cast<std::uint32_t>(RequestCode::HlSetTBFClassFamily));
  ASSERT_EQ(family.size(), 1U);
  const auto decoded = protocol::DecodeClassFamily(family[0].input);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->families, protocol::AddressFamilies::kIpv6);
  EXPECT_EQ(decoded->remote.length, 48);
  EXPECT_EQ(decoded->driverClassId, 1U);
}

}  // namespace
}  // namespace harlune

namespace harlune {
namespace {

// The keys run the buttons' commands while the focus is on the page.
TEST_F(FilterPageTest, KeysRunTheButtonsCommands) {
  AddFilter("web");
  AddFilter("mail");
  std::vector<bool> opened;  // isNew of each editor run
  Page().SetFilterEditor([&opened](bool isNew, PacketFilterSetting&) {
    opened.push_back(isNew);
    return false;
  });
  Page().Redraw();
  Page().show();
  Page().activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&Page()));
  Page().view()->setFocus();
  SelectRow(1);

  QTest::keyClick(Page().view(), Qt::Key_Return);
  QTest::keyClick(Page().view(), Qt::Key_N, Qt::ControlModifier);
  EXPECT_EQ(opened, (std::vector<bool>{false, true}));

  // F5 redraws: a name changed behind the page's back shows.
  engine_->settings().filters.At(0).Name = "web2";
  QTest::keyClick(Page().view(), Qt::Key_F5);
  EXPECT_EQ(Cell(0, 0), QStringLiteral("1 web2"));

  QTest::keyClick(Page().view(), Qt::Key_Delete);
  ASSERT_EQ(engine_->settings().filters.Size(), 1U);
  EXPECT_EQ(engine_->settings().filters.At(0).Name, "web2");
}

}  // namespace
}  // namespace harlune
