#pragma once

// The open-file dialog behind every "参照..." button that asks for a
// process. On Linux a program is any file the user may execute, whatever
// its name, so the first choice lists the files with an execute
// permission (and the folders to reach them); the second lists all files.

#include <QSortFilterProxyModel>
#include <QString>
#include <functional>
#include <string_view>

class QFileDialog;
class QWidget;

namespace harlune {

// The two choices as the dialog shows them. Their name pattern takes every
// name: which files are programs the permissions tell, not the names.
inline constexpr std::string_view kExecutableFilesChoice = "実行ファイル";
inline constexpr std::string_view kAllFilesChoice = "全てのファイル";

// Keeps the folders and, while executables only are asked for, the files
// that may be executed. It reads the path each row of the source model
// gives as QFileSystemModel::FilePathRole.
class ExecutableFilesProxy final : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;

  bool executablesOnly() const { return executablesOnly_; }
  void SetExecutablesOnly(bool only);

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  bool executablesOnly_ = true;
};

// Sets up `dialog` to open one existing file with the two choices above,
// the executables first.
void ConfigureProcessFileDialog(QFileDialog& dialog);

// Asks for a process's program file; its full path, or empty when the
// user cancelled.
QString ChooseProcessFile(QWidget* parent);

// The editors' way of asking, replaceable in tests.
using ProcessFileChooser = std::function<QString(QWidget* parent)>;

}  // namespace harlune
