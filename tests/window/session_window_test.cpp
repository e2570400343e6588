#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "port/format.h"
#include "port/texts.h"
#include "session/lifecycle.h"
#include "support/temp_dir.h"
#include "window/main_window.h"
#include "window/my_wnd.h"

namespace tovrin::testing {
namespace {

bool HasLine(const LineView* list, const std::string& line) {
  for (int row = 0; row < list->count(); ++row) {
    if (list->lines()->Text(row).toStdString() == line) return true;
  }
  return false;
}

bool WorkersEnded(const Session& s) {
  return !s.recv_thread.IsRunning() && !s.send_thread.IsRunning() && !s.chat_thread.IsRunning();
}

// Two windows in one process over loopback: the one that listens and the one that connects,
// driven through their controls as a user would.
TEST(WindowSessionTest, ConnectChatSendAFileAndCloseWhileConnected) {
  TempDir listener_save;
  TempDir source;
  WriteFile(source.path() + "notes.txt", PatternBytes(100000, 7));
  // Never deleted before their workers have ended.
  auto listener = std::make_unique<CMyWnd>(listener_save.path());
  auto connector = std::make_unique<CMyWnd>("/nonexistent/");
  ASSERT_TRUE(listener->Create(nullptr));
  ASSERT_TRUE(connector->Create(nullptr));
  MainWindow* a = listener->main_window();
  MainWindow* b = connector->main_window();

  // The own address listens; port 0 lets the system pick one.
  const std::string own = OwnAddress();
  a->address()->setText(QString::fromStdString(own + ":0"));
  QTest::keyClick(a->address(), Qt::Key_Return);
  ASSERT_TRUE(HasLine(a->chat_log(), FormatLine(text::kWaiting, 0)));
  EXPECT_FALSE(a->connect_button()->isEnabled());
  EXPECT_TRUE(a->disconnect_button()->isEnabled());
  const int lines_while_listening = a->chat_log()->count();
  QTest::keyClick(a->address(), Qt::Key_Return);
  EXPECT_EQ(a->chat_log()->count(), lines_while_listening);
  const int port = ListeningPort(listener->session);
  ASSERT_GT(port, 0);

  // Any other loopback address connects.
  const std::string peer = own == "127.0.0.1" ? "127.0.0.2" : "127.0.0.1";
  b->address()->setText(QString::fromStdString(peer + ":" + std::to_string(port)));
  QTest::keyClick(b->address(), Qt::Key_Return);
  QTRY_COMPARE(b->connect_button()->text().toStdString(), std::string(text::kSend));
  // The listener learns of the connection through its socket notifier.
  QTRY_COMPARE(a->connect_button()->text().toStdString(), std::string(text::kSend));

  b->address()->setText(QString::fromUtf8("こんにちは"));
  QTest::keyClick(b->address(), Qt::Key_Return);
  QTRY_VERIFY(HasLine(a->chat_log(), FormatLine(text::kChatReceived, "こんにちは")));
  QTRY_VERIFY(HasLine(b->chat_log(), FormatLine(text::kChatSent, "こんにちは")));

  // A dropped file travels from the send list (drained by the worker) into a subfolder.
  a->subfolders()->setChecked(true);
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(source.path() + "notes.txt"))});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(b, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(b, &drop);
  QTRY_VERIFY(HasLine(a->recv_log(), text::kReceiveDone));
  QTRY_VERIFY(HasLine(b->send_log(), text::kSendDone));
  EXPECT_EQ(b->send_list()->count(), 0);
  EXPECT_EQ(ListTree(listener_save.path()).size(), 1u);
  EXPECT_EQ(ReadFile(listener_save.path() + ListTree(listener_save.path()).front()),
            PatternBytes(100000, 7));

  // Closing the listener's window while connected ends its session with the two lines,
  // ends its loop with 0, and the peer sees the connection go.
  std::vector<std::string> closing_lines;
  QObject::connect(a->chat_log()->model(), &QAbstractItemModel::rowsInserted, a,
                   [&](const QModelIndex&, int first, int) {
                     closing_lines.push_back(a->chat_log()->lines()->Text(first).toStdString());
                   });
  QTimer::singleShot(0, a, [a] { a->close(); });
  EXPECT_EQ(listener->MessageLoop(), 0);
  EXPECT_EQ(closing_lines, (std::vector<std::string>{text::kRule, text::kDisconnected}));
  EXPECT_EQ(listener->dialog_window(), nullptr);
  QTRY_VERIFY(HasLine(b->chat_log(), text::kDisconnected));
  QTRY_COMPARE(b->connect_button()->text().toStdString(), std::string(text::kConnect));
  QTRY_VERIFY(WorkersEnded(listener->session) && WorkersEnded(connector->session));
  connector->Destroy();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace tovrin::testing
