#include "window/send_list.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMimeData>
#include <QStyle>
#include <QUrl>

#include "window/translation.h"

namespace tovrin {
namespace {

std::vector<std::string> ToPaths(const QStringList& names) {
  std::vector<std::string> paths;
  for (const QString& name : names) paths.push_back(name.toStdString());
  return paths;
}

}  // namespace

std::vector<std::string> LocalPaths(const QList<QUrl>& urls) {
  std::vector<std::string> paths;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
    std::string path = url.toLocalFile().toStdString();
    // A folder may arrive as ".../name/"; the queue wants its name as the item.
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    paths.push_back(std::move(path));
  }
  return paths;
}

SendList::SendList(QWidget* parent)
    : LineView(parent),
      add_files_(new QAction(Tr("ファイルを追加..."), this)),
      add_folder_(new QAction(Tr("フォルダを追加..."), this)),
      paste_(new QAction(Tr("貼り付け"), this)) {
  lines()->ShowQueueEntries(style()->standardIcon(QStyle::SP_DirIcon));
  add_files_->setObjectName("ADD_FILES");
  add_folder_->setObjectName("ADD_FOLDER");
  paste_->setObjectName("PASTE");
  paste_->setShortcut(QKeySequence::Paste);
  paste_->setShortcutContext(Qt::WidgetShortcut);
  addAction(add_files_);
  addAction(add_folder_);
  addAction(paste_);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  choose_files = [this] {
    return ToPaths(QFileDialog::getOpenFileNames(this, add_files_->text().remove("...")));
  };
  choose_folder = [this] {
    const QString folder =
        QFileDialog::getExistingDirectory(this, add_folder_->text().remove("..."));
    return folder.isEmpty() ? std::vector<std::string>() : ToPaths({folder});
  };
  connect(add_files_, &QAction::triggered, this, [this] { Hand(choose_files()); });
  connect(add_folder_, &QAction::triggered, this, [this] { Hand(choose_folder()); });
  connect(paste_, &QAction::triggered, this, [this] { PasteFiles(); });
}

void SendList::Hand(const std::vector<std::string>& paths) {
  // A cancelled dialog adds nothing and leaves the tabs alone.
  if (!paths.empty() && on_paths) on_paths(paths);
}

void SendList::PasteFiles() {
  const QMimeData* mime = QApplication::clipboard()->mimeData();
  if (mime != nullptr && mime->hasUrls()) Hand(LocalPaths(mime->urls()));
}

void SendList::Inserted(int index, const std::string& entry) {
  lines()->Insert(index, QString::fromStdString(entry));
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
  lines()->Remove(index);
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
  LineView::keyPressEvent(event);
}

}  // namespace tovrin
