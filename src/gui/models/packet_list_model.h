#pragma once

// PacketListModel: the rows of one packet list as a Qt table. It keeps a
// mirror of the rows the list shows and follows every change the list
// reports with the smallest change of the table (rows in at the top, rows
// out at the end, changed cells), so that a refill on every capture tick
// keeps the selection and the scroll position.

#include <QAbstractTableModel>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "core/capture/packet_list.h"

namespace harlune {

class PacketListModel final : public QAbstractTableModel, public PacketListObserver {
  Q_OBJECT

 public:
  // Observes `list` from now on and shows its rows.
  explicit PacketListModel(PacketList& list, QObject* parent = nullptr);
  ~PacketListModel() override;
  PacketListModel(const PacketListModel&) = delete;
  PacketListModel& operator=(const PacketListModel&) = delete;

  // The list is about to go or has gone (the monitor rebuilds its lists):
  // the model lets go of it without touching it again.
  void Detach();

  PacketView view() const { return view_; }
  // The serial number of the packet on a row; nothing outside the rows.
  std::optional<std::uint32_t> SerialAt(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // PacketListObserver.
  void RowsInsertedAtTop(std::size_t count) override;
  void RowsRemovedFromEnd(std::size_t count) override;
  void RowsReset() override;
  void ColumnsChanged() override;

 signals:
  // The list's column widths or order changed; the view takes them over.
  void columnsChanged();
  // A row shows an IPv6 packet for the first time in this model's life,
  // after the rows changed.
  void firstIpv6RowShown();

 private:
  void InsertAtTop(const std::deque<PacketEntry>& from, std::size_t count);
  void ResizeTo(const std::deque<PacketEntry>& from);
  void RefreshChangedRows(const std::deque<PacketEntry>& from);
  // Tells firstIpv6RowShown once, when one of the first `count` rows is
  // IPv6; looks no more once told.
  void NoteIpv6Rows(std::size_t count);

  PacketList* list_;
  PacketView view_;
  std::deque<PacketEntry> rows_;
  bool ipv6Shown_ = false;
};

}  // namespace harlune
