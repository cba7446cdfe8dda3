#include "gui/models/command_list_model.h"

#include "gui/base/qt_text.h"

namespace harlune {

CommandListModel::CommandListModel(const ExternalCommandIni& commands, QObject* parent)
    : QAbstractListModel(parent), commands_(commands) {}

void CommandListModel::Refresh() {
  beginResetModel();
  endResetModel();
}

std::optional<std::size_t> CommandListModel::CommandAt(const QModelIndex& index) const {
  if (!index.isValid() || index.row() < 0 ||
      static_cast<std::size_t>(index.row()) >= commands_.size()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(index.row());
}

int CommandListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(commands_.size());
}

QVariant CommandListModel::data(const QModelIndex& index, int role) const {
  const std::optional<std::size_t> command = CommandAt(index);
  if (!command || role != Qt::DisplayRole) {
    return {};
  }
  return ToQString(commands_[*command].Name);
}

}  // namespace harlune
