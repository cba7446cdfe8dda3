#include "gui/widgets/header_columns.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <utility>
#include <vector>

namespace harlune {
namespace {

constexpr std::chrono::milliseconds kColumnSaveDelay{30};

bool IsPermutation(std::span<const std::int32_t> order, int count) {
  if (static_cast<int>(order.size()) < count) {
    return false;
  }
  std::vector<std::int32_t> sorted(order.begin(), order.begin() + count);
  std::ranges::sort(sorted);
  for (int i = 0; i < count; ++i) {
    if (sorted[static_cast<std::size_t>(i)] != i) {
      return false;
    }
  }
  return true;
}

}  // namespace

void RestoreHeaderColumns(QHeaderView& header, std::span<const std::int32_t> widths,
                          std::span<const std::int32_t> order) {
  const int count = header.count();
  for (int column = 0; column < count && column < static_cast<int>(widths.size()); ++column) {
    const std::int32_t width = widths[static_cast<std::size_t>(column)];
    if (width > 0) {
      header.resizeSection(column, width);
    }
  }
  if (!IsPermutation(order, count)) {
    return;
  }
  for (int position = 0; position < count; ++position) {
    header.moveSection(header.visualIndex(order[static_cast<std::size_t>(position)]), position);
  }
}

void SaveHeaderColumns(const QHeaderView& header, std::span<std::int32_t> widths,
                       std::span<std::int32_t> order) {
  const int count = header.count();
  for (int column = 0; column < count && column < static_cast<int>(widths.size()); ++column) {
    widths[static_cast<std::size_t>(column)] = header.sectionSize(column);
  }
  for (int position = 0; position < count && position < static_cast<int>(order.size());
       ++position) {
    order[static_cast<std::size_t>(position)] = header.logicalIndex(position);
  }
}

void WidenToHeaderTexts(const QHeaderView& header, std::span<std::int32_t> widths) {
  const int count = std::min(header.count(), static_cast<int>(widths.size()));
  for (int column = 0; column < count; ++column) {
    std::int32_t& width = widths[static_cast<std::size_t>(column)];
    width = std::max(width, static_cast<std::int32_t>(header.sectionSizeHint(column)));
  }
}

QTimer* SaveHeaderColumnsLater(QHeaderView& header, std::function<void()> save) {
  auto* timer = new QTimer(&header);
  timer->setSingleShot(true);
  timer->setInterval(kColumnSaveDelay);
  QObject::connect(timer, &QTimer::timeout, &header, std::move(save));
  const auto restart = [timer] { timer->start(); };
  QObject::connect(&header, &QHeaderView::sectionResized, timer, restart);
  QObject::connect(&header, &QHeaderView::sectionMoved, timer, restart);
  return timer;
}

}  // namespace harlune
