#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QDropEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPixmap>
#include <QPointer>
#include <QScrollBar>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <thread>

#include "port/format.h"
#include "port/texts.h"
#include "session/lifecycle.h"
#include "support/recording_port.h"
#include "window/critical_box.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

using Strings = std::vector<std::string>;

// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
 public:
  PaintCounter(QWidget* widget, int& paints) : paints_(paints) { widget->installEventFilter(this); }

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++paints_;
    return false;
  }

 private:
  int& paints_;
};

TEST_F(WindowTest, ControlsDoNotOverlapAndFollowTheClientSize) {
  // The top row left to right, the two bars, the tabs and the status line.
  const char* const ids[] = {"IDC_SUBFOLDERS", "IDC_ADDRESS",       "IDC_CONNECT",
                             "IDC_DISCONNECT", "IDC_SEND_PROGRESS", "IDC_RECV_PROGRESS",
                             "IDC_TABS",       "IDC_STATUS"};
  auto rect = [&](const char* id) { return Find(id)->geometry(); };
  // The smallest one asks for less than the window allows.
  for (const QSize asked : {QSize(301, 257), QSize(640, 480), QSize(999, 701), QSize(10, 10)}) {
    window_->resize(asked);
    const QSize size = asked.expandedTo(window_->minimumSize());
    SCOPED_TRACE(::testing::PrintToString(std::pair(size.width(), size.height())));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rect("IDC_STATUS").bottom() == size.height() - 1; }));
    std::vector<QRect> r;
    for (const char* id : ids) {
      r.push_back(rect(id));
      EXPECT_FALSE(r.back().isEmpty()) << id;
      EXPECT_TRUE(QRect(QPoint(0, 0), size).contains(r.back())) << id;
      for (size_t j = 0; j + 1 < r.size(); ++j) EXPECT_FALSE(r.back().intersects(r[j])) << id;
    }
    // Each row fills the width without a gap; the bars share it evenly; the tabs take the
    // height down to the status line, and every list lies on their page area.
    for (size_t i : {1, 2, 3, 5}) EXPECT_EQ(r[i - 1].right() + 1, r[i].left()) << i;
    for (size_t i : {0, 4, 6, 7}) EXPECT_EQ(r[i].left(), 0) << i;
    for (size_t i : {3, 5, 6, 7}) EXPECT_EQ(r[i].right(), size.width() - 1) << i;
    EXPECT_LE(std::abs(r[5].width() - r[4].width()), 1);
    EXPECT_EQ(r[6].bottom() + 1, r[7].top());
    const QRect page = window_->tabs()->PageArea().translated(r[6].topLeft());
    EXPECT_TRUE(r[6].contains(page) && !page.isEmpty());
    for (const char* list : {"IDC_CHAT_LOG", "IDC_SEND_LIST", "IDC_SEND_LOG", "IDC_RECV_LOG"}) {
      EXPECT_EQ(rect(list), page) << list;
    }
  }

  // Nothing moves while minimised; restored, the controls follow the size it has now.
  window_->resize(500, 400);
  ASSERT_TRUE(QTest::qWaitFor([&] { return rect("IDC_DISCONNECT").right() == 499; }));
  const QRect address = rect("IDC_ADDRESS");
  window_->showMinimized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window_->isMinimized(); }));
  window_->resize(300, 300);
  QCoreApplication::processEvents();
  EXPECT_EQ(rect("IDC_ADDRESS"), address);
  window_->showNormal();
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return rect("IDC_DISCONNECT").right() == window_->width() - 1; }));
}

