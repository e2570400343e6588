#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <thread>

#include "port/texts.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

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

TEST_F(WindowTest, StartsIdleWithTheSaveDirectoryLine) {
  EXPECT_EQ(window_->windowTitle().toStdString(), text::kCaption);
  EXPECT_EQ(Lines(Find<LineView>("IDC_CHAT_LOG")),
            std::vector<std::string>{std::string("保存先 [") + SAVE_DIR + "]"});
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 0);
  EXPECT_EQ(VisibleLists(), std::vector<std::string>{"IDC_CHAT_LOG"});
  EXPECT_EQ(window_->tabs()->bar()->count(), 4);
  EXPECT_EQ(window_->tabs()->bar()->tabText(1).toStdString(), text::kTabSendList);
  auto* connect_button = Find<QPushButton>("IDC_CONNECT");
  auto* disconnect_button = Find<QPushButton>("IDC_DISCONNECT");
  EXPECT_EQ(connect_button->text().toStdString(), text::kConnect);
  EXPECT_TRUE(connect_button->isEnabled());
  EXPECT_EQ(disconnect_button->text().toStdString(), text::kDisconnect);
  EXPECT_FALSE(disconnect_button->isEnabled());
  EXPECT_EQ(Find<QProgressBar>("IDC_SEND_PROGRESS")->value(), 0);
  EXPECT_EQ(Find<QProgressBar>("IDC_RECV_PROGRESS")->value(), 0);
  EXPECT_EQ(Find<QProgressBar>("IDC_RECV_PROGRESS")->maximum(), 100);
  EXPECT_EQ(Find<QLabel>("IDC_STATUS")->text().toStdString(), text::kStatusInitial);
  EXPECT_FALSE(Find<QCheckBox>("IDC_SUBFOLDERS")->isChecked());
  EXPECT_FALSE(Find<QLineEdit>("IDC_ADDRESS")->text().isEmpty());
  // The icon's pixels are in the binary, not merely its name.
  EXPECT_EQ(QPixmap(":/tovrin-32.png").size(), QSize(32, 32));
  EXPECT_EQ(QPixmap(":/tovrin-16.png").size(), QSize(16, 16));
  // Typing an address is the first thing to do.
  EXPECT_EQ(window_->focusWidget(), Find<QWidget>("IDC_ADDRESS"));
  EXPECT_EQ(app_->session.idle.load(), 1);
  // Every control the logic and the tests look up by its id.
  for (const char* id : {"IDC_SUBFOLDERS", "IDC_SEND_LIST", "IDC_SEND_LOG", "IDC_SEND_PROGRESS",
                         "IDC_RECV_PROGRESS", "IDC_ADDRESS", "IDC_CONNECT", "IDC_DISCONNECT",
                         "IDC_STATUS", "IDC_TABS", "IDC_CHAT_LOG", "IDC_RECV_LOG"}) {
    QWidget* control = Find<QWidget>(id);
    ASSERT_NE(control, nullptr) << id;
    EXPECT_EQ(control->parentWidget(), window_) << id;
  }
}

