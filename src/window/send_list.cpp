#include "window/send_list.h"

#include <QKeyEvent>

namespace tovrin {

SendList::SendList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSortingEnabled(false);
}

void SendList::Inserted(int index, const std::string& entry) {
  insertItem(index, QString::fromStdString(entry));
}

void SendList::Removed(int index) {
  // A removed current row hands the current row to a neighbour, and in single selection the
  // selection with it; Delete would then take an entry the user never chose. Without a current
  // row there Qt moves nothing: a selected entry below or above keeps its selection, and when
  // the selected entry itself goes, nothing is selected.
  if (index == SelectedRow()) {
    ClearSelection();
  } else if (index == currentRow()) {
    selectionModel()->clearCurrentIndex();
  }
  delete takeItem(index);
}

int SendList::SelectedRow() const {
  const QModelIndexList rows = selectionModel()->selectedIndexes();
  return rows.isEmpty() ? -1 : rows.first().row();
}

void SendList::ClearSelection() {
  clearSelection();
  // The current row keeps a highlight of its own; without one no row looks selected.
  selectionModel()->clearCurrentIndex();
}

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
