#include "gui/widgets/rate_graph.h"

#include <QEvent>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace harlune {
namespace {

constexpr double kKiB = 1024.0;
constexpr int kMargin = 6;
constexpr int kLegendBox = 10;
constexpr int kLegendGap = 14;
constexpr int kTimeLabelStep = 120;  // seconds between time labels
constexpr int kGridRows = 4;

// Hues that stay apart from each other on a light and on a dark base.
constexpr std::array<QRgb, 8> kSeriesColors = {0x1f77b4, 0xd62728, 0x2ca02c, 0xff7f0e,
                                               0x9467bd, 0x8c564b, 0xe377c2, 0x17becf};

struct Scale {
  double top = 1.0;    // KB/s
  double step = 0.25;  // KB/s between grid lines
};

// A round top above `maximum` (KB/s), in steps of 1, 2 or 5 times a power
// of ten, so that the grid lines fall on numbers one reads at a glance.
Scale NiceScale(double maximum) {
  const double value = std::max(maximum, 1.0);
  const double raw = value / kGridRows;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  const double normal = raw / magnitude;
  const double nice = normal <= 1.0 ? 1.0 : normal <= 2.0 ? 2.0 : normal <= 5.0 ? 5.0 : 10.0;
  const double step = nice * magnitude;
  return {std::ceil(value / step - 1e-9) * step, step};
}

QString KiBText(double kib) { return QString::number(kib, 'f', 1) + QStringLiteral(" KB/s"); }

QString AxisText(double kib, double step) {
  return QString::number(kib, 'f', step < 1.0 ? 2 : 0) + QStringLiteral(" KB/s");
}

QString AgeText(int seconds) {
  if (seconds == 0) {
    return QStringLiteral("現在");
  }
  if (seconds < 60) {
    return QStringLiteral("%1秒前").arg(seconds);
  }
  return QStringLiteral("%1分%2秒前").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString TimeLabel(int seconds) {
  return seconds == 0 ? QStringLiteral("現在") : QStringLiteral("%1分前").arg(seconds / 60);
}

std::uint32_t LargestRate(const std::vector<RateGraphSeries>& series,
                          const std::vector<RateGraphLine>& lines) {
  std::uint32_t largest = 0;
  for (const RateGraphSeries& one : series) {
    if (!one.samples.empty()) {
      largest = std::max(largest, *std::ranges::max_element(one.samples));
    }
  }
  for (const RateGraphLine& line : lines) {
    largest = std::max(largest, line.rate);
  }
  return largest;
}

// The top-left corner of each legend item, wrapping at `width`, and the
// height all rows take.
std::pair<std::vector<QPoint>, int> LegendLayout(const std::vector<QString>& texts,
                                                 const QFontMetrics& metrics, int width) {
  std::vector<QPoint> places;
  int x = kMargin;
  int y = kMargin;
  for (const QString& text : texts) {
    const int itemWidth = kLegendBox + 4 + metrics.horizontalAdvance(text);
    if (x > kMargin && x + itemWidth > width - kMargin) {
      x = kMargin;
      y += metrics.height();
    }
    places.emplace_back(x, y);
    x += itemWidth + kLegendGap;
  }
  return {std::move(places), texts.empty() ? kMargin : y + metrics.height() + kMargin};
}

double YOf(std::uint32_t rate, double topKiB, const QRect& plot) {
  return plot.bottom() - rate / kKiB / topKiB * plot.height();
}

}  // namespace

RateGraphSeries SeriesOf(QString name, const RateRing* ring) {
  RateGraphSeries series{std::move(name), {}};
  if (ring != nullptr) {
    series.samples.reserve(ring->Size());
    for (std::size_t i = 0; i < ring->Size(); ++i) {
      series.samples.push_back(ring->At(i));
    }
  }
  return series;
}

RateGraph::RateGraph(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  // An open tooltip follows the pointer along the curves.
  setMouseTracking(true);
}

void RateGraph::SetSeries(std::vector<RateGraphSeries> series) {
  series_ = std::move(series);
  RequestRepaint();
}

void RateGraph::SetLines(std::vector<RateGraphLine> lines) {
  lines_ = std::move(lines);
  RequestRepaint();
}

void RateGraph::RequestRepaint() {
  // A hidden graph is painted when it is shown; asking now would be work
  // for nothing.
  if (isVisible()) {
    update();
  }
}

double RateGraph::ScaleTopKiB() const { return NiceScale(LargestRate(series_, lines_) / kKiB).top; }

std::vector<RateGraph::LegendItem> RateGraph::LegendItems() const {
  std::vector<LegendItem> items;
  for (std::size_t i = 0; i < series_.size(); ++i) {
    items.push_back({series_[i].name, ColorAt(i), false});
  }
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    items.push_back({lines_[i].name + QStringLiteral(" ") + KiBText(lines_[i].rate / kKiB),
                     ColorAt(series_.size() + i), true});
  }
  return items;
}

