#pragma once

// The width a table's address column needs so that no IPv6 address text is
// cut, shared by the pages that widen their address columns the first time
// they show an IPv6 address.

#include <QAbstractItemView>
#include <QChar>
#include <QFontMetrics>
#include <QStyle>
#include <algorithm>
#include <string_view>

namespace harlune {

// Eight groups of four hex digits and seven colons, each digit as wide as
// the widest hex digit of the view's font, plus the item's text margins on
// both sides and the grid line.
inline int FullIpv6AddressWidth(const QAbstractItemView& view) {
  const QFontMetrics metrics = view.fontMetrics();
  int digit = 0;
  for (const char c : std::string_view("0123456789abcdef")) {
    digit = std::max(digit, metrics.horizontalAdvance(QChar(c)));
  }
  const int margin = view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1;
  return 32 * digit + 7 * metrics.horizontalAdvance(QChar(':')) + 2 * margin + 1;
}

}  // namespace harlune
