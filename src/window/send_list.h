#pragma once

#include <QListWidget>
#include <functional>

#include "queue/send_queue.h"

namespace tovrin {

// IDC_SEND_LIST: the visible mirror of the send queue. The queue calls the QueueView side
// on the UI thread inside its own steps; the Delete key is handed to `on_delete`. The
// selection stays with the entry the user chose while other rows come and go, and goes when
// that entry is removed: it never passes to a neighbour.
class SendList final : public QListWidget, public QueueView {
  Q_OBJECT

 public:
  explicit SendList(QWidget* parent);

  void Inserted(int index, const std::string& entry) override;
  void Removed(int index) override;
  [[nodiscard]] int SelectedRow() const override;
  void ClearSelection() override;

  std::function<void()> on_delete;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace tovrin
