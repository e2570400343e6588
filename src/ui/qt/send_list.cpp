#include "ui/qt/send_list.h"

#include <QKeyEvent>

namespace tovrin {

SendList::SendList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSortingEnabled(false);
}

void SendList::Inserted(int index, const std::string& entry) {
  insertItem(index, QString::fromStdString(entry));
}

void SendList::Removed(int index) { delete takeItem(index); }

int SendList::SelectedRow() const {
  const QModelIndexList rows = selectionModel()->selectedIndexes();
  return rows.isEmpty() ? -1 : rows.first().row();
}

void SendList::ClearSelection() { clearSelection(); }

void SendList::keyPressEvent(QKeyEvent* event) {
  // Delete is taken here and never passed on; every other key keeps the list's behaviour.
  if (event->key() == Qt::Key_Delete) {
    if (on_delete) on_delete();
    event->accept();
    return;
  }
  QListWidget::keyPressEvent(event);
}

}  // namespace tovrin