TEST_F(WindowTest, EnterPressesConnectOnlyWhileEnabledAndEscapeKeepsTheWindow) {
  int presses = 0;
  int disconnects = 0;
  window_->on_connect = [&] { ++presses; };
  window_->on_disconnect = [&] { ++disconnects; };
  // From any control, as in a dialog, and once per Enter.
  for (const char* id : {"IDC_ADDRESS", "IDC_CHAT_LOG", "IDC_SUBFOLDERS"}) {
    SCOPED_TRACE(id);
    QWidget* control = Find(id);
    presses = 0;
    QTest::keyClick(control, Qt::Key_Return);
    EXPECT_EQ(presses, 1);
    app_->port.EnableConnect(false);
    QTest::keyClick(control, Qt::Key_Return);
    QTest::keyClick(control, Qt::Key_Enter);
    EXPECT_EQ(presses, 1);
    app_->port.EnableConnect(true);
    QTest::keyClick(control, Qt::Key_Enter);
    EXPECT_EQ(presses, 2);
  }
  // A push button with the focus is pressed instead of the default one.
  app_->port.EnableDisconnect(true);
  QTest::keyClick(window_->disconnect_button(), Qt::Key_Return);
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(presses, 2);

  QTest::keyClick(window_->address(), Qt::Key_Escape);
  QTest::keyClick(window_, Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_EQ(app_->dialog_window(), window_);
  EXPECT_TRUE(window_->isVisible());
}

TEST_F(WindowTest, FilesDroppedChosenInTheMenuOrPastedGoToTheSendList) {
  auto drop = [&](const QList<QUrl>& urls) {
    QMimeData mime;
    mime.setUrls(urls);
    // As a file manager delivers it: the window must take the drag before it gets the drop.
    QDragEnterEvent enter(QPoint(50, 60), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_, &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent event(QPointF(50, 60), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window_, &event);
  };
  SendList* send_list = window_->send_list();
  window_->tabs()->bar()->setCurrentIndex(3);
  // A folder may come with a trailing '/'; a URL that is no local file is no path.
  drop({QUrl::fromLocalFile("/data/photos/trip/"), QUrl("https://example.invalid/x"),
        QUrl::fromLocalFile("/data/photos/list.txt")});
  EXPECT_EQ(VisibleLists(), Strings{"IDC_SEND_LIST"});
  EXPECT_EQ(Lines(send_list), (Strings{">/data/photos/", "trip", "list.txt"}));
  EXPECT_EQ(app_->queue.Entries(), Lines(send_list));
  // A folder header shows as its folder, with its whole path in the tooltip; items as they are.
  const QModelIndex header = send_list->lines()->index(0), item = send_list->lines()->index(1);
  EXPECT_EQ(header.data(Qt::DisplayRole).toString() + header.data(Qt::ToolTipRole).toString(),
            "photos/data/photos/");
  EXPECT_FALSE(header.data(Qt::DecorationRole).value<QIcon>().isNull());
  EXPECT_EQ(item.data(Qt::DisplayRole).toString(), "trip");
  EXPECT_TRUE(item.data(Qt::ToolTipRole).isNull() && item.data(Qt::DecorationRole).isNull());
  EXPECT_EQ(ShownEntry(">/"), "/");

  // The list's menu chooses files or a folder; a cancelled dialog adds nothing.
  ASSERT_EQ(send_list->contextMenuPolicy(), Qt::ActionsContextMenu);
  send_list->choose_files = [] { return Strings{"/data/a/one.txt", "/data/a/two.txt"}; };
  send_list->choose_folder = [] { return Strings{"/data/b/photos"}; };
  send_list->add_files_action()->trigger();
  send_list->add_folder_action()->trigger();
  send_list->choose_folder = [] { return Strings(); };
  send_list->add_folder_action()->trigger();
  // Files copied in a file manager, pasted with Ctrl+V on the list.
  auto* mime = new QMimeData;
  mime->setUrls({QUrl::fromLocalFile("/data/c/x.bin"), QUrl::fromLocalFile("/data/c/sub/"),
                 QUrl("https://example.invalid/z")});
  QApplication::clipboard()->setMimeData(mime);
  window_->activateWindow();
  send_list->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return send_list->hasFocus(); }));
  QTest::keyClick(send_list, Qt::Key_V, Qt::ControlModifier);
  const Strings queued{">/data/photos/", "trip",   "list.txt",  ">/data/a/", "one.txt", "two.txt",
                       ">/data/b/",      "photos", ">/data/c/", "x.bin",     "sub"};
  EXPECT_EQ(app_->queue.Entries(), queued);
  EXPECT_EQ(Lines(send_list), queued);
  // Text on the clipboard is no file: nothing is queued.
  QApplication::clipboard()->setText("/data/d/not-a-file-list");
  send_list->paste_action()->trigger();
  EXPECT_EQ(app_->queue.Count(), static_cast<int>(queued.size()));
}

