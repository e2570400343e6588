#pragma once

#include <QSettings>
#include <string>

#include "queue/send_queue.h"
#include "secure/identity.h"
#include "transfer/session.h"
#include "window/dialog.h"
#include "window/qt_window_port.h"

namespace tovrin {

class MainWindow;

// Where the window keeps the user's choices between runs (the user's configuration folder).
[[nodiscard]] QSettings OpenSettings();

// The application object: the window port, the send queue and the session (in that order,
// since the later ones keep references to the earlier), and the main window's handlers.
// Exactly one exists in the program, made with new and never deleted, so nothing a worker
// may still use goes away under it. UI thread only, apart from what the port and the
// session's atomic words allow.
class CMyWnd final : public CDLG {
 public:
  // Keys and paired peers are kept in `config_dir` (the user's configuration folder unless a
  // test passes one of its own).
  explicit CMyWnd(std::string save_dir, std::string config_dir = ConfigDir());
  // For tests, once no worker can run any more: drops the window without handlers.
  ~CMyWnd() override;

  bool OnInitDialog() override;
  bool OnNotify(int code) override;
  // With "keep waiting" on and a tray on the desktop, closing hides the window to the tray.
  bool OnClose() override;

  // The window as the main window, or nullptr when there is none.
  [[nodiscard]] MainWindow* main_window() const;

  const std::string config_dir;
  QtWindowPort port;
  SendQueue queue;
  Session session;

 protected:
  QWidget* MakeWindow(QWidget* parent) override;
  // The session's end (Teardown, while the controls still exist), the quit, then the port
  // stops acting on the window.
  bool OnDestroy() override;

 private:
  // Opens the list of paired peers over the main window.
  void ShowPeers();
  // Asks for this installation's name and keeps it; it applies from the next session on.
  void ChangeName();
};

}  // namespace tovrin