int RateGraph::LegendHeight() const {
  std::vector<QString> texts;
  for (const LegendItem& item : LegendItems()) {
    texts.push_back(item.text);
  }
  return LegendLayout(texts, fontMetrics(), width()).second;
}

QColor RateGraph::ColorAt(std::size_t index) const {
  const QColor color(kSeriesColors[index % kSeriesColors.size()]);
  // On a dark base the same hues are lightened to stay legible.
  return palette().color(QPalette::Base).lightnessF() < 0.5 ? color.lighter(150) : color;
}

QRect RateGraph::PlotArea() const {
  const QFontMetrics metrics = fontMetrics();
  const Scale scale = NiceScale(LargestRate(series_, lines_) / kKiB);
  const int axisWidth = metrics.horizontalAdvance(AxisText(scale.top, scale.step)) + kMargin;
  const int top = LegendHeight();
  const int bottom = height() - metrics.height() - kMargin;
  const int left = kMargin + axisWidth;
  const int right = width() - kMargin - metrics.horizontalAdvance(TimeLabel(0)) / 2;
  return {QPoint(left, top), QPoint(std::max(left + 1, right), std::max(top + 1, bottom))};
}

int RateGraph::XOfAge(int seconds) const {
  const QRect plot = PlotArea();
  return plot.right() - static_cast<int>(std::lround(seconds * plot.width() / double(kSeconds)));
}

QString RateGraph::ValueText(const QPoint& position) const {
  const QRect plot = PlotArea();
  if (!plot.contains(position)) {
    return {};
  }
  const int age = std::clamp(static_cast<int>(std::lround((plot.right() - position.x()) * kSeconds /
                                                          double(plot.width()))),
                             0, kSeconds - 1);
  QStringList rows{AgeText(age)};
  for (const RateGraphSeries& one : series_) {
    if (static_cast<std::size_t>(age) < one.samples.size()) {
      const std::uint32_t rate =
          one.samples[one.samples.size() - 1 - static_cast<std::size_t>(age)];
      rows.push_back(one.name + QStringLiteral(": ") + KiBText(rate / kKiB));
    }
  }
  for (const RateGraphLine& line : lines_) {
    rows.push_back(line.name + QStringLiteral(": ") + KiBText(line.rate / kKiB));
  }
  return rows.join(QLatin1Char('\n'));
}

bool RateGraph::event(QEvent* event) {
  if (event->type() != QEvent::ToolTip) {
    return QWidget::event(event);
  }
  const auto* help = static_cast<QHelpEvent*>(event);
  if (!ShowValueAt(help->pos(), help->globalPos())) {
    event->ignore();
  }
  return true;
}

void RateGraph::mouseMoveEvent(QMouseEvent* event) {
  if (QToolTip::isVisible()) {
    ShowValueAt(event->position().toPoint(), event->globalPosition().toPoint());
  }
  QWidget::mouseMoveEvent(event);
}

bool RateGraph::ShowValueAt(const QPoint& position, const QPoint& globalPosition) {
  const QString text = ValueText(position);
  if (text.isEmpty()) {
    QToolTip::hideText();
    return false;
  }
  QToolTip::showText(globalPosition, text, this);
  return true;
}

void RateGraph::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Window));
  const QRect plot = PlotArea();
  painter.fillRect(plot, palette().color(QPalette::Base));
  DrawAxes(painter, plot);
  DrawTimeAxis(painter, plot);
  painter.setRenderHint(QPainter::Antialiasing);
  const double top = ScaleTopKiB();
  DrawLines(painter, plot, top);
  DrawSeries(painter, plot, top);
  DrawLegend(painter);
}

