#include "gui/app/window_placement.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace harlune {
namespace {

// How much of the title bar must lie on a screen for the user to drag it.
constexpr int kGrabWidth = 50;

std::int64_t Area(const QRect& rect) {
  return rect.isEmpty() ? 0 : std::int64_t{rect.width()} * rect.height();
}

bool TitleBarOn(const QRect& frame, const QRect& screen) {
  if (frame.top() < screen.top() || frame.top() > screen.bottom()) {
    return false;
  }
  const int overlap =
      std::min(frame.right(), screen.right()) - std::max(frame.left(), screen.left()) + 1;
  return overlap >= std::min(kGrabWidth, frame.width());
}

bool StaysWhereItIs(const QRect& frame, const QList<QRect>& screens) {
  std::int64_t shown = 0;
  bool grabbable = false;
  for (const QRect& screen : screens) {
    shown += Area(frame.intersected(screen));
    grabbable = grabbable || TitleBarOn(frame, screen);
  }
  return grabbable && shown * 2 >= Area(frame);
}

// The screen sharing most of the frame, or the one whose centre is closest
// when the frame is on none.
QRect NearestScreen(const QRect& frame, const QList<QRect>& screens) {
  QRect best = screens.front();
  std::int64_t bestShared = -1;
  std::int64_t bestDistance = std::numeric_limits<std::int64_t>::max();
  for (const QRect& screen : screens) {
    const std::int64_t shared = Area(frame.intersected(screen));
    const QPoint gap = screen.center() - frame.center();
    const std::int64_t distance = std::int64_t{gap.x()} * gap.x() + std::int64_t{gap.y()} * gap.y();
    if (shared > bestShared || (shared == bestShared && distance < bestDistance)) {
      best = screen;
      bestShared = shared;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace

QRect FitOntoScreens(const QRect& frame, const QList<QRect>& screens) {
  if (screens.isEmpty() || StaysWhereItIs(frame, screens)) {
    return frame;
  }
  const QRect screen = NearestScreen(frame, screens);
  QRect placed(frame.topLeft(), frame.size().boundedTo(screen.size()));
  placed.moveLeft(std::clamp(placed.left(), screen.left(), screen.right() - placed.width() + 1));
  placed.moveTop(std::clamp(placed.top(), screen.top(), screen.bottom() - placed.height() + 1));
  return placed;
}

QRect CentredIn(const QSize& size, const QRect& available) {
  QRect placed(QPoint(0, 0), size.boundedTo(available.size()));
  placed.moveCenter(available.center());
  return placed;
}

}  // namespace harlune
