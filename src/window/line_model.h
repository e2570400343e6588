#pragma once

#include <QAbstractListModel>
#include <QString>
#include <deque>

namespace tovrin {

// The rows of one list: a text each, and for a log line that names a received file or the
// save directory, the folder that holds it. Rows are added and removed at either end in
// constant time. UI thread only.
class LineModel final : public QAbstractListModel {
  Q_OBJECT

 public:
  // The folder a row points at (a QString, empty for most rows).
  static constexpr int FOLDER_ROLE = Qt::UserRole;

  explicit LineModel(QObject* parent);

  [[nodiscard]] int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;

  [[nodiscard]] QString Text(int row) const;
  [[nodiscard]] QString Folder(int row) const;
  // `row` from 0 to rowCount(); anything else is ignored.
  void Insert(int row, const QString& text, const QString& folder = QString());
  void Remove(int row);

 private:
  struct Row {
    QString text;
    QString folder;
  };
  std::deque<Row> rows_;
};

}  // namespace tovrin
