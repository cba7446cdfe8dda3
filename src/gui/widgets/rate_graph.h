#pragma once

// RateGraph: a painted graph of rates over the last ten minutes, one
// sample a second, in KB/s (1 KB = 1024 bytes), with a legend, horizontal
// lines for fixed rates and a tooltip with the values under the pointer.
// It draws only when Qt asks it to paint and asks for that only while it is
// visible: a hidden graph takes its data and does nothing else.

#include <QString>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "core/graph/rate_ring.h"

namespace harlune {

// One curve: its samples in bytes/s, oldest first, the last one now.
struct RateGraphSeries {
  QString name;
  std::vector<std::uint32_t> samples;
};

// A fixed rate drawn across the whole time axis (an assured rate, a ceiling).
struct RateGraphLine {
  QString name;
  std::uint32_t rate = 0;  // bytes/s
};

// The series of a kept history; no samples when there is none.
RateGraphSeries SeriesOf(QString name, const RateRing* ring);

class RateGraph final : public QWidget {
  Q_OBJECT

 public:
  // The seconds the time axis spans.
  static constexpr int kSeconds = static_cast<int>(RateRing::kCapacity);

  explicit RateGraph(QWidget* parent = nullptr);

  void SetSeries(std::vector<RateGraphSeries> series);
  void SetLines(std::vector<RateGraphLine> lines);
  const std::vector<RateGraphSeries>& series() const { return series_; }
  const std::vector<RateGraphLine>& lines() const { return lines_; }

  // The top of the rate axis in KB/s: a round number above every value.
  double ScaleTopKiB() const;
  // Where the curves are drawn, and the x of a sample that many seconds old.
  QRect PlotArea() const;
  int XOfAge(int seconds) const;
  // The tooltip at a point: the time and every value there; empty outside
  // the curves' area.
  QString ValueText(const QPoint& position) const;

  QSize sizeHint() const override { return {480, 200}; }
  // No height of its own: a graph under a list must not raise the
  // window's smallest size; its splitter gives it room.
  QSize minimumSizeHint() const override { return {100, 0}; }

 protected:
  bool event(QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  struct LegendItem {
    QString text;
    QColor color;
    bool dashed = false;
  };

  void RequestRepaint();
  // Shows the values at the point as the tooltip; false when there are none.
  bool ShowValueAt(const QPoint& position, const QPoint& globalPosition);
  std::vector<LegendItem> LegendItems() const;
  // The height the legend takes at the widget's width.
  int LegendHeight() const;
  QColor ColorAt(std::size_t index) const;
  void DrawLegend(QPainter& painter) const;
  void DrawAxes(QPainter& painter, const QRect& plot) const;
  void DrawTimeAxis(QPainter& painter, const QRect& plot) const;
  void DrawLines(QPainter& painter, const QRect& plot, double topKiB) const;
  void DrawSeries(QPainter& painter, const QRect& plot, double topKiB) const;

  std::vector<RateGraphSeries> series_;
  std::vector<RateGraphLine> lines_;
};

}  // namespace harlune