TEST_F(WindowTest, TheSelectionStaysWithItsEntryAndGoesWithIt) {
  app_->port.SelectTab(1);
  SendList* send_list = window_->send_list();
  for (const char* entry : {">/d/", "a", ">/e/", "f", "g", "h"}) app_->queue.Append(entry);
  auto selected = [&] { return app_->queue.EntryAt(app_->queue.SelectedIndex()).value_or("-"); };
  // The worker takes the row above the selected one, then the selected one itself.
  send_list->setCurrentRow(1);
  ASSERT_TRUE(app_->queue.TakeFront());
  EXPECT_EQ(selected(), "a");
  ASSERT_TRUE(app_->queue.TakeFront());
  EXPECT_EQ(selected(), "-");
  EXPECT_EQ(send_list->currentRow(), -1);
  // Delete then takes nothing, least of all the group that moved up.
  QTest::keyClick(send_list, Qt::Key_Delete);
  EXPECT_EQ(app_->queue.Count(), 4);

  // The current row goes without the selection, then a row below: the selection stays put.
  send_list->setCurrentRow(2);
  send_list->selectionModel()->setCurrentIndex(send_list->model()->index(0, 0),
                                               QItemSelectionModel::NoUpdate);
  ASSERT_TRUE(app_->queue.TakeFront());
  app_->queue.RemoveAt(2);
  EXPECT_EQ(selected(), "g");
  // After a Delete no row is selected or current.
  send_list->setCurrentRow(0);
  QTest::keyClick(send_list, Qt::Key_Delete);
  EXPECT_EQ(app_->queue.Entries(), Strings{"g"});
  EXPECT_FALSE(send_list->selectionModel()->hasSelection());
  EXPECT_EQ(send_list->currentRow(), -1);
}

