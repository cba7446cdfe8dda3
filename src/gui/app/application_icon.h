#pragma once

// The program's icon (windows, tray, about box), drawn rather than loaded so
// that no image plugin is needed.

#include <QIcon>

namespace harlune {

QIcon ApplicationIcon();

// Makes ApplicationIcon() the icon of the whole application, so that every
// window without one of its own, the about box among them, shows it.
void InstallApplicationIcon();

}  // namespace harlune
