#include "gui/editors/edit_filter_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/monitor/connection_filter.h"
#include "gui/base/qt_text.h"
#include "protocol/ip_address.h"
#include "support/fake_adapter_source.h"
#include "support/recording_user_dialogs.h"

namespace harlune {
namespace {

using protocol::HostPortRange;
using std::chrono::milliseconds;
using ::testing::ElementsAre;

class EditFilterDialogTest : public ::testing::Test {
 protected:
  EditFilterDialogTest() {
    FakeAdapterSource source;
    source.SetAdapters({{2, "card A", "eth0", {Ipv4(192, 168, 0, 2)}},
                        {3, "card B", "eth1", {Ipv4(10, 0, 0, 5), Ipv4(10, 0, 0, 6)}}});
    adapters_.Refresh(
        source, [](std::string_view) { return 20006u; }, dialogs_);
  }

  std::unique_ptr<CEditFilterDlg> Open(const PacketFilterSetting& record, bool isNew = false) {
    auto dialog = std::make_unique<CEditFilterDlg>(adapters_, dialogs_);
    EXPECT_TRUE(dialog->LoadFromSetting(isNew, record));
    dialog->show();
    return dialog;
  }

  // Presses OK; true when the dialog closed accepted. A refusal must have
  // shown exactly the expected message and left the dialog open.
  bool Ok(CEditFilterDlg& dialog) {
    dialog.accept();
    return dialog.result() == QDialog::Accepted && !dialog.isVisible();
  }
  void ExpectRefused(CEditFilterDlg& dialog, const std::string& message, QWidget* field) {
    const std::size_t shown = dialogs_.messages.size();
    EXPECT_FALSE(Ok(dialog)) << message;
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_EQ(dialogs_.messages.size(), shown + 1) << message;
    EXPECT_EQ(dialogs_.messages.back(), message);
    EXPECT_TRUE(HasFocus(dialog, field)) << message;
  }
  // The field or the edit inside it (spin boxes and combo boxes hand their
  // focus on).
  static bool HasFocus(const QWidget& dialog, const QWidget* field) {
    const QWidget* focused = dialog.focusWidget();
    return focused == field || field->isAncestorOf(focused);
  }

  static void AddLocal(CEditFilterDlg& dialog, const char* text) {
    dialog.controls().localPort->setText(QString::fromUtf8(text));
    dialog.controls().localAdd->click();
  }
  static void AddRemote(CEditFilterDlg& dialog, const char* text) {
    dialog.controls().remotePort->setEditText(QString::fromUtf8(text));
    dialog.controls().remoteAdd->click();
  }
  static std::vector<std::string> Items(const QListWidget* list) {
    std::vector<std::string> items;
    for (int row = 0; row < list->count(); ++row) {
      items.push_back(ToUtf8(list->item(row)->text()));
    }
    return items;
  }

  AdapterTable adapters_;
  RecordingUserDialogs dialogs_;
};

TEST_F(EditFilterDialogTest, RefusesToOpenWithoutARealAdapter) {
  AdapterTable onlyPlaceholder;
  CEditFilterDlg dialog(onlyPlaceholder, dialogs_);
  EXPECT_FALSE(dialog.LoadFromSetting(true, PacketFilterSetting{}));
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kFilterEditorNoAdapterMessage)));
}

TEST_F(EditFilterDialogTest, OpensTheRecordAsStored) {
  PacketFilterSetting record;
  record.AdapterIndex = 3;
  record.Protocol = 47;
  record.TBFMode = 1;
  record.RemoteIPAddr = Ipv4(10, 1, 1, 1);
  record.RemoteIPAddrMask = 0;
  record.TBFRate = 1000;
  record.TBFThrough = 1;
  record.RemotePortCount = 1;
  record.RemotePorts[0] = HostPortRange(80, 80);
  auto dialog = Open(record);
  const CEditFilterDlg::Controls& c = dialog->controls();

  EXPECT_EQ(c.adapter->count(), 2);  // the placeholder is left out
  EXPECT_EQ(c.adapter->currentText(), QStringLiteral("card B"));
  EXPECT_EQ(c.localAddress->text(), QStringLiteral("10.0.0.5"));
  EXPECT_TRUE(c.udp->isChecked());
  EXPECT_FALSE(c.process->isEnabled());
  EXPECT_TRUE(c.receive->isChecked());
  EXPECT_EQ(c.rate->text(), QStringLiteral("0"));
  EXPECT_FALSE(c.rate->isEnabled());
  EXPECT_FALSE(c.packetSize->isEnabled());
  EXPECT_TRUE(c.localAllPorts->isChecked());
  EXPECT_FALSE(c.localPort->isEnabled());
  EXPECT_THAT(Items(c.remoteList), ElementsAre("80"));

  EXPECT_TRUE(c.allAddresses->isChecked());
  EXPECT_EQ(c.remoteMask->text(), QStringLiteral("0.0.0.0"));
  EXPECT_FALSE(c.remoteAddress->isEnabled());
  c.allAddresses->click();
  EXPECT_EQ(c.remoteMask->text(), QStringLiteral("255.255.255.255"));
  EXPECT_TRUE(c.remoteMask->isEnabled());

  c.adapter->setCurrentIndex(0);
  EXPECT_EQ(c.localAddress->text(), QStringLiteral("192.168.0.2"));
  c.tcp->click();
  EXPECT_TRUE(c.process->isEnabled());
  c.unlimited->click();
  EXPECT_TRUE(c.rate->isEnabled());

  EXPECT_EQ(c.remotePort->count(), 14);
  EXPECT_EQ(c.remotePort->itemText(0), QStringLiteral("20 (ftp-data)"));
  EXPECT_EQ(c.remotePort->itemText(2), QStringLiteral("20-21 (ftp)"));
  EXPECT_EQ(c.remotePort->itemText(13), QStringLiteral("1863 (msnp)"));

  // A new filter starts on the first adapter whatever the record says.
  auto fresh = Open(record, true);
  EXPECT_EQ(fresh->controls().adapter->currentIndex(), 0);
}