TEST_F(WindowTest, ATabShowsExactlyItsListAndLogLinesAreSelectedWhereTheyAre) {
  const char* lists[] = {"IDC_CHAT_LOG", "IDC_SEND_LIST", "IDC_SEND_LOG", "IDC_RECV_LOG"};
  EXPECT_EQ(VisibleLists(), Strings{lists[0]});
  // The save directory, and the tests' missing Avahi daemon.
  EXPECT_EQ(Lines(window_->chat_log()),
            (Strings{std::string("保存先 [") + SAVE_DIR + "]",
                     FormatLine(text::NEARBY_UNAVAILABLE, "Daemon not running")}));
  // Typing an address is the first thing to do; the icon's pixels are in the binary.
  EXPECT_EQ(window_->focusWidget(), window_->address());
  EXPECT_EQ(QPixmap(":/tovrin-32.png").size(), QSize(32, 32));
  EXPECT_EQ(QPixmap(":/tovrin-16.png").size(), QSize(16, 16));
  LineView* send_log = window_->send_log();
  app_->port.AppendSendLog("one");
  send_log->Flush();
  // A log line's tooltip is the time it came; a long or cut off line's adds the whole line.
  const QDateTime came = send_log->lines()->index(0).data(LineModel::TIME_ROLE).toDateTime();
  EXPECT_TRUE(came.isValid() && came <= QDateTime::currentDateTime());
  EXPECT_EQ(send_log->lines()->index(0).data(Qt::ToolTipRole),
            came.toString("yyyy-MM-dd HH:mm:ss"));
  EXPECT_TRUE(LineToolTip(came, QString(101, u'w'), false).contains(QString(101, u'w')));
  EXPECT_TRUE(LineToolTip(came, "cut", true).contains("cut"));
  send_log->setCurrentRow(0);
  // A peer's control characters are shown, not obeyed: one log line stays one row, and a
  // name reads in the order its characters have.
  app_->port.AppendSendLog("two\nsend: 送信完了\x1b[2J\u2028[rlo_\u202Etxt.exe\u2066]");
  send_log->Flush();
  EXPECT_EQ(Lines(send_log),
            (Strings{"one", "two\\x0Asend: 送信完了\\x1B[2J\\x2028[rlo_\\x202Etxt.exe\\x2066]"}));
  EXPECT_EQ(send_log->currentRow(), 1);
  EXPECT_EQ(VisibleLists(), Strings{lists[0]});

  for (int tab : {2, 3, 0, 3, 1}) {
    window_->tabs()->bar()->setCurrentIndex(tab);
    EXPECT_EQ(VisibleLists(), Strings{lists[tab]});
  }
  // The keyboard takes the path of a click on a tab, from any control, round the end.
  const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
  const std::tuple<Qt::Key, Qt::KeyboardModifiers, int> keys[] = {
      {Qt::Key_Tab, ctrl, 2},
      {Qt::Key_PageDown, ctrl, 3},
      {Qt::Key_Tab, ctrl, 0},
      {Qt::Key_PageUp, ctrl, 3},
      {Qt::Key_Backtab, ctrl | Qt::ShiftModifier, 2}};
  for (const auto& [key, modifiers, tab] : keys) {
    QTest::keyClick(tab % 2 == 0 ? Find("IDC_ADDRESS") : Find("IDC_SEND_LOG"), key, modifiers);
    EXPECT_EQ(window_->tabs()->bar()->currentIndex(), tab);
    EXPECT_EQ(VisibleLists(), Strings{lists[tab]});
  }

  // A user who scrolled up to read keeps the place and the selection; at the end the log
  // follows again.
  for (int i = 0; i < 200; ++i) app_->port.AppendSendLog("line " + std::to_string(i));
  send_log->Flush();
  QScrollBar* bar = send_log->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());
  send_log->setCurrentRow(3);
  bar->setValue(0);
  app_->port.AppendSendLog("while reading");
  send_log->Flush();
  EXPECT_EQ(bar->value(), 0);
  EXPECT_EQ(send_log->currentRow(), 3);
  bar->setValue(bar->maximum());
  app_->port.AppendSendLog("at the end");
  send_log->Flush();
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(send_log->currentRow(), send_log->count() - 1);
  EXPECT_TRUE(
      send_log->visualRect(send_log->currentIndex()).intersects(send_log->viewport()->rect()));
}

TEST_F(WindowTest, CriticalBoxLeavesTheMainWindowUsable) {
  int presses = 0;
  window_->on_connect = [&] { ++presses; };
  // Closes a box that blocks, so that a modal one fails below instead of hanging the test.
  QTimer::singleShot(0, [] {
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
  });
  ShowCriticalBox(text::THREAD_EXISTS, text::WARNING);
  QPointer<QMessageBox> box;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<QMessageBox*>(widget)) box = found;
  }
  ASSERT_FALSE(box.isNull());
  EXPECT_TRUE(box->isVisible() && box->parentWidget() == nullptr);
  EXPECT_EQ(box->windowTitle().toStdString() + ": " + box->text().toStdString(),
            std::string(text::WARNING) + ": " + text::THREAD_EXISTS.get());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // A click that arrives through the window system, where a modal box would block it.
  QTest::mouseClick(window_->windowHandle(), Qt::LeftButton, {},
                    window_->connect_button()->geometry().center());
  EXPECT_EQ(presses, 1);

  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return box.isNull(); }));
}