TEST_F(WindowTest, LayoutFollowsTheClientSize) {
  auto* address = Find<QWidget>("IDC_ADDRESS");
  auto* connect_button = Find<QWidget>("IDC_CONNECT");
  auto* status = Find<QWidget>("IDC_STATUS");
  auto* tabs = Find<TabControl>("IDC_TABS");
  for (const QSize size : {QSize(301, 257), QSize(640, 480), QSize(200, 120), QSize(999, 701)}) {
    SCOPED_TRACE(::testing::PrintToString(std::pair(size.width(), size.height())));
    window_->resize(size);
    ASSERT_EQ_EVENTUALLY(window_->size(), size);
    const int w = size.width();
    const int h = size.height();
    ASSERT_EQ_EVENTUALLY(address->geometry(), QRect(18, 0, w - 98, 18));
    EXPECT_EQ(Find<QWidget>("IDC_SUBFOLDERS")->geometry(), QRect(0, 0, 18, 18));
    EXPECT_EQ(address->geometry().right() + 1, connect_button->x());
    EXPECT_EQ(connect_button->geometry(), QRect(w - 80, 0, 40, 18));
    EXPECT_EQ(Find<QWidget>("IDC_DISCONNECT")->geometry(), QRect(w - 40, 0, 40, 18));
    const QRect send_bar = Find<QWidget>("IDC_SEND_PROGRESS")->geometry();
    const QRect recv_bar = Find<QWidget>("IDC_RECV_PROGRESS")->geometry();
    EXPECT_EQ(send_bar, QRect(0, 19, w / 2, 11));
    EXPECT_EQ(recv_bar, QRect(w / 2, 19, w - w / 2, 11));
    EXPECT_EQ(send_bar.width() + recv_bar.width(), w);
    EXPECT_EQ(recv_bar.width() - send_bar.width(), w % 2);
    const int s = status->height();
    EXPECT_GT(s, 0);
    EXPECT_EQ(status->geometry(), QRect(0, h - s, w, s));
    EXPECT_EQ(tabs->geometry(), QRect(0, 30, w, h - s - 30));
    const QRect page = tabs->PageArea().translated(tabs->pos());
    EXPECT_GT(page.height(), 0);
    EXPECT_TRUE(tabs->geometry().contains(page));
    for (const char* list : {"IDC_CHAT_LOG", "IDC_SEND_LIST", "IDC_SEND_LOG", "IDC_RECV_LOG"}) {
      EXPECT_EQ(Find<QWidget>(list)->geometry(), page) << list;
    }
  }
  // Nothing gets a negative size below the smallest sensible window.
  window_->resize(10, 10);
  ASSERT_EQ_EVENTUALLY(address->geometry(), QRect(18, 0, window_->width() - 98, 18));
  EXPECT_GT(address->width(), 0);
  EXPECT_GT(tabs->height(), 0);
}

TEST_F(WindowTest, NothingMovesWhileMinimised) {
  auto* address = Find<QWidget>("IDC_ADDRESS");
  window_->resize(500, 400);
  ASSERT_EQ_EVENTUALLY(address->geometry(), QRect(18, 0, 402, 18));
  window_->showMinimized();
  ASSERT_EVENTUALLY(window_->isMinimized());
  window_->resize(300, 300);
  QCoreApplication::processEvents();
  EXPECT_EQ(address->geometry(), QRect(18, 0, 402, 18));
  window_->showNormal();
  ASSERT_EQ_EVENTUALLY(address->geometry(), QRect(18, 0, window_->width() - 98, 18));
}

TEST_F(WindowTest, PickingATabShowsExactlyItsList) {
  const char* lists[] = {"IDC_CHAT_LOG", "IDC_SEND_LIST", "IDC_SEND_LOG", "IDC_RECV_LOG"};
  for (int tab : {2, 1, 3, 0, 3}) {
    window_->tabs()->bar()->setCurrentIndex(tab);
    EXPECT_EQ(VisibleLists(), std::vector<std::string>{lists[tab]});
  }
  // The port's SelectTab moves the tab bar as well.
  app_->port.SelectTab(1);
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 1);
  EXPECT_EQ(VisibleLists(), std::vector<std::string>{"IDC_SEND_LIST"});

  // The keyboard takes the path of a click on a tab, from any control, round the end.
  struct Step {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    int tab;
  };
  const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
  for (const Step step :
       {Step{Qt::Key_Tab, ctrl, 2}, Step{Qt::Key_PageDown, ctrl, 3}, Step{Qt::Key_Tab, ctrl, 0},
        Step{Qt::Key_PageUp, ctrl, 3}, Step{Qt::Key_Backtab, ctrl | Qt::ShiftModifier, 2}}) {
    QTest::keyClick(
        step.tab % 2 == 0 ? Find<QWidget>("IDC_ADDRESS") : Find<QWidget>("IDC_SEND_LOG"), step.key,
        step.modifiers);
    EXPECT_EQ(window_->tabs()->bar()->currentIndex(), step.tab);
    EXPECT_EQ(VisibleLists(), std::vector<std::string>{lists[step.tab]});
  }
}

