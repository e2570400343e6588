#include "window/dialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

namespace tovrin {

// Catches the window manager's close before the window handles it, so the dialog object
// decides whether the window goes.
class DialogEvents final : public QObject {
 public:
  explicit DialogEvents(CDLG& dialog) : dialog_(dialog) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Close || watched != dialog_.dialog_window_) return false;
    // Ignored unless OnClose lets Destroy run; Qt allows the window to go away here.
    event->ignore();
    dialog_.OnWindowClose();
    return true;
  }

 private:
  CDLG& dialog_;
};

CDLG::CDLG() : events_(std::make_unique<DialogEvents>(*this)) {}

CDLG::~CDLG() { DiscardWindow(); }

bool CDLG::Create(QWidget* parent) {
  if (dialog_window_ != nullptr) return false;
  parent_window_ = parent;
  QWidget* window = MakeWindow(parent);
  if (window == nullptr) return false;
  // Stored before OnInitDialog, which reaches the window through it.
  dialog_window_ = window;
  window->installEventFilter(events_.get());
  // The posted quit alone ends the loop, not the last window going away.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  OnInitDialog();
  if (dialog_window_ == nullptr) return false;
  // A window that OnInitDialog put in a place of its own stays there.
  if (parent == nullptr && !window->testAttribute(Qt::WA_Moved)) {
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect frame = window->frameGeometry();
      frame.moveCenter(screen->availableGeometry().center());
      window->move(frame.topLeft());
    }
  }
  window->showNormal();
  return true;
}

bool CDLG::Destroy() {
  if (dialog_window_ != nullptr) {
    OnDestroy();
    delete dialog_window_.data();
  }
  dialog_window_ = nullptr;
  return true;
}

int CDLG::MessageLoop() { return QCoreApplication::exec(); }

bool CDLG::OnDestroy() {
  PostQuit(0);
  return true;
}

void CDLG::PostQuit(int code) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr) return;
  // Queued like a quit message: a loop that starts later still receives it.
  QMetaObject::invokeMethod(
      app, [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

void CDLG::DiscardWindow() {
  if (dialog_window_ != nullptr) {
    dialog_window_->removeEventFilter(events_.get());
    delete dialog_window_.data();
  }
  dialog_window_ = nullptr;
}

void CDLG::OnWindowClose() {
  if (OnClose()) Destroy();
}

}  // namespace tovrin