TEST_F(EditFilterDialogTest, StoresTheAcceptedValuesAndCarriesTheRest) {
  PacketFilterSetting record;
  record.AdapterIndex = 3;
  record.ID = 7;
  record.Available = 0;
  record.TransferredBytes = 99;
  record.RemoteIPAddrMask = Ipv4(255, 255, 0, 0);
  record.RemoteIPAddr = Ipv4(172, 16, 0, 0);
  record.LocalIPAddrMask = Ipv4(255, 0, 0, 0);
  auto dialog = Open(record);
  const CEditFilterDlg::Controls& c = dialog->controls();
  EXPECT_EQ(c.rate->text(), QStringLiteral("100"));
  EXPECT_TRUE(HasFocus(*dialog, c.rate));  // an existing filter opens on its rate

  PacketFilterSetting stored = record;
  dialog->SaveToSetting(stored);  // nothing accepted yet
  EXPECT_EQ(static_cast<const _TBF_SETTING_DATA&>(stored), record);

  c.name->clear();
  c.comment->setText(QStringLiteral("note"));
  c.process->setText(QStringLiteral("  app.exe "));
  c.localAllPorts->click();
  AddLocal(*dialog, "1023-0");
  c.udp->click();
  c.packetSize->setText(QStringLiteral("64"));
  ASSERT_TRUE(Ok(*dialog));
  dialog->SaveToSetting(stored);

  EXPECT_EQ(stored.Name, "NewFilter");
  EXPECT_EQ(stored.Comment, "note");
  EXPECT_EQ(stored.AppName, "app.exe");
  EXPECT_EQ(stored.HasApplication, 1u);
  EXPECT_EQ(stored.Protocol, 17);
  EXPECT_EQ(stored.TBFRate, 102400u);
  EXPECT_EQ(stored.TBFMPU, 64u);
  EXPECT_EQ(stored.LowerAdapterName, "eth1");
  EXPECT_EQ(stored.AdapterIndex, 3);
  EXPECT_EQ(stored.LocalIPAddr, Ipv4(10, 0, 0, 5));
  EXPECT_EQ(stored.LocalIPAddrMask, 0u);
  EXPECT_EQ(stored.RemoteIPAddr, Ipv4(172, 16, 0, 0));
  EXPECT_EQ(stored.RemoteIPAddrMask, Ipv4(255, 255, 0, 0));
  EXPECT_EQ(stored.LocalPortCount, 1u);
  EXPECT_EQ(stored.LocalPorts[0], HostPortRange(0, 1023));
  EXPECT_EQ(stored.RemotePortCount, 0u);
  EXPECT_EQ(stored.ID, 7);
  EXPECT_EQ(stored.Available, 0u);
  EXPECT_EQ(stored.TransferredBytes, 99u);
}

