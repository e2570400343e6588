#include "window/my_wnd.h"

#include <QIcon>

#include "port/format.h"
#include "port/texts.h"
#include "session/lifecycle.h"
#include "window/main_window.h"

namespace tovrin {

CMyWnd::CMyWnd(std::string save_dir) : queue(port), session(port, queue, std::move(save_dir)) {}

CMyWnd::~CMyWnd() {
  queue.SetView(nullptr);
  port.Shutdown();
  DiscardWindow();
}

MainWindow* CMyWnd::main_window() const { return qobject_cast<MainWindow*>(dialog_window()); }

QWidget* CMyWnd::MakeWindow(QWidget* parent) { return new MainWindow(parent); }

bool CMyWnd::OnInitDialog() {
  MainWindow* window = main_window();
  port.Attach(window, [this] { OnSocketNotify(session, FD_ACCEPT); });
  window->send_progress()->setRange(0, 100);
  window->recv_progress()->setRange(0, 100);
  window->on_drop = [this](const std::vector<std::string>& paths) { queue.AddDropped(paths); };
  window->address()->setText(QString::fromStdString(OwnAddress()));
  queue.SetView(window->send_list());
  window->send_list()->on_delete = [this] { queue.RemoveSelected(); };
  QIcon icon;
  icon.addFile(":/tovrin-16.png", QSize(16, 16));
  icon.addFile(":/tovrin-32.png", QSize(32, 32));
  window->setWindowIcon(icon);
  for (const char* tab :
       {text::kTabChat, text::kTabSendList, text::kTabSendLog, text::kTabRecvLog}) {
    window->tabs()->bar()->addTab(QString::fromUtf8(tab));
  }
  port.AppendChatLog(FormatLine(text::kSavingTo, session.save_dir.c_str()));
  port.SelectTab(0);
  window->on_connect = [this] { OnConnect(session); };
  window->on_disconnect = [this] { Teardown(session); };
  window->on_tab_changed = [this] { OnNotify(TCN_SELCHANGE); };
  window->WidenForTabs();
  window->LayOut();
  session.idle = 1;
  session.Notify();
  return true;
}

bool CMyWnd::OnNotify(int code) {
  if (code == TCN_SELCHANGE) {
    if (MainWindow* window = main_window()) port.SelectTab(window->tabs()->bar()->currentIndex());
  }
  return true;
}

bool CMyWnd::OnDestroy() {
  tovrin::OnDestroy(session);
  CDLG::OnDestroy();
  queue.SetView(nullptr);
  port.Shutdown();
  return true;
}

}  // namespace tovrin
