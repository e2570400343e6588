#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "port/format.h"
#include "port/texts.h"
#include "secure/identity.h"
#include "secure/pairing.h"
#include "session/address.h"
#include "session/lifecycle.h"
#include "storage/save_dir.h"
#include "support/files.h"
#include "support/recording_port.h"
#include "support/sockets.h"
#include "window/pairing_code_dialog.h"
#include "window/translation.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

bool HasLine(const LineView* list, const std::string& line) {
  return CountLine(Lines(list), line) > 0;
}

// The code of the latest pairing code line, or "".
std::string ShownCode(const LineView* list) {
  const std::string format = text::PAIRING_CODE.get();
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

// Every character of a line is ASCII: no Japanese word is left in an English window's line.
bool AllAscii(const std::string& line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return (c & 0x80) == 0; });
}

// Two windows in one process over loopback: the one that listens and the one that connects,
// driven through their controls as a user would, in English: every line of the session is in
// English, and the receive log's line of a file opens the folder it went to.
TEST(WindowSessionTest, ConnectChatSendAFileAndCloseWhileConnectedInEnglish) {
  // No choices left by an earlier test ("classic wire only", "paired peers only").
  OpenSettings().clear();
  ASSERT_TRUE(InstallTranslation(QLocale("en_GB")));
  const struct JapaneseAfterwards {
    ~JapaneseAfterwards() { RemoveTranslation(); }
  } restore;
  TempDir listener_save, source, listener_config, connector_config;
  WriteFile(source.path() + "notes.txt", PatternBytes(100000, 7));
  // Never deleted before their workers have ended.
  auto listener = std::make_unique<CMyWnd>(listener_save.path(), listener_config.path());
  auto connector = std::make_unique<CMyWnd>("/nonexistent/", connector_config.path());
  ASSERT_TRUE(listener->Create(nullptr) && connector->Create(nullptr));
  MainWindow* a = listener->main_window();
  MainWindow* b = connector->main_window();
  // The user at the connecting window has the waiting window's user show a code (from the
  // chat log's menu), and types it.
  std::vector<std::string> asked;
  b->ask_pairing_code = [&](const std::string& fingerprint) {
    asked.push_back(fingerprint);
    a->offer_code_action()->trigger();
    return ShownCode(a->chat_log());
  };
  auto type = [](MainWindow* window, const std::string& text) {
    window->address()->setText(QString::fromStdString(text));
    QTest::keyClick(window->address(), Qt::Key_Return);
  };
  auto soon = [](const std::function<bool()>& ready) { return QTest::qWaitFor(ready); };
  // The connecting user names the installation; the listener keeps login@host.
  b->ask_name = [](const std::string&, const std::string&) { return std::string(" bob's desk "); };
  b->name_action()->trigger();

  // The own address listens; port 0 lets the system pick one.
  const std::string own = OwnAddress();
  type(a, own + ":0");
  ASSERT_TRUE(HasLine(a->chat_log(), FormatLine(text::WAITING, 0)));
  const int port = ListeningPort(listener->session);
  ASSERT_GT(port, 0);
  EXPECT_EQ(ShownCode(a->chat_log()), "");

  // Any other loopback address connects; the listener learns of it through its notifier.
  type(b, (own == "127.0.0.1" ? "127.0.0.2:" : "127.0.0.1:") + std::to_string(port));
  ASSERT_TRUE(soon([&] { return b->connect_button()->text().toStdString() == text::SEND; }));
  ASSERT_TRUE(soon([&] { return a->connect_button()->text().toStdString() == text::SEND; }));
  // The window asked for the code with the peer's fingerprint; what pairing then does is
  // SecureSession.PairingWithACodeOnRequest...'s to show.
  EXPECT_EQ(asked, std::vector<std::string>{
                       Fingerprint(listener->session.security.identity->key_hash)});
  // Each title names the peer and how the session is protected; the name labels the peer.
  EXPECT_EQ(a->windowTitle().toStdString(),
            FormatLine(text::TITLE_PAIRED, text::CAPTION, "bob's desk"));
  EXPECT_EQ(b->windowTitle().toStdString(),
            FormatLine(text::TITLE_PAIRED, text::CAPTION, listener->session.security.name.c_str()));
  EXPECT_EQ(PeerStore(listener_config.path()).List().front().label, "bob's desk");

  type(b, "こんにちは");
  EXPECT_TRUE(soon([&] { return HasLine(a->chat_log(), "recv > こんにちは"); }));
  EXPECT_TRUE(soon([&] { return HasLine(b->chat_log(), "send > こんにちは"); }));

  // A dropped file travels from the send list (drained by the worker) into a subfolder named
  // after the folder that holds it.
  a->subfolders()->setChecked(true);
  connector->queue.AddDropped({source.path() + "notes.txt"});
  EXPECT_TRUE(soon([&] { return HasLine(a->recv_log(), text::RECEIVE_DONE); }));
  EXPECT_EQ(b->send_list()->count(), 0);
  const std::string received =
      std::filesystem::path(source.path()).parent_path().filename().string() + "/notes.txt";
  EXPECT_EQ(ListTree(listener_save.path()),
            (std::map<std::string, std::uintmax_t>{{received, 100000}}));
  const std::string receiving = FormatLine(text::RECEIVING, received.c_str(), 100000);
  const std::vector<std::string> recv_lines = Lines(a->recv_log());
  const auto row = std::find(recv_lines.begin(), recv_lines.end(), receiving);
  ASSERT_NE(row, recv_lines.end());
  EXPECT_EQ(a->recv_log()->lines()->Folder(static_cast<int>(row - recv_lines.begin())),
            QString::fromStdString(DirectoryPart(listener_save.path() + received)));
  for (const LineView* log :
       {a->chat_log(), a->send_log(), a->recv_log(), b->chat_log(), b->send_log(), b->recv_log()}) {
    for (const std::string& line : Lines(log)) {
      // The peer's chat stays as it was typed.
      if (line != "recv > こんにちは" && line != "send > こんにちは") {
        EXPECT_TRUE(AllAscii(line)) << line;
      }
    }
  }

  // Closing the listener's window while connected ends its session with the two lines,
  // ends its loop with 0, and the peer sees the connection go.
  std::vector<std::string> closing_lines;
  QObject::connect(a->chat_log()->model(), &QAbstractItemModel::rowsInserted, a,
                   [&](const QModelIndex&, int first, int) {
                     closing_lines.push_back(a->chat_log()->lines()->Text(first).toStdString());
                   });
  const QPointer<MainWindow> closed(a);
  QTimer::singleShot(0, a, [a] { a->close(); });
  EXPECT_EQ(listener->MessageLoop(), 0);
  EXPECT_EQ(closing_lines, (std::vector<std::string>{"----------------", "Disconnected"}));
  EXPECT_EQ(listener->dialog_window(), nullptr);
  EXPECT_TRUE(QTest::qWaitFor([&] { return closed.isNull(); }));
  EXPECT_TRUE(listener->session.idle.load() == 1 && !listener->port.RunOnUiThread([] {}));
  EXPECT_TRUE(soon([&] {
    return HasLine(b->chat_log(), text::DISCONNECTED) &&
           b->connect_button()->text().toStdString() == text::CONNECT &&
           b->windowTitle().toStdString() == text::CAPTION;
  }));
  EXPECT_TRUE(
      soon([&] { return WorkersEnded(listener->session) && WorkersEnded(connector->session); }));
  connector->Destroy();
  QCoreApplication::processEvents();
}

