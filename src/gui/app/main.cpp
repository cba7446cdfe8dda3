// harlune: the desktop application.

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <filesystem>

#include "gui/app/main_window.h"
#include "gui/app/single_instance.h"
#include "gui/base/qt_text.h"
#include "gui/base/qt_translations.h"
#include "gui/base/qt_user_dialogs.h"
#include "platform/linux/linux_engine_services.h"
#include "platform/linux/settings_folder.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Harlune"));
  QApplication::setQuitOnLastWindowClosed(false);
  const auto qtTexts = harlune::QtTranslationsFor(QLocale::system());
  if (qtTexts) {
    QApplication::installTranslator(qtTexts.get());
  }
  harlune::QtUserDialogs dialogs;

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
  QDir::setCurrent(QString::fromStdString(folder->string()));

  harlune::LinuxEngineServices services;
  harlune::CNetSieveDlg window(*folder, services, dialogs);
  dialogs.SetParent(&window);
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
  window.show();
  const int status = QApplication::exec();
  return window.EndedForWrongDriver() ? 1 : status;
}