TEST_F(EditFilterDialogTest, PortEntriesFollowTheListRules) {
  PacketFilterSetting record;
  record.RemotePortCount = 1;
  record.RemotePorts[0] = HostPortRange(80, 80);
  auto dialog = Open(record);
  const CEditFilterDlg::Controls& c = dialog->controls();
  c.localAllPorts->click();

  AddLocal(*dialog, "1023-0");
  AddLocal(*dialog, "80 (http)");
  EXPECT_THAT(Items(c.localList), ElementsAre("0-1023", "80"));  // no names on this side
  EXPECT_TRUE(c.localPort->text().isEmpty());
  AddLocal(*dialog, "");
  AddLocal(*dialog, "70000");
  AddLocal(*dialog, "80-70000");
  EXPECT_EQ(c.localList->count(), 2);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kFilterEditorPortRangeMessage),
                                             std::string(kFilterEditorPortRangeMessage)));

  dialogs_.messages.clear();
  AddRemote(*dialog, "80 (http)");  // the record's "80" is the same port
  c.remotePort->setCurrentIndex(2);
  c.remoteAdd->click();
  c.remotePort->setCurrentIndex(2);
  c.remoteAdd->click();
  AddRemote(*dialog, "443");
  EXPECT_THAT(Items(c.remoteList), ElementsAre("20-21 (ftp)", "80", "443 (https)"));
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kFilterEditorPortListedMessage),
                                             std::string(kFilterEditorPortListedMessage)));

  dialogs_.messages.clear();
  for (int port = 1000; c.localList->count() < 16; ++port) {
    AddLocal(*dialog, std::to_string(port).c_str());
  }
  AddLocal(*dialog, "9");
  EXPECT_EQ(c.localList->count(), 16);
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kFilterEditorPortsFullMessage)));

  c.remoteList->item(0)->setSelected(true);
  c.remoteList->item(2)->setSelected(true);
  c.remoteDelete->click();
  EXPECT_THAT(Items(c.remoteList), ElementsAre("80"));
}

// Letters would otherwise be read as port 0 and added.
TEST_F(EditFilterDialogTest, PortEntriesOfLettersAreRefused) {
  auto dialog = Open(PacketFilterSetting{});
  const CEditFilterDlg::Controls& c = dialog->controls();
  c.localAllPorts->click();
  c.remoteAllPorts->click();
  const std::string refused(kFilterEditorPortDigitsMessage);

  for (const char* text : {"http", "x80", "80-x", "-80", "80-", "1-2-3", "(80)"}) {
    dialogs_.messages.clear();
    AddLocal(*dialog, text);
    AddRemote(*dialog, text);
    EXPECT_THAT(dialogs_.messages, ElementsAre(refused, refused)) << text;
    EXPECT_EQ(c.localList->count(), 0) << text;
    EXPECT_EQ(c.remoteList->count(), 0) << text;
  }
  // The refused text stays for the user to correct.
  EXPECT_EQ(c.localPort->text(), QStringLiteral("(80)"));

  // Blanks around a number are no letters; a service name after it is
  // the list's own form.
  dialogs_.messages.clear();
  AddLocal(*dialog, " 8080 ");
  AddRemote(*dialog, "  80 (http) ");
  AddLocal(*dialog, "   ");
  EXPECT_THAT(dialogs_.messages, ::testing::IsEmpty());
  EXPECT_THAT(Items(c.localList), ElementsAre("8080"));
  EXPECT_THAT(Items(c.remoteList), ElementsAre("80 (http)"));

  // A number too long for a port is out of range, not letters.
  AddLocal(*dialog, "123456789012");
  EXPECT_THAT(dialogs_.messages, ElementsAre(std::string(kFilterEditorPortRangeMessage)));
}

TEST_F(EditFilterDialogTest, PortListsSortByNumberAndAreStoredInThatOrder) {
  PacketFilterSetting record;
  record.LocalPortCount = 3;
  record.LocalPorts[0] = HostPortRange(443, 443);
  record.LocalPorts[1] = HostPortRange(80, 80);
  record.LocalPorts[2] = HostPortRange(1000, 2000);
  auto dialog = Open(record);
  const CEditFilterDlg::Controls& c = dialog->controls();
  EXPECT_THAT(Items(c.localList), ElementsAre("80", "443", "1000-2000"));

  AddLocal(*dialog, "9");
  AddLocal(*dialog, "90-80");
  AddLocal(*dialog, "10000");
  EXPECT_THAT(Items(c.localList), ElementsAre("9", "80", "80-90", "443", "1000-2000", "10000"));

  c.remoteAllPorts->click();
  AddRemote(*dialog, "443");
  AddRemote(*dialog, "80");
  AddRemote(*dialog, "20-21");
  EXPECT_THAT(Items(c.remoteList), ElementsAre("20-21 (ftp)", "80 (http)", "443 (https)"));

  ASSERT_TRUE(Ok(*dialog));
  PacketFilterSetting stored;
  dialog->SaveToSetting(stored);
  ASSERT_EQ(stored.LocalPortCount, 6u);
  EXPECT_EQ(stored.LocalPorts[0], HostPortRange(9, 9));
  EXPECT_EQ(stored.LocalPorts[2], HostPortRange(80, 90));
  EXPECT_EQ(stored.LocalPorts[3], HostPortRange(443, 443));
  EXPECT_EQ(stored.LocalPorts[5], HostPortRange(10000, 10000));
  ASSERT_EQ(stored.RemotePortCount, 3u);
  EXPECT_EQ(stored.RemotePorts[0], HostPortRange(20, 21));
  EXPECT_EQ(stored.RemotePorts[1], HostPortRange(80, 80));
  EXPECT_EQ(stored.RemotePorts[2], HostPortRange(443, 443));
}

