#include <QCheckBox>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

#include "port/texts.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

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
  EXPECT_FALSE(window_->windowIcon().isNull());
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
    QTRY_COMPARE(window_->size(), size);
    const int w = size.width();
    const int h = size.height();
    QTRY_COMPARE(address->geometry(), QRect(18, 0, w - 98, 18));
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
  QTRY_COMPARE(address->geometry(), QRect(18, 0, window_->width() - 98, 18));
  EXPECT_GT(address->width(), 0);
  EXPECT_GT(tabs->height(), 0);
}

TEST_F(WindowTest, NothingMovesWhileMinimised) {
  auto* address = Find<QWidget>("IDC_ADDRESS");
  window_->resize(500, 400);
  QTRY_COMPARE(address->geometry(), QRect(18, 0, 402, 18));
  window_->showMinimized();
  QTRY_VERIFY(window_->isMinimized());
  window_->resize(300, 300);
  QCoreApplication::processEvents();
  EXPECT_EQ(address->geometry(), QRect(18, 0, 402, 18));
  window_->showNormal();
  QTRY_COMPARE(address->geometry(), QRect(18, 0, window_->width() - 98, 18));
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
}

}  // namespace
}  // namespace tovrin::testing
