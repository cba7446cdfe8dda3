#pragma once

// "ReadMeを読む": the README.md installed with the program, in the doc
// folder beside its docs/ directory, opened in the desktop's viewer.

#include <QString>
#include <QUrl>
#include <functional>
#include <string>

#include "core/base/user_dialogs.h"

namespace harlune {

// The doc folder as installed, found from the folder of the running program.
QString InstalledDocumentationFolder();

// "ReadMeが見つかりません：%1" with the path where README.md should be.
std::string ReadMeMissingText(const QString& readMePath);
// "ReadMeを開けませんでした。ドキュメントは %1 にあります。" with the folder.
std::string ReadMeNotOpenedText(const QString& folder);

// Opens README.md of `folder` with `open` (the desktop's URL handler); when
// the file is missing or the desktop cannot open it, tells the user where
// the documentation is. False when it was not opened.
bool OpenReadMe(const QString& folder, UserDialogs& dialogs,
                const std::function<bool(const QUrl&)>& open);

}  // namespace harlune
