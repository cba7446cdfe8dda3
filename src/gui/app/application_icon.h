#pragma once

// The program's icon (windows, tray, about box), drawn rather than loaded so
// that no image plugin is needed.

#include <QIcon>

namespace harlune {

QIcon ApplicationIcon();

}  // namespace harlune