TEST_F(WindowTest, EnterPressesConnectOnlyWhileEnabledAndEscapeKeepsTheWindow) {
  int presses = 0;
  int disconnects = 0;
  window_->on_connect = [&] { ++presses; };
  window_->on_disconnect = [&] { ++disconnects; };
  auto* address = Find<QLineEdit>("IDC_ADDRESS");
  // From any control, as in a dialog, and once per Enter.
  for (QWidget* control : {static_cast<QWidget*>(address), Find<QWidget>("IDC_CHAT_LOG"),
                           Find<QWidget>("IDC_SUBFOLDERS")}) {
    SCOPED_TRACE(control->objectName().toStdString());
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

  QTest::keyClick(address, Qt::Key_Escape);
  QTest::keyClick(window_, Qt::Key_Escape);
  QCoreApplication::processEvents();
  EXPECT_EQ(app_->dialog_window(), window_);
  EXPECT_TRUE(window_->isVisible());
}

TEST_F(WindowTest, DropAddsOneGroupAndDeleteRemovesOnlyTheSelectedGroup) {
  window_->tabs()->bar()->setCurrentIndex(3);
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
  drop({QUrl::fromLocalFile("/data/photos/trip/"), QUrl::fromLocalFile("/data/photos/list.txt")});
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 1);
  EXPECT_EQ(VisibleLists(), std::vector<std::string>{"IDC_SEND_LIST"});
  auto* send_list = Find<LineView>("IDC_SEND_LIST");
  const std::vector<std::string> first{">/data/photos/", "trip", "list.txt"};
  EXPECT_EQ(Lines(send_list), first);
  EXPECT_EQ(app_->queue.Entries(), first);

  // The same folder again is a group of its own; a non-local URL is not a path.
  drop({QUrl::fromLocalFile("/data/photos/trip"), QUrl("https://example.invalid/x")});
  drop({QUrl::fromLocalFile("/data/more/a.bin")});
  const std::vector<std::string> three_groups{
      ">/data/photos/", "trip", "list.txt", ">/data/photos/", "trip", ">/data/more/", "a.bin"};
  EXPECT_EQ(Lines(send_list), three_groups);

  // Delete on the middle header takes its group and nothing else.
  send_list->setCurrentRow(3);
  ASSERT_EQ(app_->queue.SelectedIndex(), 3);
  QTest::keyClick(send_list, Qt::Key_Delete);
  const std::vector<std::string> two_groups{">/data/photos/", "trip", "list.txt", ">/data/more/",
                                            "a.bin"};
  EXPECT_EQ(Lines(send_list), two_groups);
  EXPECT_EQ(app_->queue.Entries(), two_groups);
  EXPECT_EQ(app_->queue.SelectedIndex(), -1);
  // Nothing selected: Delete changes nothing. An item goes alone.
  QTest::keyClick(send_list, Qt::Key_Delete);
  EXPECT_EQ(Lines(send_list), two_groups);
  send_list->setCurrentRow(2);
  QTest::keyClick(send_list, Qt::Key_Delete);
  EXPECT_EQ(Lines(send_list),
            (std::vector<std::string>{">/data/photos/", "trip", ">/data/more/", "a.bin"}));

  // A drop without local paths only brings the send list to the front.
  window_->tabs()->bar()->setCurrentIndex(0);
  drop({QUrl("https://example.invalid/y")});
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 1);
  EXPECT_EQ(send_list->count(), 4);
}