// Before, such a text was stored as 255.255.255.255 without a word.
TEST_F(EditFilterDialogTest, RemoteIpv4TextThatIsNoAddressIsRefused) {
  PacketFilterSetting record;
  record.RemoteIPAddr = Ipv4(198, 18, 0, 1);
  record.RemoteIPAddrMask = Ipv4(255, 255, 255, 0);
  auto dialog = Open(record);
  const CEditFilterDlg::Controls& c = dialog->controls();
  const std::string address(kFilterEditorIpv4AddressMessage);
  const std::string mask(kFilterEditorIpv4MaskMessage);

  c.remoteAddress->setText(QStringLiteral("198.18.0.300"));
  c.remoteMask->setText(QStringLiteral("255.255.0"));
  c.rate->setText(QStringLiteral("abc"));
  ExpectRefused(*dialog, "正の整数を入力してください。", c.rate);  // the rate comes first
  c.rate->setText(QStringLiteral("10"));
  ExpectRefused(*dialog, address, c.remoteAddress);
  EXPECT_EQ(c.remoteAddress->selectedText(), QStringLiteral("198.18.0.300"));
  for (const char* text : {"", "198.18.0", "198.18.0.1.2", "a.b.c.d", "198.18.0.-1", "::1"}) {
    c.remoteAddress->setText(QString::fromUtf8(text));
    ExpectRefused(*dialog, address, c.remoteAddress);
  }
  c.remoteAddress->setText(QStringLiteral(" 198.18.0.30 "));
  ExpectRefused(*dialog, mask, c.remoteMask);
  c.remoteMask->setText(QStringLiteral("255.255.255.256"));
  ExpectRefused(*dialog, mask, c.remoteMask);
  c.remoteMask->setText(QStringLiteral("255.255.255.255"));

  ASSERT_TRUE(Ok(*dialog));
  PacketFilterSetting stored;
  dialog->SaveToSetting(stored);
  EXPECT_EQ(stored.RemoteIPAddr, Ipv4(198, 18, 0, 30));
  EXPECT_EQ(stored.RemoteIPAddrMask, Ipv4(255, 255, 255, 255));
}

// "全てのIPアドレス" disables both boxes: a text left there cannot be
// corrected and names no address of the filter.
TEST_F(EditFilterDialogTest, RemoteIpv4TextIsNotCheckedWhileAllAddressesAreTaken) {
  auto dialog = Open(PacketFilterSetting{});
  const CEditFilterDlg::Controls& c = dialog->controls();
  c.allAddresses->click();
  c.remoteAddress->setText(QStringLiteral("198.18.0.300"));
  c.allAddresses->click();
  ASSERT_FALSE(c.remoteAddress->isEnabled());
  ASSERT_TRUE(Ok(*dialog));
  EXPECT_THAT(dialogs_.messages, ::testing::IsEmpty());
  PacketFilterSetting stored;
  dialog->SaveToSetting(stored);
  EXPECT_EQ(stored.RemoteIPAddrMask, 0u);
}

TEST_F(EditFilterDialogTest, BrowsingTakesTheChosenProgramsFileName) {
  auto dialog = Open(PacketFilterSetting{});
  const CEditFilterDlg::Controls& c = dialog->controls();
  std::vector<QWidget*> parents;
  dialog->SetProcessChooser([&](QWidget* parent) {
    parents.push_back(parent);
    return QStringLiteral("/usr/lib/firefox/firefox-bin");
  });
  c.browse->click();
  EXPECT_EQ(c.process->text(), QStringLiteral("firefox-bin"));
  EXPECT_THAT(parents, ElementsAre(dialog.get()));

  dialog->SetProcessChooser([](QWidget*) { return QString(); });  // cancelled
  c.browse->click();
  EXPECT_EQ(c.process->text(), QStringLiteral("firefox-bin"));
}

