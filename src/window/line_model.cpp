#include "window/line_model.h"

namespace tovrin {
namespace {

// Lines longer than this show whole in their tooltip even where the view shows them whole:
// a long line is hard to read across a wide list.
constexpr qsizetype LONG_LINE = 100;

bool IsHeader(const QString& entry) { return entry.startsWith(u'>'); }

}  // namespace

QString LineToolTip(const QDateTime& time, const QString& text, bool whole) {
  const QString when = time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  if (!whole && text.size() <= LONG_LINE) return when;
  // Rich text, so that the tooltip wraps; every character of the line kept as it is.
  return QStringLiteral("<p style=\"white-space:pre-wrap\">") + when + QStringLiteral("<br>") +
         text.toHtmlEscaped() + QStringLiteral("</p>");
}

QString ShownEntry(const QString& entry) {
  if (!IsHeader(entry)) return entry;
  QString directory = entry.mid(1);
  while (directory.size() > 1 && directory.endsWith(u'/')) directory.chop(1);
  const qsizetype slash = directory.lastIndexOf(u'/');
  return slash < 0 || directory.size() == 1 ? directory : directory.mid(slash + 1);
}

LineModel::LineModel(QObject* parent) : QAbstractListModel(parent) {}

int LineModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

QVariant LineModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const Row& row = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case FOLDER_ROLE:
      return row.folder;
    case TIME_ROLE:
      return QDateTime::fromMSecsSinceEpoch(row.time_ms);
    case Qt::DisplayRole:
      return ShowsQueueEntries() ? ShownEntry(row.text) : row.text;
    case Qt::DecorationRole:
      if (ShowsQueueEntries() && IsHeader(row.text)) return folder_icon_;
      return {};
    case Qt::ToolTipRole:
      if (!ShowsQueueEntries()) {
        return LineToolTip(QDateTime::fromMSecsSinceEpoch(row.time_ms), row.text, false);
      }
      if (IsHeader(row.text)) return row.text.mid(1);
      return {};
    default:
      return {};
  }
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
  rows_.insert(rows_.begin() + row, Row{text, folder, QDateTime::currentMSecsSinceEpoch()});
  endInsertRows();
}

void LineModel::Remove(int row) {
  if (row < 0 || row >= rowCount()) return;
  beginRemoveRows(QModelIndex(), row, row);
  rows_.erase(rows_.begin() + row);
  endRemoveRows();
}

void LineModel::ShowQueueEntries(const QIcon& folder) {
  beginResetModel();
  folder_icon_ = folder;
  queue_entries_ = true;
  endResetModel();
}

}  // namespace tovrin