// Esc in the pairing dialog gives the connection up: no session on either side, and the
// connecting window is idle again as after Disconnect.
TEST(WindowSessionTest, EscInThePairingDialogGivesTheConnectionUp) {
  OpenSettings().clear();
  TempDir listener_config, connector_config;
  auto listener = std::make_unique<CMyWnd>("/nonexistent/", listener_config.path());
  auto connector = std::make_unique<CMyWnd>("/nonexistent/", connector_config.path());
  ASSERT_TRUE(listener->Create(nullptr) && connector->Create(nullptr));
  MainWindow* a = listener->main_window();
  MainWindow* b = connector->main_window();
  int dialogs = 0;
  QTimer user;
  QObject::connect(&user, &QTimer::timeout, [&] {
    auto* dialog = b->findChild<PairingCodeDialog*>();
    if (dialog == nullptr || !dialog->isVisible()) return;
    ++dialogs;
    QTest::keyClicks(dialog->code_field(), "12");
    QTest::keyClick(dialog, Qt::Key_Escape);
  });
  user.start(10);
  const std::string own = OwnAddress();
  const std::string peer_host = own == "127.0.0.1" ? "127.0.0.2" : "127.0.0.1";
  a->address()->setText(QString::fromStdString(own + ":0"));
  a->connect_button()->click();
  const int port = ListeningPort(listener->session);
  ASSERT_GT(port, 0);
  const std::size_t before = Lines(b->chat_log()).size();
  b->address()->setText(QString::fromStdString(peer_host + ":" + std::to_string(port)));
  b->connect_button()->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return connector->session.idle.load() == 1; }));
  const std::vector<std::string> lines = Lines(b->chat_log());
  EXPECT_EQ(dialogs, 1);
  EXPECT_EQ(
      std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
      (std::vector<std::string>{FormatLine(text::CONNECTING, port),
                                FormatLine(text::CONNECTED, peer_host.c_str()), text::RULE,
                                text::DISCONNECTED}));
  EXPECT_EQ(b->connect_button()->text().toStdString(), text::CONNECT);
  EXPECT_TRUE(b->connect_button()->isEnabled() && !b->disconnect_button()->isEnabled());
  // The waiting side still waits.
  QTest::qWait(100);
  EXPECT_EQ(listener->session.sessions_started.load(), 0);
  EXPECT_EQ(connector->session.sessions_started.load(), 0);
  EXPECT_EQ(ListeningPort(listener->session), port);
  user.stop();  // it looks into the window, which goes now
  listener->Destroy();
  connector->Destroy();
  QCoreApplication::processEvents();
}