TEST_F(EditFilterDialogTest, OkChecksInOrderAndKeepsTheDialogOpen) {
  auto dialog = Open(PacketFilterSetting{}, true);
  const CEditFilterDlg::Controls& c = dialog->controls();
  c.localAllPorts->click();
  c.remoteAllPorts->click();
  c.comment->setText(QStringLiteral("a,b"));
  c.packetSize->setText(QStringLiteral("x"));
  c.process->setText(QStringLiteral(" [System Process] "));
  c.name->setText(QStringLiteral("a,b"));

  c.rate->setText(QStringLiteral("abc"));
  ExpectRefused(*dialog, "正の整数を入力してください。", c.rate);
  c.rate->setText(QStringLiteral("4194304"));
  ExpectRefused(*dialog, "0 から 4194303 までの整数を入力してください。", c.rate);
  c.rate->setText(QStringLiteral("4194303"));
  ExpectRefused(*dialog, std::string(kFilterEditorNoPortMessage),
                c.localPort);  // once, for the local side
  AddLocal(*dialog, "80");
  ExpectRefused(*dialog, std::string(kFilterEditorNoPortMessage), c.remotePort);
  AddRemote(*dialog, "80");
  ExpectRefused(*dialog, "「,」は使えません", c.comment);
  c.comment->clear();
  ExpectRefused(*dialog, "整数を入力してください。", c.packetSize);
  c.packetSize->setText(QStringLiteral("1501"));
  ExpectRefused(*dialog, "0 から 1500 までの整数を入力してください。", c.packetSize);
  c.packetSize->setText(QStringLiteral("1500"));
  ExpectRefused(*dialog, std::string(kSystemProcessFilterMessage), c.process);
  c.process->setText(QStringLiteral("[system process]"));
  ExpectRefused(*dialog, "「,」は使えません", c.name);
  c.name->setText(QStringLiteral("web"));

  ASSERT_TRUE(Ok(*dialog));
  PacketFilterSetting stored;
  dialog->SaveToSetting(stored);
  EXPECT_EQ(stored.TBFRate, 4194303u * 1024u);
  EXPECT_EQ(stored.TBFMPU, 1500u);
  EXPECT_EQ(stored.AppName, "[system process]");
}

// PacketFilterSetting.xml is Shift_JIS: a typed text it cannot hold is
// refused after the checks that were already there; Japanese is stored.
TEST_F(EditFilterDialogTest, RefusesTextsTheSettingsFileCannotHold) {
  auto dialog = Open(PacketFilterSetting{}, true);
  const CEditFilterDlg::Controls& c = dialog->controls();
  c.name->setText(QString::fromUtf8("caf\u00E9"));
  c.comment->setText(QString::fromUtf8("\uD55C\uAE00"));
  c.process->setText(QString::fromUtf8("app\U0001F600.exe"));

  // The comma in the comment is still reported first.
  c.comment->setText(QString::fromUtf8("\uD55C,"));
  ExpectRefused(*dialog, "「,」は使えません", c.comment);
  c.comment->setText(QString::fromUtf8("\uD55C\uAE00"));
  ExpectRefused(*dialog, std::string(kFilterNameUnstorableMessage), c.name);
  c.name->setText(QString::fromUtf8("\U0001F600"));
  ExpectRefused(*dialog, std::string(kFilterNameUnstorableMessage), c.name);
  c.name->setText(QString::fromUtf8("社内ウェブ"));
  ExpectRefused(*dialog, std::string(kFilterCommentUnstorableMessage), c.comment);
  c.comment->setText(QString::fromUtf8("夜間用"));
  ExpectRefused(*dialog, std::string(kFilterProcessUnstorableMessage), c.process);
  c.process->setText(QString::fromUtf8("ブラウザ.exe"));

  ASSERT_TRUE(Ok(*dialog));
  PacketFilterSetting stored;
  dialog->SaveToSetting(stored);
  EXPECT_EQ(stored.Name, "社内ウェブ");
  EXPECT_EQ(stored.Comment, "夜間用");
  EXPECT_EQ(stored.AppName, "ブラウザ.exe");
}

TEST_F(EditFilterDialogTest, SpinArrowsStayInRangeAndSpeedUpWhenHeld) {
  auto dialog = Open(PacketFilterSetting{});
  AcceleratedSpinEdit* rate = dialog->controls().rate;
  AcceleratedSpinEdit* size = dialog->controls().packetSize;
  EXPECT_EQ(rate->minimum(), 1);
  EXPECT_EQ(rate->maximum(), 32767);
  EXPECT_EQ(size->maximum(), 1550);

  rate->setText(QStringLiteral("32766"));
  rate->stepBy(5);
  EXPECT_EQ(rate->text(), QStringLiteral("32767"));
  size->setText(QStringLiteral("1"));
  size->stepBy(-1);
  EXPECT_EQ(size->text(), QStringLiteral("1"));

  const auto step = [](const AcceleratedSpinEdit* spin, int ms) {
    return AcceleratedSpinEdit::StepAfter(spin->acceleration(), milliseconds(ms));
  };
  EXPECT_EQ(step(rate, 999), 1);
  EXPECT_EQ(step(rate, 1000), 10);
  EXPECT_EQ(step(rate, 2000), 20);
  EXPECT_EQ(step(rate, 3500), 50);
  EXPECT_EQ(step(rate, 60000), 100);
  EXPECT_EQ(step(size, 3999), 1);
  EXPECT_EQ(step(size, 4000), 5);
  EXPECT_EQ(step(size, 6000), 10);
}

}  // namespace
}  // namespace harlune

