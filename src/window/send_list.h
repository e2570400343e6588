#pragma once

#include <QAction>
#include <functional>
#include <string>
#include <vector>

#include "queue/send_queue.h"
#include "window/line_view.h"

namespace tovrin {

// IDC_SEND_LIST: the visible mirror of the send queue, a folder header drawn as its folder's
// name with a folder icon. The queue calls the QueueView side on the UI thread inside its own
// steps; the Delete key is handed to `on_delete`. The selection stays with the entry the user
// chose while other rows come and go, and goes when that entry is removed: it never passes to
// a neighbour.
//
// Files and folders also come without dragging: its context menu chooses them in a file
// dialog, and Ctrl+V pastes files copied in a file manager. Either hands the local paths to
// `on_paths`, as one drop.
class SendList final : public LineView, public QueueView {
  Q_OBJECT

 public:
  explicit SendList(QWidget* parent);

  void Inserted(int index, const std::string& entry) override;
  void Removed(int index) override;
  [[nodiscard]] int SelectedRow() const override;
  void ClearSelection() override;

  // The context menu's entries and the paste shortcut (object names ADD_FILES, ADD_FOLDER,
  // PASTE).
  [[nodiscard]] QAction* add_files_action() const { return add_files_; }
  [[nodiscard]] QAction* add_folder_action() const { return add_folder_; }
  [[nodiscard]] QAction* paste_action() const { return paste_; }

  std::function<void()> on_delete;
  std::function<void(const std::vector<std::string>&)> on_paths;
  // The file dialogs; tests replace them. Each answers the chosen local paths.
  std::function<std::vector<std::string>()> choose_files;
  std::function<std::vector<std::string>()> choose_folder;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Hand(const std::vector<std::string>& paths);
  void PasteFiles();

  QAction* add_files_;
  QAction* add_folder_;
  QAction* paste_;
};

// The local paths among `urls`, as the queue takes them: a folder without its trailing '/'.
[[nodiscard]] std::vector<std::string> LocalPaths(const QList<QUrl>& urls);

}  // namespace tovrin