// A peer that never answers (a listener whose queue is full): the attempt never holds the
// event loop, Disconnect ends it, a connect that runs out of time fails, and the window
// closes at once while one waits.
TEST(WindowSessionTest, AConnectWithoutAnAnswerLeavesTheWindowLive) {
  OpenSettings().clear();
  const Listener full("0.0.0.0", true);  // reached on every loopback address
  const std::string host = OwnAddress() == "127.0.0.1" ? "127.0.0.2" : "127.0.0.1";
  auto app = std::make_unique<CMyWnd>("/nonexistent/");
  ASSERT_TRUE(app->Create(nullptr));
  MainWindow* w = app->main_window();
  w->address()->setText(QString::fromStdString(host + ":" + std::to_string(full.port())));
  w->connect_button()->click();
  const std::string connecting = FormatLine(text::CONNECTING, full.port());
  ASSERT_EQ(Lines(w->chat_log()).back(), connecting);
  EXPECT_FALSE(w->connect_button()->isEnabled());
  EXPECT_TRUE(w->disconnect_button()->isEnabled());
  // The loop turns: timers fire and a tab click is served while the connect waits.
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks >= 10; }));
  w->tabs()->bar()->setCurrentIndex(2);
  EXPECT_TRUE(w->send_log()->isVisible());
  EXPECT_EQ(Lines(w->chat_log()).back(), connecting);

  // Disconnect ends the attempt, and with it both bars and the status line return to zero.
  app->port.SetSendProgress(40);
  app->port.SetStatusText("12K(0:03)/0K(0:00)");
  w->disconnect_button()->click();
  EXPECT_EQ(Lines(w->chat_log()).back(), text::DISCONNECTED);
  EXPECT_EQ(w->connect_button()->text().toStdString(), text::CONNECT);
  EXPECT_TRUE(w->connect_button()->isEnabled() && !w->disconnect_button()->isEnabled());
  EXPECT_EQ(w->send_progress()->value(), 0);
  EXPECT_EQ(w->status()->text().toStdString(), "0K(0:00)/0K(0:00)");

  // Out of time: the attempt fails as a refused one does.
  app->session.options.connect_timeout_ms = 200;
  w->connect_button()->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return Lines(w->chat_log()).back() == text::CONNECT_FAILED; }));
  EXPECT_TRUE(w->connect_button()->isEnabled());

  w->disconnect_button()->click();
  app->session.options.connect_timeout_ms = CONNECT_TIMEOUT_MS;
  w->connect_button()->click();
  ASSERT_EQ(Lines(w->chat_log()).back(), connecting);
  QTimer::singleShot(0, w, [w] { w->close(); });
  EXPECT_EQ(app->MessageLoop(), 0);
  EXPECT_EQ(app->dialog_window(), nullptr);
}