namespace harlune {
namespace {

using protocol::AddressFamilies;

protocol::Ipv6Prefix Prefix(std::string_view text, std::uint8_t length) {
  return {ParseIpAddress(text).value().Ipv6Bytes(), length};
}

class EditFilterFamiliesTest : public EditFilterDialogTest {
 protected:
  static AddressFamilies Shown(const CEditFilterDlg& dialog) {
    return static_cast<AddressFamilies>(dialog.controls().families->currentData().toInt());
  }
  // The user's pick, by the keyboard as a person makes it.
  static void Pick(CEditFilterDlg& dialog, AddressFamilies families) {
    QComboBox* box = dialog.controls().families;
    const int target = box->findData(static_cast<int>(families));
    while (box->currentIndex() != target) {
      QTest::keyClick(box, box->currentIndex() < target ? Qt::Key_Down : Qt::Key_Up);
    }
  }
  static bool Ipv6BoxesEnabled(const CEditFilterDlg& dialog) {
    const CEditFilterDlg::Controls& c = dialog.controls();
    return c.localIpv6->isEnabled() && c.localIpv6Prefix->isEnabled() &&
           c.remoteIpv6->isEnabled() && c.remoteIpv6Prefix->isEnabled();
  }
  static bool Ipv6BoxesDisabled(const CEditFilterDlg& dialog) {
    const CEditFilterDlg::Controls& c = dialog.controls();
    return !c.localIpv6->isEnabled() && !c.localIpv6Prefix->isEnabled() &&
           !c.remoteIpv6->isEnabled() && !c.remoteIpv6Prefix->isEnabled();
  }
  // OK, then the record as the opener stores it.
  PacketFilterSetting Accepted(CEditFilterDlg& dialog, PacketFilterSetting record = {}) {
    EXPECT_TRUE(Ok(dialog)) << (dialogs_.messages.empty() ? "" : dialogs_.messages.back());
    dialog.SaveToSetting(record);
    return record;
  }
};

TEST_F(EditFilterFamiliesTest, OpensWithTheFamiliesTheRecordGives) {
  auto any = Open(PacketFilterSetting{});
  const CEditFilterDlg::Controls& c = any->controls();
  EXPECT_EQ(c.families->count(), 3);
  EXPECT_EQ(Shown(*any), AddressFamilies::kBoth);
  EXPECT_TRUE(Ipv6BoxesEnabled(*any));
  EXPECT_TRUE(c.allAddresses->isEnabled());
  EXPECT_TRUE(c.localIpv6->text().isEmpty());
  EXPECT_EQ(c.remoteIpv6Prefix->text(), QStringLiteral("128"));

  PacketFilterSetting v4;
  v4.RemoteIPAddr = Ipv4(198, 18, 0, 0);
  v4.RemoteIPAddrMask = Ipv4(255, 254, 0, 0);
  auto ipv4 = Open(v4);
  EXPECT_EQ(Shown(*ipv4), AddressFamilies::kIpv4);
  EXPECT_TRUE(Ipv6BoxesDisabled(*ipv4));
  EXPECT_TRUE(ipv4->controls().remoteAddress->isEnabled());

  PacketFilterSetting v6 = v4;
  v6.RemoteIpv6 = Prefix("2001:db8:0:0:0:0:0:0", 32);
  v6.LocalIpv6 = Prefix("2001:db8:aaaa::1", 128);
  auto ipv6 = Open(v6);
  const CEditFilterDlg::Controls& c6 = ipv6->controls();
  EXPECT_EQ(Shown(*ipv6), AddressFamilies::kIpv6);
  EXPECT_EQ(c6.remoteIpv6->text(), QStringLiteral("2001:db8::"));
  EXPECT_EQ(c6.remoteIpv6Prefix->text(), QStringLiteral("32"));
  EXPECT_EQ(c6.localIpv6->text(), QStringLiteral("2001:db8:aaaa::1"));
  EXPECT_TRUE(Ipv6BoxesEnabled(*ipv6));
  EXPECT_FALSE(c6.remoteAddress->isEnabled());
  EXPECT_FALSE(c6.remoteMask->isEnabled());
  EXPECT_FALSE(c6.allAddresses->isEnabled());
  EXPECT_EQ(c6.remoteAddress->text(), QStringLiteral("198.18.0.0"));  // kept, only unused

  PacketFilterSetting chosen;
  chosen.AddressFamily = AddressFamilies::kIpv4;
  auto picked = Open(chosen);
  EXPECT_EQ(Shown(*picked), AddressFamilies::kIpv4);
  EXPECT_TRUE(Ipv6BoxesDisabled(*picked));
}

TEST_F(EditFilterFamiliesTest, FamiliesFollowTheAddressesUntilTheUserPicks) {
  auto dialog = Open(PacketFilterSetting{}, true);
  const CEditFilterDlg::Controls& c = dialog->controls();
  c.remoteIpv6->setText(QStringLiteral("2001:db8::1"));
  EXPECT_EQ(Shown(*dialog), AddressFamilies::kIpv6);
  EXPECT_FALSE(c.allAddresses->isEnabled());
  c.remoteIpv6Prefix->setText(QStringLiteral("0"));  // any address after all
  EXPECT_EQ(Shown(*dialog), AddressFamilies::kBoth);
  c.remoteIpv6->clear();
  c.remoteIpv6Prefix->setText(QStringLiteral("64"));
  c.allAddresses->click();  // an IPv4 mask of all bits
  EXPECT_EQ(Shown(*dialog), AddressFamilies::kIpv4);
  EXPECT_TRUE(Ipv6BoxesDisabled(*dialog));
  c.allAddresses->click();
  EXPECT_EQ(Shown(*dialog), AddressFamilies::kBoth);

  // Following, nothing is stored as a choice.
  c.localIpv6->setText(QStringLiteral(" fe80::1 "));
  PacketFilterSetting stored = Accepted(*dialog);
  EXPECT_EQ(stored.AddressFamily, std::nullopt);
  EXPECT_EQ(stored.LocalIpv6, Prefix("fe80::1", 128));  // the prefix box starts at one host
  EXPECT_EQ(stored.RemoteIpv6, protocol::Ipv6Prefix{});
  EXPECT_EQ(stored.EffectiveFamilies(), AddressFamilies::kIpv6);

  // A pick stays whatever the addresses say later.
  auto again = Open(PacketFilterSetting{}, true);
  Pick(*again, AddressFamilies::kIpv6);
  again->controls().allAddresses->click();
  again->controls().allAddresses->click();
  EXPECT_EQ(Shown(*again), AddressFamilies::kIpv6);
  EXPECT_EQ(Accepted(*again).AddressFamily, AddressFamilies::kIpv6);
}

TEST_F(EditFilterFamiliesTest, EmptyingTheIpv6BoxBeingTypedInKeepsItUsable) {
  PacketFilterSetting record;
  record.RemoteIPAddr = Ipv4(198, 18, 0, 2);
  record.RemoteIPAddrMask = 0xFFFFFFFF;
  record.RemoteIpv6 = Prefix("2001:2::5", 128);  // IPv6 by its address, not by a pick
  auto dialog = Open(record);
  const CEditFilterDlg::Controls& c = dialog->controls();
  ASSERT_EQ(Shown(*dialog), AddressFamilies::kIpv6);
  dialog->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
  c.remoteIpv6->setFocus();
  ASSERT_TRUE(c.remoteIpv6->hasFocus());
  c.remoteIpv6->selectAll();
  QTest::keyClick(c.remoteIpv6, Qt::Key_Backspace);
  // The IPv4 address now names the families, but not under the cursor.
  EXPECT_TRUE(c.remoteIpv6->isEnabled());
  QTest::keyClicks(c.remoteIpv6, QStringLiteral("2001:2::6"));
  EXPECT_EQ(c.remoteIpv6->text(), QStringLiteral("2001:2::6"));
  EXPECT_EQ(Shown(*dialog), AddressFamilies::kIpv6);

  // Left empty, the families follow the IPv4 address once the box is left.
  c.remoteIpv6->clear();
  EXPECT_EQ(Shown(*dialog), AddressFamilies::kIpv6);
  c.comment->setFocus();
  EXPECT_EQ(Shown(*dialog), AddressFamilies::kIpv4);
  EXPECT_TRUE(Ipv6BoxesDisabled(*dialog));
}

TEST_F(EditFilterFamiliesTest, OnlyAPickAwayFromTheAddressesIsStored) {
  // IPv4 alone for an any-address filter: the IPv6 boxes are not taken.
  auto ipv4 = Open(PacketFilterSetting{}, true);
  ipv4->controls().remoteIpv6->setText(QStringLiteral("not checked"));
  Pick(*ipv4, AddressFamilies::kIpv4);
  PacketFilterSetting stored = Accepted(*ipv4);
  EXPECT_EQ(stored.AddressFamily, AddressFamilies::kIpv4);
  EXPECT_FALSE(stored.RemoteIpv6.length != 0 || stored.LocalIpv6.length != 0);

  // Both, with an IPv6 network: a real choice.
  auto both = Open(PacketFilterSetting{}, true);
  both->controls().remoteIpv6->setText(QStringLiteral("2001:DB8:1::"));
  both->controls().remoteIpv6Prefix->setText(QStringLiteral("48"));
  Pick(*both, AddressFamilies::kBoth);
  stored = Accepted(*both);
  EXPECT_EQ(stored.AddressFamily, AddressFamilies::kBoth);
  EXPECT_EQ(stored.RemoteIpv6, Prefix("2001:db8:1::", 48));

  // Picking what the addresses give anyway stores no choice, and reopening
  // a stored choice keeps it untouched.
  auto same = Open(stored);
  Pick(*same, AddressFamilies::kIpv6);
  EXPECT_EQ(Accepted(*same, stored).AddressFamily, std::nullopt);
  auto kept = Open(stored);
  kept->controls().name->setText(QStringLiteral("renamed"));
  EXPECT_EQ(Accepted(*kept, stored).AddressFamily, AddressFamilies::kBoth);
}

TEST_F(EditFilterFamiliesTest, Ipv6ChecksComeAfterTheRateAndBeforeThePorts) {
  auto dialog = Open(PacketFilterSetting{}, true);
  const CEditFilterDlg::Controls& c = dialog->controls();
  c.localAllPorts->click();  // an empty list: refused only once the IPv6 boxes pass
  c.rate->setText(QStringLiteral("x"));
  c.localIpv6->setText(QStringLiteral("2001:db8::g"));
  ExpectRefused(*dialog, "正の整数を入力してください。", c.rate);
  c.rate->setText(QStringLiteral("10"));

  const std::string address(kFilterEditorIpv6AddressMessage);
  const std::string prefix(kFilterEditorPrefixLengthMessage);
  ExpectRefused(*dialog, address, c.localIpv6);
  EXPECT_EQ(dialogs_.messages.back(), "IPv6アドレスが正しくありません。");
  c.localIpv6->setText(QStringLiteral("198.18.0.1"));
  ExpectRefused(*dialog, address, c.localIpv6);
  c.localIpv6->setText(QStringLiteral("fe80::1%eth0"));
  ExpectRefused(*dialog, address, c.localIpv6);
  c.localIpv6->setText(QStringLiteral("fe80::1"));
  for (const char* bad : {"abc", "129", "-1", ""}) {
    c.localIpv6Prefix->setText(QString::fromUtf8(bad));
    ExpectRefused(*dialog, prefix, c.localIpv6Prefix);
  }
  EXPECT_EQ(dialogs_.messages.back(), "プレフィックス長は0から128までの値を指定してください。");
  c.localIpv6Prefix->setText(QStringLiteral("10"));
  c.remoteIpv6->setText(QStringLiteral("::ffff:198.18.0.1"));  // IPv4, mapped
  ExpectRefused(*dialog, address, c.remoteIpv6);
  c.remoteIpv6->setText(QStringLiteral("2001:db8::"));
  c.remoteIpv6Prefix->setText(QStringLiteral("200"));
  ExpectRefused(*dialog, prefix, c.remoteIpv6Prefix);
  c.remoteIpv6->clear();  // any address: its prefix box does not count
  ExpectRefused(*dialog, std::string(kFilterEditorNoPortMessage), c.localPort);
  c.localAllPorts->click();

  const PacketFilterSetting stored = Accepted(*dialog);
  EXPECT_EQ(stored.LocalIpv6, Prefix("fe80::1", 10));  // the address as typed
  EXPECT_EQ(stored.RemoteIpv6, protocol::Ipv6Prefix{});
}

TEST_F(EditFilterFamiliesTest, PrefixZeroMeansAnyAndTheIpv4FieldsOfAnIpv6FilterStay) {
  PacketFilterSetting record;
  record.RemoteIPAddr = Ipv4(198, 18, 7, 7);
  record.RemoteIPAddrMask = 0xFFFFFFFFu;
  record.RemoteIpv6 = Prefix("2001:db8::7", 128);
  auto dialog = Open(record);
  dialog->controls().localIpv6->setText(QStringLiteral("2001:db8::1"));
  dialog->controls().localIpv6Prefix->setText(QStringLiteral("0"));
  const PacketFilterSetting stored = Accepted(*dialog, record);
  EXPECT_EQ(stored.LocalIpv6, protocol::Ipv6Prefix{});
  EXPECT_EQ(stored.RemoteIpv6, Prefix("2001:db8::7", 128));
  EXPECT_EQ(stored.RemoteIPAddr, Ipv4(198, 18, 7, 7));
  EXPECT_EQ(stored.RemoteIPAddrMask, 0xFFFFFFFFu);
  EXPECT_EQ(stored.AddressFamily, std::nullopt);
  EXPECT_EQ(stored.EffectiveFamilies(), AddressFamilies::kIpv6);
}

}  // namespace
}  // namespace harlune
