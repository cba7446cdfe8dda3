#include "gui/models/filter_list_model.h"

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

#include "core/driver/traffic_statistics.h"
#include "core/filter/port_range.h"
#include "core/htb/htb_rows.h"
#include "gui/base/qt_text.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

constexpr int kIconSize = 16;

// A round lamp: green for an enabled filter, grey and struck through for a
// disabled one.
QIcon LampIcon(bool enabled) {
  QPixmap pixmap(kIconSize, kIconSize);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QColor(60, 60, 60));
  painter.setBrush(enabled ? QColor(40, 180, 60) : QColor(170, 170, 170));
  painter.drawEllipse(2, 2, kIconSize - 5, kIconSize - 5);
  if (!enabled) {
    painter.setPen(QPen(QColor(200, 30, 30), 2));
    painter.drawLine(3, kIconSize - 4, kIconSize - 4, 3);
  }
  painter.end();
  return QIcon(pixmap);
}

QString ProtocolText(std::uint16_t protocol) {
  switch (protocol) {
    case 1:
      return QStringLiteral("ICMP");
    case 6:
      return QStringLiteral("TCP");
    case 17:
      return QStringLiteral("UDP");
    default:
      return QStringLiteral("その他");
  }
}

QString LimitText(const PacketFilterSetting& filter, const HTB_Manager& htb) {
  if (filter.TBFThrough != 0) {
    return QStringLiteral("無制限");
  }
  return QString::number(FilterShownRate(htb, filter) >> 10) + QStringLiteral(" KB/s");
}

QString Dotted(std::uint32_t networkOrder) { return ToQString(FormatIpv4(networkOrder)); }

// The filter's IPv6 remote prefix when it has one, else its IPv4 address.
QString RemoteAddressText(const PacketFilterSetting& filter) {
  if (filter.RemoteIpv6.length == 0) {
    return Dotted(filter.RemoteIPAddr);
  }
  return ToQString(IpAddress::FromIpv6(filter.RemoteIpv6.address).ToText()) + QLatin1Char('/') +
         QString::number(filter.RemoteIpv6.length);
}

}  // namespace

std::array<QString, kFilterColumnCount> FilterRowTexts(std::size_t row,
                                                       const PacketFilterSetting& filter,
                                                       const HTB_Manager& htb, bool driverSilent) {
  return {
      QString::number(row + 1) + QLatin1Char(' ') + ToQString(filter.Name),
      ProtocolText(filter.Protocol),
      ToQString(FilterRateText(filter, driverSilent)),
      LimitText(filter, htb),
      ToQString(FilterTransferText(filter)),
      filter.TBFMode == 1 ? QStringLiteral("Receive") : QStringLiteral("Send"),
      ToQString(filter.AppName),
      ToQString(FilterHtbText(htb, filter.ID)),
      Dotted(filter.LocalIPAddr),
      RemoteAddressText(filter),
      ToQString(PortListText(filter.LocalPortCount, filter.LocalPorts)),
      ToQString(PortListText(filter.RemotePortCount, filter.RemotePorts)),
      Dotted(filter.RemoteIPAddrMask),
      QString::number(static_cast<std::int32_t>(filter.TBFMPU)) + QStringLiteral(" Byte"),
      ToQString(filter.Comment),
  };
}

FilterListModel::FilterListModel(const PacketFilterManager& filters, const HTB_Manager& htb,
                                 QObject* parent)
    : QAbstractTableModel(parent),
      filters_(filters),
      htb_(htb),
      rows_(CurrentRows()),
      enabledIcon_(LampIcon(true)),
      disabledIcon_(LampIcon(false)) {}

int FilterListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FilterListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(kFilterColumnCount);
}

QVariant FilterListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) {
    return {};
  }
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  if (role == Qt::DisplayRole) {
    return row.cells[static_cast<std::size_t>(index.column())];
  }
  if (role == Qt::DecorationRole && index.column() == 0) {
    return row.available ? enabledIcon_ : disabledIcon_;
  }
  return {};
}

QVariant FilterListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= columnCount()) {
    return {};
  }
  return ToQString(kFilterColumnHeaders[static_cast<std::size_t>(section)]);
}

std::vector<FilterListModel::Row> FilterListModel::CurrentRows() const {
  std::vector<Row> rows;
  rows.reserve(filters_.Size());
  const std::vector<std::string> silent =
      silentAdapters_ ? silentAdapters_() : std::vector<std::string>{};
  for (std::size_t i = 0; i < filters_.Size(); ++i) {
    const PacketFilterSetting& filter = filters_.At(i);
    const bool driverSilent =
        std::find(silent.begin(), silent.end(), filter.LowerAdapterName) != silent.end();
    rows.push_back({FilterRowTexts(i, filter, htb_, driverSilent), filter.Available != 0});
  }
  return rows;
}

void FilterListModel::Refresh() {
  std::vector<Row> fresh = CurrentRows();
  const int oldCount = rowCount();
  const int newCount = static_cast<int>(fresh.size());
  if (newCount < oldCount) {
    beginRemoveRows({}, newCount, oldCount - 1);
    rows_.resize(fresh.size());
    endRemoveRows();
  }
  for (int row = 0; row < std::min(oldCount, newCount); ++row) {
    UpdateRow(row, std::move(fresh[static_cast<std::size_t>(row)]));
  }
  if (newCount > oldCount) {
    beginInsertRows({}, oldCount, newCount - 1);
    std::move(fresh.begin() + oldCount, fresh.end(), std::back_inserter(rows_));
    endInsertRows();
  }
}

void FilterListModel::UpdateRow(int row, Row&& fresh) {
  Row& shown = rows_[static_cast<std::size_t>(row)];
  int first = shown.available != fresh.available ? 0 : -1;
  int last = first;
  for (std::size_t column = 0; column < kFilterColumnCount; ++column) {
    if (shown.cells[column] != fresh.cells[column]) {
      first = first < 0 ? static_cast<int>(column) : first;
      last = static_cast<int>(column);
    }
  }
  if (first < 0) {
    return;
  }
  shown = std::move(fresh);
  emit dataChanged(index(row, first), index(row, last));
}

}  // namespace harlune