TEST_F(WindowTest, WorkerCallsAreCarriedOutOnTheUiThreadInOrder) {
  const QString described = window_->send_progress()->toolTip();
  window_->address()->setText("10.0.0.7:4000");
  window_->subfolders()->setChecked(true);
  std::atomic<bool> finished{false};
  std::string read_back;
  bool checked = false, same_thread = false;
  std::thread worker([&] {
    app_->port.AppendChatLog("from a worker");
    read_back = app_->port.GetInputText();
    checked = app_->port.IsSubfoldersChecked();
    app_->port.SetInputText("");
    app_->port.RunOnUiThread([&] { same_thread = QThread::currentThread() == qApp->thread(); });
    app_->port.SelectTab(3);
    for (int percent = 1; percent <= 100; ++percent) app_->port.SetRecvProgress(percent);
    app_->port.SetStatusText("送 1K/受 2K");
    app_->port.SetSendBatchText("1 / 2 files");
    app_->port.SetSendBatchText("2 / 2 files");
    app_->port.SetRecvBatchText("5 files");
    finished = true;
  });
  ASSERT_TRUE(QTest::qWaitFor([&] { return finished.load(); }));
  worker.join();
  EXPECT_EQ(Lines(window_->chat_log()).back(), "from a worker");
  EXPECT_EQ(read_back, "10.0.0.7:4000");
  EXPECT_TRUE(checked && same_thread && window_->address()->text().isEmpty());
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 3);
  // The meter displays are posted; the latest values arrive.
  EXPECT_TRUE(QTest::qWaitFor([&] {
    return window_->recv_progress()->value() == 100 &&
           window_->status()->text() == QString::fromUtf8("送 1K/受 2K") &&
           window_->recv_progress()->toolTip() == "5 files";
  }));
  EXPECT_EQ(window_->send_progress()->toolTip(), "2 / 2 files");
  EXPECT_EQ(window_->BatchText(), "2 / 2 files\n5 files");
  // A batch that ends gives its bar back its own description.
  app_->port.SetSendBatchText("");
  EXPECT_EQ(window_->send_progress()->toolTip(), described);
  EXPECT_EQ(window_->BatchText(), "5 files");
  EXPECT_EQ(app_->port.PendingCalls(), 0);
  // The checkbox is read without a round trip, and still as it is now.
  window_->subfolders()->setChecked(false);
  std::thread([&] { checked = app_->port.IsSubfoldersChecked(); }).join();
  EXPECT_FALSE(checked);
}

TEST_F(WindowTest, ShutdownReleasesWaitingWorkersAndLaterCallsReturnAtOnce) {
  window_->address()->setText("kept");
  std::string text = "unset";
  // The UI thread does not serve events here, so the worker stays waiting.
  std::thread waiting([&] { text = app_->port.GetInputText(); });
  ASSERT_TRUE(WaitFor([&] { return app_->port.PendingCalls() == 1; }));
  app_->Destroy();
  waiting.join();
  EXPECT_EQ(text, "");

  bool checked = true, ran = true;
  std::thread late([&] {
    app_->port.AppendChatLog("too late");
    app_->port.SetSendProgress(50);
    app_->port.SelectTab(2);
    text = app_->port.GetInputText() + "?";
    checked = app_->port.IsSubfoldersChecked();
    ran = app_->port.RunOnUiThread([] {});
  });
  late.join();  // returns without the UI thread serving anything
  EXPECT_EQ(text, "?");
  EXPECT_FALSE(checked || ran);
  // The UI thread's own calls have no effect either once the window is gone.
  EXPECT_FALSE(app_->port.RunOnUiThread([] {}));
}

