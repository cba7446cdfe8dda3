// harlune_screenshots OUTPUT_DIR: pictures of the desktop program for the
// documentation. It starts the main window as the application does, against
// the driver that answers on the per-user socket (scripts/screenshots.sh
// starts the simulated one), with a settings folder of its own: a few
// filters on the machine's first interface, HTB classes under the send
// root, two connection control rules and the default external commands.
// After a few seconds of traffic it saves every tab and every editor as PNG.

#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QRadioButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/app/settings_store.h"
#include "core/command/external_command.h"
#include "core/monitor/adapter_table.h"
#include "gui/app/main_window.h"
#include "gui/base/qt_user_dialogs.h"
#include "gui/editors/edit_command_dialog.h"
#include "gui/editors/edit_filter_dialog.h"
#include "gui/editors/edit_htb_class_dialog.h"
#include "gui/editors/edit_rule_dialog.h"
#include "gui/editors/options_dialog.h"
#include "gui/models/htb_tree_model.h"
#include "gui/pages/connection_page.h"
#include "gui/pages/connection_process_view.h"
#include "gui/pages/filter_page.h"
#include "gui/pages/htb_page.h"
#include "gui/pages/packet_page.h"
#include "platform/linux/ifaddrs_adapter_source.h"
#include "platform/linux/linux_engine_services.h"
#include "protocol/device_names.h"
#include "protocol/tbf_setting_data.h"

namespace harlune {
namespace {

constexpr std::uint32_t kKiB = 1024;
// Rates settle over a few drawing cycles; the graphs gather two minutes of
// them.
constexpr int kWarmUpMs = 120000;
constexpr int kPageSettleMs = 800;
constexpr int kDialogSettleMs = 300;

void Wait(int milliseconds) {
  QEventLoop loop;
  QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
  loop.exec();
}

// The first interface with an IPv4 address, loopback left out: the one the
// simulated driver's demonstration flows run on.
std::optional<std::string> FirstInterface() {
  IfaddrsAdapterSource source;
  for (const SystemAdapter& adapter : source.ListAdapters().adapters) {
    if (!adapter.addresses.empty() && adapter.addresses.front() != 0) {
      return adapter.name;
    }
  }
  return std::nullopt;
}

PacketFilterSetting Filter(const std::string& adapter, const char* name, std::uint32_t direction,
                           std::uint16_t protocol, std::uint16_t remotePort, std::uint32_t rate) {
  PacketFilterSetting filter;
  filter.Name = name;
  filter.LowerAdapterName = adapter;
  filter.TBFMode = direction;
  filter.Protocol = protocol;
  filter.TBFRate = rate;
  if (remotePort != 0) {
    filter.RemotePortCount = 1;
    filter.RemotePorts[0] = protocol::HostPortRange(remotePort, remotePort);
  }
  return filter;
}

std::shared_ptr<HTB_LeafClass> Leaf(const char* name, std::int32_t filterId, std::uint32_t assured,
                                    std::uint32_t ceil) {
  auto leaf = std::make_shared<HTB_LeafClass>();
  leaf->Name = name;
  leaf->FilterID = filterId;
  leaf->AvailableType = kAvailableAlways;
  leaf->AssuredRate = assured;
  leaf->CeilRate = ceil;
  return leaf;
}

void AddHtbClasses(Settings& settings) {
  HTB_Manager& htb = settings.htb;
  HTB_InnerClass& root = *htb.SendTree().Root();
  root.AssuredRate = 128 * kKiB;
  root.CeilRate = 128 * kKiB;
  root.Comment = "回線の上り";
  auto office = std::make_shared<HTB_InnerClass>();
  office->Name = "業務";
  office->AssuredRate = 64 * kKiB;
  office->CeilRate = 96 * kKiB;
  htb.Add(HTB_Manager::kSendRootID, office);
  htb.Add(office->ID, Leaf("アップロード", settings.filters.At(1).ID, 32 * kKiB, 64 * kKiB));
  htb.Add(office->ID, Leaf("その他", settings.filters.At(5).ID, 16 * kKiB, 48 * kKiB));
  htb.Add(HTB_Manager::kSendRootID,
          Leaf("バックアップ", settings.filters.At(4).ID, 8 * kKiB, 32 * kKiB));
}

void AddRules(Settings& settings, UserDialogs& dialogs) {
  OperateConnectionRule longLived;
  longLived.Name = "長時間接続の切断";
  longLived.Comment = "1時間を超えた接続";
  longLived.TriggerTimeLow = 3600;
  longLived.Action = kActionDisconnect;
  settings.rules.Append(longLived, dialogs);
  OperateConnectionRule browser;
  browser.Name = "同時接続数の制限";
  browser.TargetProcessName = "firefox-esr";
  browser.BLimitConnectionNum = true;
  browser.AllowConnectionNum = 8;
  browser.PriorCondition = kPriorLongTimeFirst;
  settings.rules.Append(browser, dialogs);
}

bool WriteSettings(const std::filesystem::path& folder, const std::string& adapter,
                   UserDialogs& dialogs) {
  Settings settings(folder, dialogs);
  IniFileObject& general = settings.general;
  general.STARTUP_ON = 1;
  general.RESOLVE_HOST = 0;  // no name lookups leave the machine
  general.VIEW_REFRESH_CYCLE = 500;
  general.WINDOW_SIZE = {0, 0, 1000, 650};
  PacketFilterManager& filters = settings.filters;
  filters.Add(Filter(adapter, "Webダウンロード", 1, 6, 443, 256 * kKiB)).Comment = "HTTPS";
  filters.Add(Filter(adapter, "アップロード", 0, 6, 80, 48 * kKiB));
  filters.Add(Filter(adapter, "ストリーミング", 1, 17, 5004, 200 * kKiB)).Comment = "映像";
  filters.Add(Filter(adapter, "ping", 0, 1, 0, 8 * kKiB));
  filters.Add(Filter(adapter, "バックアップ", 0, 6, 22, 1024 * kKiB)).Available = 0;
  filters.Add(Filter(adapter, "その他の送信", 0, 6, 0, 128 * kKiB));
  AddHtbClasses(settings);
  AddRules(settings, dialogs);
  // A fresh start's commands: the file is written from what the list holds.
  for (const ExternalCommand& command : DefaultExternalCommands()) {
    settings.commands.Add(command);
  }
  AdapterTable adapters;
  return SettingsStore(folder, settings, adapters, dialogs).SaveAllSettings();
}

// A few loopback connections of this process, so that the connection
// monitor has rows of its own to show.
class LoopbackConnections {
 public:
  explicit LoopbackConnections(int count) {
    server_.listen(QHostAddress::LocalHost);
    for (int i = 0; i < count; ++i) {
      auto socket = std::make_unique<QTcpSocket>();
      socket->connectToHost(QHostAddress::LocalHost, server_.serverPort());
      clients_.push_back(std::move(socket));
    }
  }

