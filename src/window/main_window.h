#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "window/send_list.h"
#include "window/tab_control.h"

namespace tovrin {

// The main window's widgets and their pixel layout. It routes user actions to the callbacks
// the application object sets and holds no protocol logic. UI thread only.
//
// Every control's object name is its control id (IDC_ADDRESS, ...). The four lists are
// children of the window, not of the tab control, and lie over its page area.
class MainWindow final : public QWidget {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent);

  [[nodiscard]] QCheckBox* subfolders() const { return subfolders_; }
  [[nodiscard]] QLineEdit* address() const { return address_; }
  [[nodiscard]] QPushButton* connect_button() const { return connect_; }
  [[nodiscard]] QPushButton* disconnect_button() const { return disconnect_; }
  [[nodiscard]] QProgressBar* send_progress() const { return send_progress_; }
  [[nodiscard]] QProgressBar* recv_progress() const { return recv_progress_; }
  [[nodiscard]] TabControl* tabs() const { return tabs_; }
  [[nodiscard]] QLabel* status() const { return status_; }
  [[nodiscard]] QListWidget* chat_log() const { return chat_log_; }
  [[nodiscard]] SendList* send_list() const { return send_list_; }
  [[nodiscard]] QListWidget* send_log() const { return send_log_; }
  [[nodiscard]] QListWidget* recv_log() const { return recv_log_; }

  // Makes tab `index` current and shows only its list: 0 chat log, 1 send list, 2 send log,
  // 3 receive log. Does not report a tab change.
  void SelectTab(int index);
  // Adds a line at the end of a log and selects it, which brings it into view.
  static void AppendLine(QListWidget* list, const std::string& text);
  // Widens the window, before it is first shown, so that every tab's text fits.
  void WidenForTabs();
  // Places every control for the current client size; nothing moves while minimised.
  void LayOut();

  // Connect/Send pressed. Enter anywhere in the window presses that default button while it
  // is enabled, or the push button that has the focus instead, only while that one is enabled.
  std::function<void()> on_connect;
  std::function<void()> on_disconnect;
  // The user picked another tab.
  std::function<void()> on_tab_changed;
  // Local paths of one drop, in drop order.
  std::function<void(const std::vector<std::string>&)> on_drop;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  QListWidget* MakeLog(const char* id);

  QCheckBox* subfolders_;
  QLineEdit* address_;
  QPushButton* connect_;
  QPushButton* disconnect_;
  QProgressBar* send_progress_;
  QProgressBar* recv_progress_;
  TabControl* tabs_;
  QLabel* status_;
  QListWidget* send_log_;
  SendList* send_list_;
  QListWidget* chat_log_;
  QListWidget* recv_log_;
};

}  // namespace tovrin
