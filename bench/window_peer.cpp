// The window as one side of a transfer, for bench/run.sh: the application object and its
// window are made as the program makes them, the paths (if any) arrive as one drop on the
// window, the address is typed into the address field and Connect is pressed. Nothing in the
// window knows it is being driven.
//
//   tovrin-bench-window SAVE_DIR HOST:PORT [PATH...]   sends the paths to a listening peer
//   tovrin-bench-window SAVE_DIR :PORT                 listens (the own address) and receives
//
// Each end of a received batch is written to standard output as "recv: 受信完了", as
// tovrin-cli writes it; the moment of the drop (once the window is up) as "drop: " and the
// microseconds since the epoch, the clock of bash's EPOCHREALTIME. It runs until it is signalled or
// for at most TOVRIN_BENCH_LIMIT seconds (default 600).

#include <QApplication>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "port/texts.h"
#include "session/address.h"
#include "storage/save_dir.h"
#include "window/main_window.h"
#include "window/my_wnd.h"

namespace {

// Delivers the paths the way a drag from a file manager ends: enter, then drop.
void Drop(QWidget* target, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  const QPoint centre = target->rect().center();
  QDragEnterEvent enter(centre, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &enter);
  QDropEvent drop(QPointF(centre), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &drop);
}

int Run(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QStringList arguments = QCoreApplication::arguments();
  if (arguments.size() < 3) {
    std::fprintf(stderr, "usage: tovrin-bench-window SAVE_DIR HOST:PORT [PATH...]\n");
    return 2;
  }
  QList<QUrl> urls;
  for (qsizetype i = 3; i < arguments.size(); ++i) {
    urls << QUrl::fromLocalFile(QFileInfo(arguments[i]).absoluteFilePath());
  }
  // Made once and never deleted: workers of the session may still be finishing at exit.
  auto* application = new tovrin::CMyWnd(tovrin::ResolveSaveDir(arguments[1].toStdString()));
  if (!application->Create(nullptr)) return 1;
  tovrin::MainWindow* window = application->main_window();
  if (window == nullptr) return 1;
  // As tovrin-cli without --pair: the connecting window asks for no code (a modal dialog
  // nobody answers), so the session is encrypted with the peer's key unconfirmed.
  application->session.security.ask_code = false;
  // The user has already said yes: the run times the transfer, not a person at the prompt.
  application->session.options.accept = tovrin::AcceptPolicy::kAll;

  QString address = arguments[2];
  if (address.startsWith(':')) address.prepend(QString::fromStdString(tovrin::OwnAddress()));
  tovrin::LineModel* received = window->recv_log()->lines();
  QObject::connect(received, &QAbstractItemModel::rowsInserted, window,
                   [received](const QModelIndex&, int first, int last) {
                     for (int row = first; row <= last; ++row) {
                       if (received->Text(row) !=
                           QString::fromUtf8(tovrin::text::RECEIVE_DONE.get()))
                         continue;
                       std::printf("recv: %s\n", tovrin::text::RECEIVE_DONE.get());
                       std::fflush(stdout);
                     }
                   });
  // Inside the loop: the workers reach the window through it.
  QTimer::singleShot(0, window, [window, urls, address] {
    if (!urls.isEmpty()) {
      const auto now = std::chrono::system_clock::now().time_since_epoch();
      std::printf("drop: %lld\n",
                  static_cast<long long>(
                      std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
      std::fflush(stdout);
      Drop(window, urls);
    }
    window->address()->setText(address);
    window->connect_button()->click();
  });
  bool ok = false;
  int limit = qEnvironmentVariableIntValue("TOVRIN_BENCH_LIMIT", &ok);
  if (!ok || limit <= 0) limit = 600;
  QTimer::singleShot(limit * 1000, &app, [] { std::_Exit(3); });
  const int code = application->MessageLoop();
  application->port.Shutdown();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  const int code = Run(argc, argv);
  std::fflush(nullptr);
  std::_Exit(code);
}
