#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

namespace tovrin {

// The notification OnNotify receives when the user picks another tab.
inline constexpr int TCN_SELCHANGE = -551;

class DialogEvents;

// The dialog-object base: owns at most one top-level window and runs the UI thread's event
// loop. Everything here runs on the UI thread.
//
// Closing the window runs, in this order: OnClose; when it answers true, Destroy, which runs
// OnDestroy while the window and its controls still exist, then deletes the window and
// clears the pointer; the quit that OnDestroy posts then ends MessageLoop with 0.
class CDLG {
 public:
  CDLG();
  // A window still held is deleted quietly (no OnDestroy): it never outlives its object.
  virtual ~CDLG();
  CDLG(const CDLG&) = delete;
  CDLG& operator=(const CDLG&) = delete;

  // Makes the window (MakeWindow), runs OnInitDialog, centres and shows it. False, with
  // nothing changed, while a window exists; false when no window could be made.
  [[nodiscard]] bool Create(QWidget* parent);
  // Runs OnDestroy, deletes the window, then clears the pointer; true.
  bool Destroy();
  // Runs the event loop until the posted quit arrives; returns the quit's code.
  int MessageLoop();

  // The window, or nullptr before Create and after Destroy.
  [[nodiscard]] QWidget* dialog_window() const { return dialog_window_; }

  virtual bool OnInitDialog() { return true; }
  virtual bool OnNotify(int /*code*/) { return true; }
  // True lets the close go on to Destroy.
  virtual bool OnClose() { return true; }

 protected:
  // The window's contents; nullptr when it cannot be made.
  [[nodiscard]] virtual QWidget* MakeWindow(QWidget* parent) = 0;
  // The window is about to be deleted. CDLG's version posts the quit with code 0.
  virtual bool OnDestroy();
  // Posts the quit that ends MessageLoop once the loop gets to it.
  static void PostQuit(int code);
  // Deletes the window without running any handler.
  void DiscardWindow();

 private:
  friend class DialogEvents;
  // The window manager asked the window to close.
  void OnWindowClose();

  QPointer<QWidget> dialog_window_;
  QWidget* parent_window_ = nullptr;
  std::unique_ptr<DialogEvents> events_;
};

}  // namespace tovrin
