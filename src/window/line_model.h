#pragma once

#include <QAbstractListModel>
#include <QDateTime>
#include <QIcon>
#include <QString>
#include <deque>

namespace tovrin {

// The rows of one list: a text each, and for a log line that names a received file or the
// save directory, the folder that holds it. Rows are added and removed at either end in
// constant time. UI thread only.
//
// A log's row remembers when it came: its tooltip shows that time, and the whole line when
// the line is long. The send list's rows are queue entries instead (ShowQueueEntries): a
// folder header (">/abs/dir/") shows as its folder's name with a folder icon and its whole
// path as tooltip. Either way Text() stays the row's text as it was inserted.
class LineModel final : public QAbstractListModel {
  Q_OBJECT

 public:
  // The folder a row points at (a QString, empty for most rows).
  static constexpr int FOLDER_ROLE = Qt::UserRole;
  // When the row came (a QDateTime, local time).
  static constexpr int TIME_ROLE = Qt::UserRole + 1;

  explicit LineModel(QObject* parent);

  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;

  [[nodiscard]] QString Text(int row) const;
  [[nodiscard]] QString Folder(int row) const;
  // `row` from 0 to rowCount(); anything else is ignored.
  void Insert(int row, const QString& text, const QString& folder = QString());
  void Remove(int row);

  // The rows are send queue entries from now on, their folder headers drawn with `folder`.
  void ShowQueueEntries(const QIcon& folder);
  [[nodiscard]] bool ShowsQueueEntries() const { return queue_entries_; }

 private:
  struct Row {
    QString text;
    QString folder;
    qint64 time_ms;
  };
  std::deque<Row> rows_;
  QIcon folder_icon_;
  bool queue_entries_ = false;
};

// A log line's tooltip: the time it came, and the whole line below it when `whole` or the
// line is long.
[[nodiscard]] QString LineToolTip(const QDateTime& time, const QString& text, bool whole);

// What a queue entry shows: a folder header as its folder's name ("/" for the root), an item
// as it is.
[[nodiscard]] QString ShownEntry(const QString& entry);

}  // namespace tovrin
