#include "gui/widgets/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>

#include "gui/base/qt_text.h"

namespace harlune {

bool CopyToClipboard(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) {
    return false;
  }
  clipboard->setText(ToQString(text));
  return true;
}

}  // namespace harlune
