#include "window/line_model.h"

namespace tovrin {

LineModel::LineModel(QObject* parent) : QAbstractListModel(parent) {}

int LineModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant LineModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  if (role == Qt::DisplayRole) return row.text;
  if (role == FOLDER_ROLE) return row.folder;
  return {};
}

QString LineModel::Text(int row) const {
  return row >= 0 && row < rowCount() ? rows_[static_cast<std::size_t>(row)].text : QString();
}

QString LineModel::Folder(int row) const {
  return row >= 0 && row < rowCount() ? rows_[static_cast<std::size_t>(row)].folder : QString();
}

void LineModel::Insert(int row, const QString& text, const QString& folder) {
  if (row < 0 || row > rowCount()) return;
  beginInsertRows(QModelIndex(), row, row);
  rows_.insert(rows_.begin() + row, Row{text, folder});
  endInsertRows();
}

void LineModel::Remove(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows(QModelIndex(), row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
}

}  // namespace tovrin
