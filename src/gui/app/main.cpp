// harlune: the desktop application.

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QSessionManager>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string_view>

#include "gui/app/application_icon.h"
#include "gui/app/main_window.h"
#include "gui/app/session_end.h"
#include "gui/app/shutdown_signals.h"
#include "gui/app/single_instance.h"
#include "gui/app/unattended_dialogs.h"
#include "gui/base/qt_text.h"
#include "gui/base/qt_translations.h"
#include "gui/base/qt_user_dialogs.h"
#include "platform/linux/linux_engine_services.h"
#include "platform/linux/settings_folder.h"

namespace {

constexpr const char* kUsage =
    "usage: harlune [QT_OPTIONS]\n"
    "       harlune --help | --version\n"
    "The Harlune desktop application. A second start shows the running one's\n"
    "window. Qt's own options (-platform NAME, -style NAME, ...) are understood.\n";

// Answered before Qt starts, so that they work without a display.
std::optional<int> AnswerWithoutWindow(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--version") {
      std::printf("harlune %s\n", HARLUNE_VERSION);
      return 0;
    }
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  return std::nullopt;
}

// The session's end (a logout, a signal, the application quitting by any
// other way) runs the close procedure without questions.
void WatchSessionEnd(QApplication& application, harlune::ShutdownSignals& shutdownSignals,
                     harlune::CNetSieveDlg& window, harlune::SessionEnd& ending) {
  QObject::connect(&shutdownSignals, &harlune::ShutdownSignals::received, &ending,
                   [&ending] { ending.Request(); });
#ifndef QT_NO_SESSIONMANAGER
  QObject::connect(&application, &QGuiApplication::commitDataRequest, &ending,
                   [&ending](QSessionManager&) { ending.CloseNow(); });
#endif
  QObject::connect(&application, &QCoreApplication::aboutToQuit, &ending, [&window, &ending] {
    if (!window.Finished()) {
      ending.CloseNow();
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> exitCode = AnswerWithoutWindow(argc, argv)) {
    return *exitCode;
  }
  // Qt's start takes a while; a logout in that time must not kill us.
  harlune::ShutdownSignals::HoldUntilInstalled();
  QApplication application(argc, argv);
  // First, so that a signal during the start is seen.
  harlune::ShutdownSignals shutdownSignals;
  shutdownSignals.IgnoreWhenGone();
  QApplication::setApplicationName(QStringLiteral("Harlune"));
  harlune::InstallApplicationIcon();
  // Window lists that go by the menu entry (Wayland) take its icon from it.
  QGuiApplication::setDesktopFileName(QStringLiteral("harlune"));
  QApplication::setQuitOnLastWindowClosed(false);
  const auto qtTexts = harlune::QtTranslationsFor(QLocale::system());
  if (qtTexts) {
    QApplication::installTranslator(qtTexts.get());
  }
  harlune::QtUserDialogs interactive;
  harlune::UnattendedDialogs dialogs(interactive);

  std::string problem;
  const auto folder = harlune::ChooseSettingsFolder(harlune::ProgramFolder(), problem);
  if (!folder) {
    dialogs.ShowMessage(problem);
    return 1;
  }
  harlune::SingleInstance instance(*folder);
  switch (instance.Claim()) {
    case harlune::SingleInstance::Role::kFirst:
      break;
    case harlune::SingleInstance::Role::kForwarded:
      return 0;
    case harlune::SingleInstance::Role::kStillStopping:
      dialogs.ShowMessage(harlune::kStillStoppingMessage);
      return 0;
    case harlune::SingleInstance::Role::kFailed:
      dialogs.ShowMessage(harlune::ToUtf8(instance.Problem()));
      return 1;
  }
  if (harlune::ShutdownSignals::Received()) {
    return 0;  // nothing was loaded or changed yet
  }
  QDir::setCurrent(QString::fromStdString(folder->string()));

  harlune::LinuxEngineServices services;
  harlune::CNetSieveDlg window(*folder, services, dialogs);
  interactive.SetParent(&window);
  harlune::SessionEnd ending(window, dialogs);
  WatchSessionEnd(application, shutdownSignals, window, ending);
  QObject::connect(&instance, &harlune::SingleInstance::showRequested, &window,
                   [&window] { window.ShowFromTray(); });
  QObject::connect(&window, &harlune::CNetSieveDlg::finished, &application, [&] {
    instance.StopListening();
    QApplication::quit();
  });
  if (!window.Initialise()) {
    window.RunCloseProcedure();
    return 1;
  }
  if (harlune::ShutdownSignals::Received()) {
    ending.CloseNow();
    return window.EndedForWrongDriver() ? 1 : 0;
  }
  window.show();
  const int status = QApplication::exec();
  return window.EndedForWrongDriver() ? 1 : status;
}