TEST_F(WindowTest, FilesChosenInTheMenuOrPastedQueueAsADropDoes) {
  SendList* send_list = window_->send_list();
  ASSERT_EQ(send_list->contextMenuPolicy(), Qt::ActionsContextMenu);
  send_list->choose_files = [] {
    return std::vector<std::string>{"/data/a/one.txt", "/data/a/two.txt"};
  };
  send_list->choose_folder = [] { return std::vector<std::string>{"/data/b/photos"}; };
  send_list->add_files_action()->trigger();
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 1);
  send_list->add_folder_action()->trigger();
  // A cancelled dialog adds nothing.
  send_list->choose_folder = [] { return std::vector<std::string>(); };
  send_list->add_folder_action()->trigger();

  // Files copied in a file manager, pasted with Ctrl+V on the list.
  auto* mime = new QMimeData;
  mime->setUrls({QUrl::fromLocalFile("/data/c/x.bin"), QUrl::fromLocalFile("/data/c/sub/"),
                 QUrl("https://example.invalid/z")});
  QApplication::clipboard()->setMimeData(mime);
  window_->activateWindow();
  send_list->setFocus();
  ASSERT_EVENTUALLY(send_list->hasFocus());
  QTest::keyClick(send_list, Qt::Key_V, Qt::ControlModifier);
  const std::vector<std::string> queued{">/data/a/", "one.txt",   "two.txt", ">/data/b/",
                                        "photos",    ">/data/c/", "x.bin",   "sub"};
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
  EXPECT_EQ(app_->queue.Entries(), std::vector<std::string>{"g"});
  EXPECT_FALSE(send_list->selectionModel()->hasSelection());
  EXPECT_EQ(send_list->currentRow(), -1);
}

TEST_F(WindowTest, LogLinesAreAppendedAndSelectedWithoutChangingTheTab) {
  auto* send_log = Find<LineView>("IDC_SEND_LOG");
  app_->port.AppendSendLog("one");
  send_log->Flush();
  send_log->setCurrentRow(0);
  // A peer's control characters are shown, not obeyed: one log line stays one row.
  app_->port.AppendSendLog("two\nsend: 送信完了\x1b[2J");
  send_log->Flush();
  EXPECT_EQ(Lines(send_log), (std::vector<std::string>{"one", "two\\x0Asend: 送信完了\\x1B[2J"}));
  EXPECT_EQ(send_log->currentRow(), 1);
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 0);

  // A user who scrolled up to read keeps the place and the selection; at the end the log
  // follows again.
  app_->port.SelectTab(2);
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

// A worker's line costs the same whatever the log's length, and a burst of lines is painted
// a few times, not once per line.
TEST_F(WindowTest, ABurstOfLinesCostsTheSameAtAnyLengthAndIsPaintedTogether) {
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
  // UI-thread nanoseconds for BURST lines from a worker into the log on tab `tab`, shown.
  auto burst = [&](LineView* log, int tab) {
    app_->port.SelectTab(tab);
    log->Flush();
    QCoreApplication::processEvents();
    paints = 0;
    // The UI thread's own CPU time: what the lines cost it, whatever else the machine runs.
    const auto ui_cpu_ns = [] {
      timespec now{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
      return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
    };
    const qint64 start = ui_cpu_ns();
    std::atomic<bool> done{false};
    std::thread worker([&] {
      for (int i = 0; i < BURST; ++i) {
        const std::string line = "受信中 [d/f" + std::to_string(i) + "] (4096 bytes)";
        tab == 0 ? app_->port.AppendChatLog(line) : app_->port.AppendRecvLog(line);
      }
      done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    worker.join();
    const qint64 elapsed = ui_cpu_ns() - start;
    log->Flush();
    QCoreApplication::processEvents();
    EXPECT_LT(paints, BURST / 4);
    EXPECT_EQ(log->currentRow(), log->count() - 1);
    return elapsed;
  };
  // The median of a few rounds, short and long taking turns at going first.
  std::vector<double> ratios;
  for (int round = 0; round < 5; ++round) {
    const qint64 first = burst(round % 2 == 0 ? short_log : long_log, round % 2 == 0 ? 0 : 3);
    const qint64 second = burst(round % 2 == 0 ? long_log : short_log, round % 2 == 0 ? 3 : 0);
    ratios.push_back(round % 2 == 0 ? static_cast<double>(second) / static_cast<double>(first)
                                    : static_cast<double>(first) / static_cast<double>(second));
  }
  std::sort(ratios.begin(), ratios.end());
  EXPECT_LT(ratios[2], 2.0) << "a line at 20,000 lines costs " << ratios[2]
                            << " times one at 1,000";
}

TEST_F(WindowTest, ALineThatNamesAReceivedFileOpensItsFolder) {
  std::vector<QUrl> opened;
  window_->open_url = [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  };
  app_->port.SelectTab(3);
  LineView* recv_log = window_->recv_log();
  app_->port.AppendRecvLog("受信中 [trip/day 1] (x)/a.jpg] (5120 bytes)");
  app_->port.AppendRecvLog("受信完了");
  recv_log->Flush();
  const QRect row = recv_log->visualRect(recv_log->lines()->index(0));
  // As the window system delivers a double click: a click, then the second press.
  QTest::mouseClick(recv_log->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
  QTest::mouseDClick(recv_log->viewport(), Qt::LeftButton, Qt::NoModifier, row.center());
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString(SAVE_DIR) + "trip/day 1] (x)"));
  // A line that names no file opens nothing; its menu entry is off.
  QAction* open = window_->open_folder_action(recv_log);
  recv_log->setCurrentRow(1);
  EXPECT_FALSE(open->isEnabled());
  const QPoint batch_end = recv_log->visualRect(recv_log->lines()->index(1)).center();
  QTest::mouseClick(recv_log->viewport(), Qt::LeftButton, Qt::NoModifier, batch_end);
  QTest::mouseDClick(recv_log->viewport(), Qt::LeftButton, Qt::NoModifier, batch_end);
  EXPECT_EQ(opened.size(), 1u);

  // The chat log's save-directory line opens the save directory through its menu.
  LineView* chat_log = window_->chat_log();
  chat_log->setCurrentRow(0);
  QAction* open_save_dir = window_->open_folder_action(chat_log);
  ASSERT_TRUE(open_save_dir->isEnabled());
  open_save_dir->trigger();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1], QUrl::fromLocalFile(QString(SAVE_DIR).chopped(1)));
}

