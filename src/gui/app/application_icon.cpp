#include "gui/app/application_icon.h"

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>

namespace harlune {
namespace {

QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  QLinearGradient background(0, 0, 0, s);
  background.setColorAt(0, QColor(0x2f, 0x7d, 0xd1));
  background.setColorAt(1, QColor(0x1b, 0x4f, 0x8f));
  painter.setPen(Qt::NoPen);
  painter.setBrush(background);
  painter.drawRoundedRect(QRectF(0, 0, s, s), s * 0.18, s * 0.18);
  // Three bars of falling height: traffic shaped by a bucket.
  painter.setBrush(QColor(0xff, 0xff, 0xff));
  const qreal bar = s * 0.16;
  const qreal gap = s * 0.08;
  const std::array<qreal, 3> heights = {0.62, 0.44, 0.26};
  for (std::size_t i = 0; i < heights.size(); ++i) {
    const qreal x = s * 0.18 + static_cast<qreal>(i) * (bar + gap);
    const qreal h = s * heights[i];
    painter.drawRoundedRect(QRectF(x, s * 0.8 - h, bar, h), bar * 0.2, bar * 0.2);
  }
  return pixmap;
}

}  // namespace

QIcon ApplicationIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128}) {
    icon.addPixmap(DrawIcon(size));
  }
  return icon;
}

void InstallApplicationIcon() { QGuiApplication::setWindowIcon(ApplicationIcon()); }

}  // namespace harlune
