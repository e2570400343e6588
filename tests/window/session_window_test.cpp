#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "port/format.h"
#include "port/texts.h"
#include "secure/identity.h"
#include "secure/pairing.h"
#include "session/lifecycle.h"
#include "support/temp_dir.h"
#include "window/main_window.h"
#include "window/my_wnd.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

bool HasLine(const LineView* list, const std::string& line) {
  for (int row = 0; row < list->count(); ++row) {
    if (list->lines()->Text(row).toStdString() == line) return true;
  }
  return false;
}

std::vector<std::string> Lines(const LineView* list) {
  std::vector<std::string> lines;
  for (int row = 0; row < list->count(); ++row)
    lines.push_back(list->lines()->Text(row).toStdString());
  return lines;
}

// The code of the latest pairing code line, or "".
std::string ShownCode(const LineView* list) {
  const std::string format = text::kPairingCode;
  const std::string prefix = format.substr(0, format.find('%'));
  for (int row = list->count() - 1; row >= 0; --row) {
    const std::string line = list->lines()->Text(row).toStdString();
    if (line.starts_with(prefix)) return line.substr(prefix.size(), PAIRING_CODE_DIGITS);
  }
  return {};
}

bool WorkersEnded(const Session& s) {
  return !s.recv_thread.IsRunning() && !s.send_thread.IsRunning() && !s.chat_thread.IsRunning();
}

// Two windows in one process over loopback: the one that listens and the one that connects,
// driven through their controls as a user would.
TEST(WindowSessionTest, ConnectChatSendAFileAndCloseWhileConnected) {
  // No choices left by an earlier test ("classic wire only", "paired peers only").
  OpenSettings().clear();
  TempDir listener_save;
  TempDir source;
  TempDir listener_config;
  TempDir connector_config;
  WriteFile(source.path() + "notes.txt", PatternBytes(100000, 7));
  // Never deleted before their workers have ended.
  auto listener = std::make_unique<CMyWnd>(listener_save.path(), listener_config.path());
  auto connector = std::make_unique<CMyWnd>("/nonexistent/", connector_config.path());
  ASSERT_TRUE(listener->Create(nullptr));
  ASSERT_TRUE(connector->Create(nullptr));
  MainWindow* a = listener->main_window();
  MainWindow* b = connector->main_window();
  // The user at the connecting window types the code the waiting window shows.
  std::vector<std::string> asked;
  b->ask_pairing_code = [&](const std::string& fingerprint) {
    asked.push_back(fingerprint);
    return ShownCode(a->chat_log());
  };

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
  ASSERT_EQ_EVENTUALLY(b->connect_button()->text().toStdString(), std::string(text::kSend));
  // The listener learns of the connection through its socket notifier.
  ASSERT_EQ_EVENTUALLY(a->connect_button()->text().toStdString(), std::string(text::kSend));
  // Both have paired, and each remembers the other.
  const std::string a_print = Fingerprint(listener->session.security.identity->key_hash);
  const std::string b_print = Fingerprint(connector->session.security.identity->key_hash);
  EXPECT_EQ(asked, std::vector<std::string>{a_print});
  EXPECT_TRUE(HasLine(a->chat_log(), FormatLine(text::kPeerJustPaired, b_print.c_str())));
  EXPECT_TRUE(HasLine(b->chat_log(), FormatLine(text::kPeerJustPaired, a_print.c_str())));
  EXPECT_TRUE(
      PeerStore(listener_config.path()).Contains(connector->session.security.identity->key_hash));

  b->address()->setText(QString::fromUtf8("こんにちは"));
  QTest::keyClick(b->address(), Qt::Key_Return);
  ASSERT_EVENTUALLY(HasLine(a->chat_log(), FormatLine(text::kChatReceived, "こんにちは")));
  ASSERT_EVENTUALLY(HasLine(b->chat_log(), FormatLine(text::kChatSent, "こんにちは")));

  // A dropped file travels from the send list (drained by the worker) into a subfolder.
  a->subfolders()->setChecked(true);
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(source.path() + "notes.txt"))});
  QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(b, &enter);
  QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(b, &drop);
  ASSERT_EVENTUALLY(HasLine(a->recv_log(), text::kReceiveDone));
  ASSERT_EVENTUALLY(HasLine(b->send_log(), text::kSendDone));
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
  ASSERT_EVENTUALLY(HasLine(b->chat_log(), text::kDisconnected));
  ASSERT_EQ_EVENTUALLY(b->connect_button()->text().toStdString(), std::string(text::kConnect));
  ASSERT_EVENTUALLY(WorkersEnded(listener->session) && WorkersEnded(connector->session));
  connector->Destroy();
  QCoreApplication::processEvents();
}