void RateGraph::DrawLegend(QPainter& painter) const {
  const std::vector<LegendItem> items = LegendItems();
  std::vector<QString> texts;
  for (const LegendItem& item : items) {
    texts.push_back(item.text);
  }
  const QFontMetrics metrics = fontMetrics();
  const std::vector<QPoint> places = LegendLayout(texts, metrics, width()).first;
  painter.setPen(palette().color(QPalette::WindowText));
  for (std::size_t i = 0; i < items.size(); ++i) {
    const QPoint place = places[i];
    const int middle = place.y() + metrics.height() / 2;
    painter.setPen(QPen(items[i].color, 2, items[i].dashed ? Qt::DashLine : Qt::SolidLine));
    painter.drawLine(place.x(), middle, place.x() + kLegendBox, middle);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(QPoint(place.x() + kLegendBox + 4, place.y() + metrics.ascent()),
                     items[i].text);
  }
}

void RateGraph::DrawAxes(QPainter& painter, const QRect& plot) const {
  const Scale scale = NiceScale(LargestRate(series_, lines_) / kKiB);
  const QFontMetrics metrics = fontMetrics();
  QColor grid = palette().color(QPalette::WindowText);
  grid.setAlpha(40);
  const int rows = static_cast<int>(std::lround(scale.top / scale.step));
  for (int row = 0; row <= rows; ++row) {
    const double kib = row * scale.step;
    const int y = plot.bottom() - static_cast<int>(std::lround(kib / scale.top * plot.height()));
    painter.setPen(grid);
    painter.drawLine(plot.left(), y, plot.right(), y);
    painter.setPen(palette().color(QPalette::WindowText));
    const QString text = AxisText(kib, scale.step);
    painter.drawText(plot.left() - kMargin - metrics.horizontalAdvance(text),
                     y + metrics.ascent() / 2, text);
  }
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(plot);
}

void RateGraph::DrawTimeAxis(QPainter& painter, const QRect& plot) const {
  const QFontMetrics metrics = fontMetrics();
  QColor grid = palette().color(QPalette::WindowText);
  grid.setAlpha(40);
  for (int age = kSeconds; age >= 0; age -= kTimeLabelStep) {
    const int x =
        plot.right() - static_cast<int>(std::lround(age * plot.width() / double(kSeconds)));
    painter.setPen(grid);
    painter.drawLine(x, plot.top(), x, plot.bottom());
    painter.setPen(palette().color(QPalette::WindowText));
    const QString text = TimeLabel(age);
    const int textX = std::max(plot.left(), x - metrics.horizontalAdvance(text) / 2);
    painter.drawText(textX, plot.bottom() + metrics.ascent() + 2, text);
  }
}

void RateGraph::DrawLines(QPainter& painter, const QRect& plot, double topKiB) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    painter.setPen(QPen(ColorAt(series_.size() + i), 1.5, Qt::DashLine));
    const double y = YOf(lines_[i].rate, topKiB, plot);
    painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
  }
}

void RateGraph::DrawSeries(QPainter& painter, const QRect& plot, double topKiB) const {
  painter.setClipRect(plot.adjusted(0, -1, 0, 1));
  const double secondWidth = plot.width() / double(kSeconds);
  std::vector<QPointF> points;
  points.reserve(RateRing::kCapacity);
  for (std::size_t i = 0; i < series_.size(); ++i) {
    const std::vector<std::uint32_t>& samples = series_[i].samples;
    points.clear();
    for (std::size_t j = 0; j < samples.size(); ++j) {
      const double age = double(samples.size() - 1 - j);
      points.emplace_back(plot.right() - age * secondWidth, YOf(samples[j], topKiB, plot));
    }
    // A cosmetic pen takes the raster engine's fast line path: a wide
    // stroked curve costs several times as much to paint every second.
    QPen pen(ColorAt(i), 0);
    pen.setCosmetic(true);
    painter.setPen(pen);
    painter.drawPolyline(points.data(), static_cast<int>(points.size()));
  }
  painter.setClipping(false);
}

}  // namespace harlune
