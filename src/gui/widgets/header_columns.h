#pragma once

// A list's column widths and order as the general settings keep them, and
// their save shortly after the user changes them.

#include <QHeaderView>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <span>

namespace harlune {

// The widths and order of a list's columns as the general settings keep
// them: widths by column, and the column shown at each position. A width
// that is not positive and an order that is not a permutation of the
// columns are left at the header's defaults.
void RestoreHeaderColumns(QHeaderView& header, std::span<const std::int32_t> widths,
                          std::span<const std::int32_t> order);
void SaveHeaderColumns(const QHeaderView& header, std::span<std::int32_t> widths,
                       std::span<std::int32_t> order);
// Widens each width to what the header needs to show its column's title
// whole, in the header's font; wider widths are kept.
void WidenToHeaderTexts(const QHeaderView& header, std::span<std::int32_t> widths);
// Calls `save` 30 ms after the user last resized or moved a column.
QTimer* SaveHeaderColumnsLater(QHeaderView& header, std::function<void()> save);

}  // namespace harlune
