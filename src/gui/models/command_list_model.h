#pragma once

// CommandListModel: the names of the external commands, in list order, for
// the external command page's list.

#include <QAbstractListModel>
#include <cstddef>
#include <optional>

#include "core/command/external_command_file.h"

namespace harlune {

class CommandListModel final : public QAbstractListModel {
  Q_OBJECT

 public:
  // `commands` must outlive the model.
  explicit CommandListModel(const ExternalCommandIni& commands, QObject* parent = nullptr);

  // The list changed (added, replaced or removed commands): every row is
  // read again.
  void Refresh();

  // The command index of a row; nothing outside the list.
  std::optional<std::size_t> CommandAt(const QModelIndex& index) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

 private:
  const ExternalCommandIni& commands_;
};

}  // namespace harlune