TEST_F(WindowTest, ListeningSocketReadinessReachesTheUiThread) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<int> notified{0};
  // A stand-in watcher: the port reports readiness through the handler given at Attach.
  app_->port.Shutdown();
  app_->port.Attach(window_, [&](uint32_t event) {
    EXPECT_EQ(event, FD_ACCEPT);
    ++notified;
    char byte;
    ASSERT_EQ(read(fds[0], &byte, 1), 1);
    app_->port.WatchListenSocket(-1);
  });
  app_->port.WatchListenSocket(fds[0]);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return notified.load() == 1; }));
  // No longer watched: further readiness is not reported.
  ASSERT_EQ(write(fds[1], "y", 1), 1);
  QTest::qWait(50);
  EXPECT_EQ(notified.load(), 1);
  close(fds[0]);
  close(fds[1]);
}

// A burst of lines from a worker is painted a few times, not once per line, in a short log and
// a long one, and the log follows it to its last line.
TEST_F(WindowTest, ABurstOfLinesIsPaintedTogetherAndFollowedToTheEnd) {
  constexpr int BURST = 400;
  LineView* short_log = window_->chat_log();
  LineView* long_log = window_->recv_log();
  for (auto [log, rows] : {std::pair(short_log, 1000), std::pair(long_log, 20000)}) {
    while (log->count() < rows) log->lines()->Insert(log->count(), "filler");
    log->Flush();
  }
  int paints = 0;
  PaintCounter short_paints(short_log->viewport(), paints);
  PaintCounter long_paints(long_log->viewport(), paints);
  for (auto [log, tab] : {std::pair(short_log, 0), std::pair(long_log, 3)}) {
    app_->port.SelectTab(tab);
    log->Flush();
    QCoreApplication::processEvents();
    paints = 0;
    std::atomic<bool> done{false};
    std::thread worker([&, tab = tab] {
      for (int i = 0; i < BURST; ++i) {
        const std::string line = "受信中 [d/f" + std::to_string(i) + "] (4096 bytes)";
        tab == 0 ? app_->port.AppendChatLog(line) : app_->port.AppendRecvLog(line);
      }
      done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    worker.join();
    log->Flush();
    QCoreApplication::processEvents();
    EXPECT_LT(paints, BURST / 4);
    EXPECT_EQ(log->currentRow(), log->count() - 1);
  }
}

// A received file's name is the peer's choice: "open folder" shows the folder that holds it,
// never the file, and says so in the log when the desktop has nothing to show it with.
TEST_F(WindowTest, ALineThatNamesAReceivedFileOpensTheFolderThatHoldsIt) {
  TempDir save;
  WriteFile(save.path() + "run.sh", "");
  Restart(save.path());
  const QString save_dir = QString::fromStdString(save.path());
  std::vector<QUrl> opened;
  bool handled = true;
  window_->open_url = [&](const QUrl& url) {
    opened.push_back(url);
    return handled;
  };
  app_->port.SelectTab(3);
  LineView* recv_log = window_->recv_log();
  // The folder comes with the line; the line is never read for it.
  app_->port.AppendRecvFileLog("受信中 [trip/day 1] (x)/a.jpg] (5120 bytes)",
                               save.path() + "trip/day 1] (x)/");
  app_->port.AppendRecvLog("受信完了");
  app_->port.AppendRecvFileLog("受信中 [run.sh] (0 bytes)", save.path());
  app_->port.AppendRecvFileLog("受信中 [run.sh/x] (0 bytes)", save.path() + "run.sh/");
  recv_log->Flush();
  // As the window system delivers a double click: a click, then the second press.
  const auto double_click = [&](int row) {
    const QPoint at = recv_log->visualRect(recv_log->lines()->index(row)).center();
    QTest::mouseClick(recv_log->viewport(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(recv_log->viewport(), Qt::LeftButton, Qt::NoModifier, at);
  };
  const auto open = [&](int row) {
    recv_log->Flush();
    recv_log->setCurrentRow(row);
    window_->open_folder_action(recv_log)->trigger();
  };
  double_click(0);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(save_dir + "trip/day 1] (x)"));
  // A line that names no file opens nothing; its menu entry is off.
  recv_log->setCurrentRow(1);
  EXPECT_FALSE(window_->open_folder_action(recv_log)->isEnabled());
  double_click(1);
  // A file at the top level opens the save folder; a name whose folder part is a file already
  // there opens nothing.
  open(2);
  open(3);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1], QUrl::fromLocalFile(save_dir.chopped(1)));
  handled = false;
  open(2);
  EXPECT_EQ(opened.size(), 3u);
  const std::vector<std::string> lines = Lines(recv_log);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
            (std::vector<std::string>{"フォルダではありません [" + save.path() + "run.sh]",
                                      "フォルダを開くアプリケーションが見つかりません [" +
                                          save.path().substr(0, save.path().size() - 1) + "]"}));

  // The chat log's save-directory line opens the save directory through its menu.
  handled = true;
  window_->chat_log()->setCurrentRow(0);
  QAction* open_save_dir = window_->open_folder_action(window_->chat_log());
  ASSERT_TRUE(open_save_dir->isEnabled());
  open_save_dir->trigger();
  ASSERT_EQ(opened.size(), 4u);
  EXPECT_EQ(opened[3], QUrl::fromLocalFile(save_dir.chopped(1)));
}

