#include "gui/app/read_me.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "gui/base/qt_text.h"

#ifndef HARLUNE_DOC_FROM_BIN
#error "HARLUNE_DOC_FROM_BIN must name the doc folder relative to the program's folder"
#endif

namespace harlune {

QString InstalledDocumentationFolder() {
  // Relative to the program, so that an installation under another prefix
  // finds its own documentation.
  return QDir::cleanPath(
      QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral(HARLUNE_DOC_FROM_BIN)));
}

std::string ReadMeMissingText(const QString& readMePath) {
  return ToUtf8(
      QStringLiteral("ReadMeが見つかりません：%1").arg(QDir::toNativeSeparators(readMePath)));
}

std::string ReadMeNotOpenedText(const QString& folder) {
  return ToUtf8(QStringLiteral("ReadMeを開けませんでした。ドキュメントは %1 にあります。")
                    .arg(QDir::toNativeSeparators(folder)));
}

bool OpenReadMe(const QString& folder, UserDialogs& dialogs,
                const std::function<bool(const QUrl&)>& open) {
  const QString path = QDir(folder).filePath(QStringLiteral("README.md"));
  if (!QFileInfo(path).isFile()) {
    dialogs.ShowMessage(ReadMeMissingText(path));
    return false;
  }
  if (!open(QUrl::fromLocalFile(path))) {
    dialogs.ShowMessage(ReadMeNotOpenedText(folder));
    return false;
  }
  return true;
}

}  // namespace harlune
