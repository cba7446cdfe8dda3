#pragma once

// Qt's own texts (the standard buttons of message boxes and dialogs, the
// edit fields' context menus) in the language of the user's locale, as the
// system's other programs show them.

#include <QLocale>
#include <QTranslator>
#include <memory>

namespace harlune {

// The translator of Qt's texts for `locale`, or null when the system has no
// translation installed for it (Qt's English texts stay).
std::unique_ptr<QTranslator> QtTranslationsFor(const QLocale& locale);

}  // namespace harlune