TEST_F(WindowTest, APeersLineOrABatchEndAsksForAttentionOnlyInTheBackground) {
  int requests = 0;
  window_->request_attention = [&] { ++requests; };
  QWidget other;
  other.show();
  other.activateWindow();
  ASSERT_EVENTUALLY(!window_->isActiveWindow());
  app_->port.AppendChatLog("recv > hello");
  app_->port.AppendRecvLog("受信完了");
  app_->port.AppendChatLog("send > mine");
  app_->port.AppendRecvLog("受信中 [a] (1 bytes)");
  EXPECT_EQ(requests, 2);
  window_->activateWindow();
  ASSERT_EVENTUALLY(window_->isActiveWindow());
  app_->port.AppendChatLog("recv > seen");
  EXPECT_EQ(requests, 2);
}

TEST_F(WindowTest, TheChoicesAndThePlaceAreKeptBetweenRuns) {
  window_->subfolders()->setChecked(true);
  EXPECT_FALSE(app_->session.classic.load());
  window_->classic_action()->trigger();  // the chat log's "classic wire only"
  EXPECT_TRUE(app_->session.classic.load());
  EXPECT_FALSE(app_->session.security.paired_only);
  window_->paired_only_action()->trigger();
  EXPECT_TRUE(app_->session.security.paired_only);
  window_->setGeometry(QRect(QPoint(40, 50), QSize(520, 410)));
  ASSERT_EQ_EVENTUALLY(window_->size(), QSize(520, 410));
  const QRect kept = window_->geometry();
  app_->Destroy();
  TakeQuits();
  app_ = std::make_unique<CMyWnd>(SAVE_DIR, config_.path());
  ASSERT_TRUE(app_->Create(nullptr));
  window_ = app_->main_window();
  EXPECT_TRUE(window_->subfolders()->isChecked());
  EXPECT_TRUE(app_->session.classic.load());
  EXPECT_TRUE(window_->paired_only_action()->isChecked());
  EXPECT_TRUE(app_->session.security.paired_only);
  ASSERT_EQ_EVENTUALLY(window_->geometry(), kept);
}

}  // namespace
}  // namespace tovrin::testing
