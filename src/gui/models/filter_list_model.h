#pragma once

// The filter page's list: one row per filter in list order, fifteen text
// columns and an icon telling enabled from disabled filters. The model keeps
// the texts it last showed, so a redraw touches only the cells whose text
// changed and selection and scroll position survive the statistics tick.

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/filter/packet_filter_manager.h"
#include "core/htb/htb_manager.h"

namespace harlune {

inline constexpr std::size_t kFilterColumnCount = 15;
inline constexpr std::array<std::string_view, kFilterColumnCount> kFilterColumnHeaders = {
    "比較順位 フィルタ名",
    "プロトコル",
    "現在の帯域",
    "制限帯域",
    "転送量",
    "方向",
    "プロセス名",
    "HTBクラス",
    "ローカルIPアドレス",
    "リモートIPアドレス",
    "ローカルポート",
    "リモートポート",
    "リモートIPマスク",
    "最小パケットサイズ",
    "コメント"};

// The texts of one filter's row; `row` counts from 0. The remote address
// column shows the filter's IPv6 remote prefix ("2001:db8::/32") when it
// has one.
// `driverSilent`: the filter's adapter has a driver that stopped answering.
std::array<QString, kFilterColumnCount> FilterRowTexts(std::size_t row,
                                                       const PacketFilterSetting& filter,
                                                       const HTB_Manager& htb,
                                                       bool driverSilent = false);

class FilterListModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  FilterListModel(const PacketFilterManager& filters, const HTB_Manager& htb,
                  QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Brings the rows up to date with the filter list: rows beyond the list
  // are removed, new ones appended, and only changed cells are announced.
  void Refresh();
  // The adapters whose driver stopped answering; their filters show no rate.
  void SetSilentAdapters(std::function<std::vector<std::string>()> silentAdapters) {
    silentAdapters_ = std::move(silentAdapters);
  }

 private:
  struct Row {
    std::array<QString, kFilterColumnCount> cells;
    bool available = true;
  };

  std::vector<Row> CurrentRows() const;
  void UpdateRow(int row, Row&& fresh);

  const PacketFilterManager& filters_;
  const HTB_Manager& htb_;
  std::function<std::vector<std::string>()> silentAdapters_;
  std::vector<Row> rows_;
  QIcon enabledIcon_;
  QIcon disabledIcon_;
};

}  // namespace harlune