// "Keep waiting": a session that ends, by this side's Disconnect or by the peer's, leaves the
// window waiting again on the same port; Disconnect while waiting stops. The choice is kept.
TEST(WindowSessionTest, KeepWaitingWaitsAgainAfterASessionAndDisconnectWhileWaitingStops) {
  OpenSettings().clear();
  TempDir listener_config, connector_config;
  auto listener = std::make_unique<CMyWnd>("/nonexistent/", listener_config.path());
  auto connector = std::make_unique<CMyWnd>("/nonexistent/", connector_config.path());
  ASSERT_TRUE(listener->Create(nullptr) && connector->Create(nullptr));
  MainWindow* a = listener->main_window();
  MainWindow* b = connector->main_window();
  b->ask_pairing_code = [](const std::string&) { return std::string(); };
  a->keep_waiting_action()->setChecked(true);
  const std::string own = OwnAddress();
  a->address()->setText(QString::fromStdString(own + ":0"));
  a->connect_button()->click();
  const int port = ListeningPort(listener->session);
  ASSERT_GT(port, 0);
  b->address()->setText(QString::fromStdString((own == "127.0.0.1" ? "127.0.0.2:" : "127.0.0.1:") +
                                               std::to_string(port)));
  const auto in_session = [](MainWindow* w) {
    return w->connect_button()->text().toStdString() == text::SEND;
  };
  int waits = 0;
  for (MainWindow* ending : {a, b}) {
    b->connect_button()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return in_session(a) && in_session(b); }));
    ending->disconnect_button()->click();
    ++waits;
    ASSERT_TRUE(QTest::qWaitFor([&] {
      return CountLine(Lines(a->chat_log()), FormatLine(text::WAITING, port)) == waits &&
             connector->session.idle.load() == 1;
    }));
    EXPECT_EQ(ListeningPort(listener->session), port);
    EXPECT_EQ(a->connect_button()->text().toStdString(), text::CONNECT);
    EXPECT_TRUE(!a->connect_button()->isEnabled() && a->disconnect_button()->isEnabled());
  }

  a->disconnect_button()->click();
  EXPECT_EQ(ListeningPort(listener->session), -1);
  EXPECT_EQ(listener->session.idle.load(), 1);
  EXPECT_TRUE(a->connect_button()->isEnabled() && !a->disconnect_button()->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return WorkersEnded(listener->session) && WorkersEnded(connector->session); }));
  listener->Destroy();
  EXPECT_TRUE(OpenSettings().value("keep_waiting").toBool());
  connector->Destroy();
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace tovrin::testing