TEST_F(WindowTest, AskingForAttentionDrawsTheEyeOnlyInTheBackground) {
  int requests = 0;
  window_->request_attention = [&] { ++requests; };
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window_->isActiveWindow(); }));
  app_->port.AskForAttention();
  EXPECT_EQ(requests, 1);
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window_->isActiveWindow(); }));
  app_->port.AskForAttention();
  EXPECT_EQ(requests, 1);
}

TEST_F(WindowTest, TheChoicesAndThePlaceAreKeptBetweenRuns) {
  window_->subfolders()->setChecked(true);
  window_->classic_action()->trigger();  // the chat log's "classic wire only"
  EXPECT_TRUE(app_->session.options.classic.load());
  window_->paired_only_action()->trigger();
  EXPECT_TRUE(app_->session.security.paired_only);
  // Paired peers' batches come without a question until the user says otherwise.
  EXPECT_TRUE(app_->session.options.accept_paired.load());
  window_->accept_paired_action()->trigger();
  EXPECT_FALSE(app_->session.options.accept_paired.load());
  // The name is kept as peers get it: cleaned and cut.
  window_->ask_name = [](const std::string&, const std::string&) {
    return " まり\x01" + std::string(70, 'x');
  };
  window_->name_action()->trigger();
  const std::string name = "まり\uFFFD" + std::string(64 - 9, 'x');
  EXPECT_EQ(app_->session.security.name, name);
  window_->setGeometry(QRect(QPoint(40, 50), QSize(520, 410)));
  ASSERT_TRUE(QTest::qWaitFor([&] { return window_->size() == QSize(520, 410); }));
  const QRect kept = window_->geometry();
  Restart();
  EXPECT_TRUE(window_->subfolders()->isChecked());
  EXPECT_TRUE(app_->session.options.classic.load());
  EXPECT_TRUE(window_->paired_only_action()->isChecked());
  EXPECT_TRUE(app_->session.security.paired_only);
  EXPECT_FALSE(app_->session.options.accept_paired.load());
  EXPECT_EQ(app_->session.security.name, name);
  // An empty name is login@host again.
  window_->ask_name = [](const std::string& current, const std::string&) {
    EXPECT_FALSE(current.empty());
    return std::string(" ");
  };
  window_->name_action()->trigger();
  EXPECT_EQ(app_->session.security.name, DefaultInstallationName());
  ASSERT_EQ_EVENTUALLY(window_->geometry(), kept);
}

}  // namespace
}  // namespace tovrin::testing
