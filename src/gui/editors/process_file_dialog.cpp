#include "gui/editors/process_file_dialog.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QStringList>

#include "gui/base/qt_text.h"

namespace harlune {

void ExecutableFilesProxy::SetExecutablesOnly(bool only) {
  if (only == executablesOnly_) {
    return;
  }
  executablesOnly_ = only;
  invalidateRowsFilter();
}

bool ExecutableFilesProxy::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
  if (!executablesOnly_) {
    return true;
  }
  const QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
  const QString path = index.data(QFileSystemModel::FilePathRole).toString();
  if (path.isEmpty()) {
    return true;  // not a file (the model's own rows, such as drives)
  }
  const QFileInfo info(path);
  // Folders must stay, or no program below them could be reached.
  return info.isDir() || info.isExecutable();
}

void ConfigureProcessFileDialog(QFileDialog& dialog) {
  const QString allFiles = ToQString(kAllFilesChoice);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  // A platform's own dialog would ignore the proxy that finds executables;
  // the name pattern "(*)" would only puzzle the user.
  dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::HideNameFilterDetails);
  auto* proxy = new ExecutableFilesProxy(&dialog);
  dialog.setProxyModel(proxy);
  dialog.setNameFilters({ToQString(kExecutableFilesChoice) + QStringLiteral(" (*)"),
                         allFiles + QStringLiteral(" (*)")});
  // The choice arrives with or without its pattern, as the box shows it.
  QObject::connect(&dialog, &QFileDialog::filterSelected, proxy,
                   [proxy, allFiles](const QString& filter) {
                     proxy->SetExecutablesOnly(!filter.startsWith(allFiles));
                   });
}

QString ChooseProcessFile(QWidget* parent) {
  QFileDialog dialog(parent);
  ConfigureProcessFileDialog(dialog);
  if (dialog.exec() != QDialog::Accepted) {
    return {};
  }
  const QStringList files = dialog.selectedFiles();
  return files.isEmpty() ? QString() : files.front();
}

}  // namespace harlune
