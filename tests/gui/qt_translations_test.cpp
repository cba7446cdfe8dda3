#include "gui/base/qt_translations.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLibraryInfo>
#include <QPushButton>

#include <gtest/gtest.h>

namespace harlune {
namespace {

TEST(QtTranslationsTest, StandardButtonsSpeakTheLocalesLanguage) {
  const QLocale japanese(QLocale::Japanese, QLocale::Japan);
  auto translator = QtTranslationsFor(japanese);
  if (!translator) {
    GTEST_SKIP() << "no qtbase_ja.qm in "
                 << QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString()
                 << " (scripts/install-deps.sh installs qt6-translations-l10n)";
  }
  QCoreApplication::installTranslator(translator.get());
  QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  const QString cancel = buttons.button(QDialogButtonBox::Cancel)->text();
  QCoreApplication::removeTranslator(translator.get());
  EXPECT_EQ(cancel, QStringLiteral("キャンセル"));
}

TEST(QtTranslationsTest, ALanguageWithoutTranslationKeepsQtsEnglish) {
  EXPECT_EQ(QtTranslationsFor(QLocale(QLocale::Zulu, QLocale::SouthAfrica)), nullptr);
}

}  // namespace
}  // namespace harlune