// A peer that never answers: a listener whose queue is full drops further connection
// requests. The attempt never holds the event loop, Disconnect ends it, the window closes at
// once, and a connect that runs out of time fails.
TEST(WindowSessionTest, AConnectWithoutAnAnswerLeavesTheWindowLive) {
  OpenSettings().clear();
  const int full = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(full, 0), 0);
  ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr*>(&address), &length), 0);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int queued = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string host = OwnAddress() == "127.0.0.1" ? "127.0.0.2" : "127.0.0.1";
  const QString target =
      QString::fromStdString(host + ":" + std::to_string(ntohs(address.sin_port)));

  auto app = std::make_unique<CMyWnd>("/nonexistent/");
  ASSERT_TRUE(app->Create(nullptr));
  MainWindow* w = app->main_window();
  w->address()->setText(target);
  w->connect_button()->click();
  const std::string connecting = FormatLine(text::kConnecting, ntohs(address.sin_port));
  ASSERT_EQ(Lines(w->chat_log()).back(), connecting);
  EXPECT_FALSE(w->connect_button()->isEnabled());
  EXPECT_TRUE(w->disconnect_button()->isEnabled());
  // The loop turns: timers fire and a tab click is served while the connect waits.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  ASSERT_EVENTUALLY(ticks >= 10);
  w->tabs()->bar()->setCurrentIndex(2);
  EXPECT_TRUE(w->send_log()->isVisible());
  EXPECT_EQ(Lines(w->chat_log()).back(), connecting);

  // Disconnect ends the attempt, and with it both bars and the status line return to zero.
  app->port.SetSendProgress(40);
  app->port.SetStatusText("12K(0:03)/0K(0:00)");
  w->disconnect_button()->click();
  EXPECT_EQ(Lines(w->chat_log()).back(), text::kDisconnected);
  EXPECT_EQ(w->connect_button()->text().toStdString(), text::kConnect);
  EXPECT_TRUE(w->connect_button()->isEnabled());
  EXPECT_FALSE(w->disconnect_button()->isEnabled());
  EXPECT_EQ(w->send_progress()->value(), 0);
  EXPECT_EQ(w->status()->text().toStdString(), "0K(0:00)/0K(0:00)");

  // Out of time: the attempt fails as a refused one does.
  app->session.connect_timeout_ms = 200;
  w->connect_button()->click();
  ASSERT_EQ_EVENTUALLY(Lines(w->chat_log()).back(), std::string(text::kConnectFailed));
  EXPECT_TRUE(w->connect_button()->isEnabled());

  // Closing the window while a connect waits ends the loop at once.
  w->disconnect_button()->click();
  app->session.connect_timeout_ms = CONNECT_TIMEOUT_MS;
  w->connect_button()->click();
  ASSERT_EQ(Lines(w->chat_log()).back(), connecting);
  QTimer::singleShot(0, w, [w] { w->close(); });
  EXPECT_EQ(app->MessageLoop(), 0);
  EXPECT_EQ(app->dialog_window(), nullptr);
  ::close(queued);
  ::close(full);
}

}  // namespace
}  // namespace tovrin::testing
