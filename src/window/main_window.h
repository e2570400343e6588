#pragma once

#include <QAction>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "window/line_view.h"
#include "window/notices.h"
#include "window/send_list.h"
#include "window/tab_control.h"

namespace tovrin {

// The main window's widgets and their pixel layout. It routes user actions to the callbacks
// the application object sets and holds no protocol logic. UI thread only.
//
// Every control's object name is its control id (IDC_ADDRESS, ...). The four lists are
// children of the window, not of the tab control, and lie over its page area.
//
// Its texts are Japanese at the source and shown in the window's language (translation.h).
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
  [[nodiscard]] LineView* chat_log() const { return chat_log_; }
  [[nodiscard]] SendList* send_list() const { return send_list_; }
  [[nodiscard]] LineView* send_log() const { return send_log_; }
  [[nodiscard]] LineView* recv_log() const { return recv_log_; }
  // "フォルダを開く" of the chat log's and the receive log's context menus: the folder a line
  // points at, never a file.
  [[nodiscard]] QAction* open_folder_action(LineView* log) const;
  // The chat log's checkable "classic wire only" choice: no extension is offered to a peer.
  [[nodiscard]] QAction* classic_action() const { return classic_; }
  // The chat log's checkable "paired peers only" choice (PAIRED_ONLY) and the entry that opens
  // the list of paired peers (PAIRED_PEERS).
  [[nodiscard]] QAction* paired_only_action() const { return paired_only_; }
  // The chat log's checkable "receive from paired peers without asking" (ACCEPT_PAIRED).
  [[nodiscard]] QAction* accept_paired_action() const { return accept_paired_; }
  [[nodiscard]] QAction* peers_action() const { return peers_; }
  // The chat log's "show a pairing code" entry (OFFER_PAIRING_CODE, also Ctrl+Shift+P
  // anywhere in the window) and its checkable "keep waiting" choice (KEEP_WAITING).
  [[nodiscard]] QAction* offer_code_action() const { return offer_code_; }
  [[nodiscard]] QAction* keep_waiting_action() const { return keep_waiting_; }
  // The chat log's entry that names this installation for its peers (INSTALLATION_NAME).
  [[nodiscard]] QAction* name_action() const { return name_; }

  // Makes tab `index` current and shows only its list: 0 chat log, 1 send list, 2 send log,
  // 3 receive log. Does not report a tab change.
  void SelectTab(int index);
  // Adds a line as the core wrote it at the end of a log, shown with its control characters
  // escaped, with the folder it points at (a received file's folder, the save directory) or
  // "".
  void AppendLog(LineView* log, const std::string& line, const std::string& folder = {});
  // Draws the user's eye to the window while it is not active.
  void AskForAttention();
  // The running batch's progress in words for one direction, "" once it has ended: the
  // progress bar's tooltip shows it, and its own description while no batch runs.
  void SetBatchText(bool send, const QString& text);
  // The running batches' words, the sending one first, one line each; "" while none runs.
  [[nodiscard]] QString BatchText() const;
  // Sets a button's caption, in a smaller font when the caption is a little too wide.
  void SetButtonText(QPushButton* button, const QString& text);
  // Widens the window, before it is first shown, so that every tab's text fits.
  void WidenForTabs();
  // Places every control for the current client size; nothing moves while minimised.
  void LayOut();

  // The batch prompts and the desktop notifications.
  [[nodiscard]] Notices* notices() const { return notices_; }
  // Shows the window, also from the tray or minimised, in front and active.
  void ShowAndRaise();
  // Hides the window to a tray icon whose menu shows it again or quits: false, with nothing
  // changed, when the desktop has no tray.
  [[nodiscard]] bool HideToTray();
  // The tray icon's tooltip, which follows the batches' words (BatchText); empty gives the
  // window's title.
  void SetTrayToolTip(const QString& text);
  // The tray icon, or nullptr before the window was first hidden to it.
  [[nodiscard]] QSystemTrayIcon* tray() const { return tray_; }

  // Connect/Send pressed. Enter anywhere in the window presses that default button while it
  // is enabled, or the push button that has the focus instead, only while that one is enabled.
  std::function<void()> on_connect;
  std::function<void()> on_disconnect;
  // Quit from the tray icon's menu.
  std::function<void()> on_quit;
  // The user picked another tab.
  std::function<void()> on_tab_changed;
  // The user asked for a pairing code to show.
  std::function<void()> on_offer_code;
  // Local paths of one drop, in drop order; also files chosen or pasted on the send list.
  std::function<void(const std::vector<std::string>&)> on_drop;
  // Shows a folder in the desktop's file manager: false when no application could be started
  // for it, which the log that asked then says. Tests replace it.
  std::function<bool(const QUrl&)> open_url;
  // Asks the desktop to draw the user's eye to the window; tests replace it.
  std::function<void()> request_attention;
  // Asks the user for the pairing code the peer with this fingerprint shows, in a modal
  // PairingCodeDialog; "" when the user connects without one, nullopt when the user gave up
  // the connection. Tests replace it.
  std::function<std::optional<std::string>(const std::string& fingerprint)> ask_pairing_code;
  // Asks the user for this installation's name in a modal dialog showing `current` (empty:
  // back to `fallback`); nullopt when the user cancelled. Tests replace it.
  std::function<std::optional<std::string>(const std::string& current, const std::string& fallback)>
      ask_name;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void changeEvent(QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  LineView* MakeLog(const char* id);
  void FitCaption(QPushButton* button);
  void AddOpenFolder(LineView* log);
  void AddWaitingActions();
  void OpenFolder(LineView* log, int row);
  // Ctrl+Tab, Ctrl+Shift+Tab, Ctrl+PgDn and Ctrl+PgUp: true when `event` was one of them.
  bool SwitchTabByKey(const QKeyEvent* event);

  QCheckBox* subfolders_;
  QAction* classic_ = nullptr;
  QAction* paired_only_ = nullptr;
  QAction* peers_ = nullptr;
  QAction* accept_paired_ = nullptr;
  QAction* offer_code_ = nullptr;
  QAction* keep_waiting_ = nullptr;
  QAction* name_ = nullptr;
  QLineEdit* address_;
  QPushButton* connect_;
  QPushButton* disconnect_;
  QProgressBar* send_progress_;
  QProgressBar* recv_progress_;
  TabControl* tabs_;
  QLabel* status_;
  LineView* send_log_;
  SendList* send_list_;
  LineView* chat_log_;
  LineView* recv_log_;
  QString send_batch_text_;
  QString recv_batch_text_;
  Notices* notices_;
  QSystemTrayIcon* tray_ = nullptr;
  QString tray_tip_;
};

}  // namespace tovrin
