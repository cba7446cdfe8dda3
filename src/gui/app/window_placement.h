#pragma once

// Where the main window goes on the screens there are now. Pure functions
// over rectangles, so the rules are checked without a display.

#include <QList>
#include <QRect>
#include <QSize>

namespace harlune {

// The frame rectangle moved onto the screens: unchanged while its title
// bar can be grabbed on some screen and most of it shows; otherwise moved
// onto the nearest screen's available area, keeping its size unless the
// area is smaller. `screens` are the available areas; none leaves the
// rectangle as it is.
QRect FitOntoScreens(const QRect& frame, const QList<QRect>& screens);

// A frame of `size` centred in `available`, shrunk to it when larger.
QRect CentredIn(const QSize& size, const QRect& available);

}  // namespace harlune
