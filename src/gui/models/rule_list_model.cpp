#include "gui/models/rule_list_model.h"

#include <utility>

#include "gui/base/qt_text.h"

namespace harlune {
namespace {

constexpr int kColumnCount = static_cast<int>(kRuleColumnCount);

QVariant AlignmentOf(int column) {
  const bool right = kRuleColumns[static_cast<std::size_t>(column)].alignRight;
  return QVariant::fromValue(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
}

}  // namespace

RuleListModel::RuleListModel(const ConnectionRuleRows& rules, QIcon available, QIcon unavailable,
                             QObject* parent)
    : QAbstractTableModel(parent),
      rules_(rules),
      available_(std::move(available)),
      unavailable_(std::move(unavailable)),
      shownRows_(static_cast<int>(rules.RowCount())) {}

int RuleListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : shownRows_;
}

int RuleListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant RuleListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= shownRows_) {
    return {};
  }
  const auto row = static_cast<std::size_t>(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return ToQString(rules_.CellText(row, index.column()));
    case Qt::DecorationRole:
      if (index.column() != 0) {
        return {};
      }
      return rules_.ImageIndex(row) == kRuleImageAvailable ? available_ : unavailable_;
    case Qt::TextAlignmentRole:
      return AlignmentOf(index.column());
    case Qt::ForegroundRole:
      return rules_.DisconnectsFail(row) ? QVariant(FailingText()) : QVariant();
    case Qt::BackgroundRole:
      return rules_.DisconnectsFail(row) ? QVariant(FailingBackground()) : QVariant();
    case Qt::ToolTipRole: {
      const std::string note = rules_.FailureNote(row);
      return note.empty() ? QVariant() : QVariant(ToQString(note));
    }
    default:
      return {};
  }
}

QColor RuleListModel::FailingText() { return {176, 0, 0}; }

QColor RuleListModel::FailingBackground() { return {255, 224, 224}; }

QVariant RuleListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) {
    return {};
  }
  if (role == Qt::DisplayRole) {
    return ToQString(kRuleColumns[static_cast<std::size_t>(section)].header);
  }
  if (role == Qt::TextAlignmentRole) {
    return AlignmentOf(section);
  }
  return {};
}

void RuleListModel::Refresh() {
  const int count = static_cast<int>(rules_.RowCount());
  if (count > shownRows_) {
    beginInsertRows({}, shownRows_, count - 1);
    shownRows_ = count;
    endInsertRows();
  } else if (count < shownRows_) {
    beginRemoveRows({}, count, shownRows_ - 1);
    shownRows_ = count;
    endRemoveRows();
  }
  if (shownRows_ > 0) {
    emit dataChanged(index(0, 0), index(shownRows_ - 1, kColumnCount - 1));
  }
}

}  // namespace harlune
