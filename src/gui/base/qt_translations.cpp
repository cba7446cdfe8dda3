#include "gui/base/qt_translations.h"

#include <QLibraryInfo>

namespace harlune {

std::unique_ptr<QTranslator> QtTranslationsFor(const QLocale& locale) {
  auto translator = std::make_unique<QTranslator>();
  if (!translator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    return nullptr;
  }
  return translator;
}

}  // namespace harlune