 private:
  QTcpServer server_;
  std::vector<std::unique_ptr<QTcpSocket>> clients_;
};

bool Save(QWidget& widget, const QDir& output, const QString& name) {
  const QString file = output.filePath(name + QStringLiteral(".png"));
  const bool saved = widget.grab().save(file);
  std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
  std::fflush(stdout);
  return saved;
}

bool SaveDialog(QDialog& dialog, const QDir& output, const QString& name) {
  dialog.show();
  Wait(kDialogSettleMs);
  const bool saved = Save(dialog, output, name);
  dialog.close();
  return saved;
}

// The filter page's graph pane open with two filters selected, and the HTB
// page's graph on the upload class.
void ShowGraphs(CNetSieveDlg& window) {
  FilterPage& filters = window.filterPage();
  if (!filters.graphButton()->isChecked()) {
    filters.graphButton()->click();
  }
  QItemSelectionModel& selection = *filters.view()->selectionModel();
  for (const int row : {0, 2}) {
    selection.select(filters.view()->model()->index(row, 0),
                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }
  Settings& settings = window.engine().settings();
  auto& tree = *window.htbPage().findChild<QTreeView*>(QStringLiteral("htbTree"));
  const std::int32_t upload = settings.htb.LeavesOfFilter(settings.filters.At(1).ID).front()->ID;
  tree.setCurrentIndex(static_cast<HtbTreeModel*>(tree.model())->IndexOfClass(upload));
}

// The connection page grouped by process, every process opened.
bool SaveProcesses(CNetSieveDlg& window, const QDir& output) {
  window.tabs().setCurrentIndex(kConnectionPageIndex);
  ConnectionPage& page = window.connectionPage();
  page.processesButton()->click();
  Wait(kPageSettleMs);
  page.processView()->tree()->expandAll();
  Wait(kPageSettleMs);
  const bool saved = Save(window, output, QStringLiteral("main_processes"));
  page.connectionsButton()->click();
  return saved;
}

bool SavePages(CNetSieveDlg& window, const QDir& output) {
  const QStringList names = {"main_filters", "main_htb",     "main_connections",
                             "main_control", "main_packets", "main_commands"};
  bool saved = true;
  for (int page = 0; page < names.size(); ++page) {
    window.tabs().setCurrentIndex(page);
    Wait(kPageSettleMs);
    saved = Save(window, output, names[page]) && saved;
  }
  saved = SaveProcesses(window, output) && saved;
  window.tabs().setCurrentIndex(kFilterPageIndex);
  return saved;
}

bool SaveEditors(CNetSieveDlg& window, UserDialogs& dialogs, const QDir& output) {
  Settings& settings = window.engine().settings();
  bool saved = true;
  COptionsDlg options(settings.general, dialogs, &window);
  saved = SaveDialog(options, output, "options") && saved;

  CEditFilterDlg filter(window.engine().adapters(), dialogs, &window);
  saved = filter.LoadFromSetting(false, settings.filters.At(0)) &&
          SaveDialog(filter, output, "filter_editor") && saved;

  CEditHtbClassDlg htbClass(settings.filters, dialogs, &window);
  htbClass.LoadFrom(*settings.htb.LeavesOfFilter(settings.filters.At(1).ID).front());
  saved = SaveDialog(htbClass, output, "htb_class_editor") && saved;

  CEditOperateConnectionRuleDlg rule(dialogs, &window);
  rule.LoadFrom(settings.rules.Rules()[1]);
  saved = SaveDialog(rule, output, "rule_editor") && saved;

  CEditExternalCommand command(dialogs, &window);
  if (settings.commands.Commands().empty()) {
    return false;
  }
  command.LoadFrom(settings.commands[0]);
  saved = SaveDialog(command, output, "command_editor") && saved;
  return saved;
}

int Run(const QDir& output) {
  QtUserDialogs dialogs;
  const auto adapter = FirstInterface();
  if (!adapter) {
    std::fprintf(stderr, "no network interface with an IPv4 address besides loopback\n");
    return 1;
  }
  QTemporaryDir folder;
  const std::filesystem::path settingsFolder = folder.path().toStdString();
  if (!folder.isValid() || !WriteSettings(settingsFolder, *adapter, dialogs)) {
    std::fprintf(stderr, "could not write the settings folder\n");
    return 1;
  }
  QDir::setCurrent(folder.path());

  // The driver looked for only on the per-user socket: the simulated
  // driver, never a system driver shaping real traffic.
  LinuxEngineServices services(
      std::vector<std::string>{protocol::UserDeviceName(std::getenv("XDG_RUNTIME_DIR"), getuid())});
  CNetSieveDlg window(settingsFolder, services, dialogs);
  dialogs.SetParent(&window);
  if (!window.Initialise() || !window.engine().filtering()) {
    std::fprintf(stderr, "the driver did not start filtering: is the simulator running?\n");
    window.RunCloseProcedure();
    return 1;
  }
  LoopbackConnections connections(3);
  if (!window.packetPage().captureBox().isChecked()) {
    window.packetPage().captureBox().click();  // as the user turns capture on
  }
  window.show();
  ShowGraphs(window);
  Wait(kWarmUpMs);
  // Every demonstration flow has a filter: the list of all packets has rows.
  window.packetPage().tabBar().setCurrentIndex(window.packetPage().listCount() - 1);

  const bool saved = SavePages(window, output) && SaveEditors(window, dialogs, output);
  window.RunCloseProcedure();
  return saved ? 0 : 1;
}

}  // namespace
}  // namespace harlune

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Harlune"));
  QApplication::setQuitOnLastWindowClosed(false);
  if (argc != 2) {
    std::fprintf(stderr, "usage: harlune_screenshots OUTPUT_DIR\n");
    return 1;
  }
  const QDir output(QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1])));
  if (!output.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "cannot create %s\n", argv[1]);
    return 1;
  }
  return harlune::Run(output);
}
