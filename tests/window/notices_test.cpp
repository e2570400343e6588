#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <mutex>
#include <thread>

#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

using Answers = std::vector<std::pair<uint64_t, bool>>;

const QString SERVICE = QStringLiteral("org.freedesktop.Notifications");
const QString PATH = QStringLiteral("/org/freedesktop/Notifications");

// Asks question `batch` through the port, from a worker as the session does, and returns its
// prompt; the answers are recorded in `answers`.
BatchPrompt* Ask(CMyWnd& app, IncomingBatch batch, Answers& answers) {
  bool asked = false;
  std::thread worker([&] {
    app.port.AskIncomingBatch(
        batch, [&answers, id = batch.id](bool accept) { answers.emplace_back(id, accept); });
    asked = true;
  });
  (void)QTest::qWaitFor([&] { return asked; });
  worker.join();
  return app.main_window()->notices()->prompt(batch.id);
}

QStringList LabelTexts(const QWidget* prompt) {
  QStringList texts;
  for (const QLabel* label : prompt->findChildren<QLabel*>()) {
    EXPECT_EQ(label->textFormat(), Qt::PlainText);
    texts << label->text();
  }
  return texts;
}

TEST_F(WindowTest, ABatchQuestionIsAnsweredOnceThroughItsOwnPrompt) {
  Answers answers;
  const IncomingBatch batch{
      1,    "<b>mallory</b>\x1b[2J", true,
      2000, 3'400'000'000,           {"a", "b", "c", "d", "e", "f", "g", "h", "<i>i</i>", "j"}};
  const QPointer<BatchPrompt> first = Ask(*app_, batch, answers);
  ASSERT_NE(first, nullptr);
  // A window of its own, which leaves the main window usable.
  EXPECT_TRUE(first->isWindow() && first->isVisible());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(first->decline_button()->isDefault());
  const QStringList texts = LabelTexts(first);
  EXPECT_TRUE(texts.contains("<b>mallory</b>\\x1B[2J がファイルを送ろうとしています"))
      << texts.join('|').toStdString();
  EXPECT_TRUE(texts.contains("ファイル数: 2,000 · 合計: 3.4 GB"));
  EXPECT_TRUE(texts.contains("  a\n  b\n  c\n  d\n  e\n  f\n  g\n  h\n  ほか 2 件"));
  first->accept_button()->click();
  app_->port.CloseBatchQuestion(1);
  EXPECT_EQ(answers, (Answers{{1, true}}));
  ASSERT_EQ_EVENTUALLY(first.data(), nullptr);

  // Closing the prompt declines; a question withdrawn by the session goes without an answer.
  Ask(*app_, IncomingBatch{2, "peer", true, 1, 1, {}}, answers)->close();
  // A prompt shows also while the main window is hidden in the tray.
  window_->hide();
  const QPointer<BatchPrompt> third =
      Ask(*app_, IncomingBatch{3, "peer", false, 0, 0, {"x"}}, answers);
  EXPECT_TRUE(third->isVisible());
  EXPECT_TRUE(LabelTexts(third).contains(
      "この相手は送るファイルを前もって知らせられません。\n答えはこの接続の間ずっと有効です。"));
  app_->port.CloseBatchQuestion(3);
  ASSERT_EQ_EVENTUALLY(third.data(), nullptr);
  EXPECT_EQ(answers, (Answers{{1, true}, {2, false}}));

  // Once the window is gone, a question is declined at once.
  app_->Destroy();
  TakeQuits();
  app_->port.AskIncomingBatch(IncomingBatch{4, "peer", true, 1, 1, {}},
                              [&](bool accept) { answers.emplace_back(4, accept); });
  EXPECT_EQ(answers.back(), (std::pair<uint64_t, bool>(4, false)));
  Start(SAVE_DIR);
}

TEST_F(WindowTest, ClosingWithKeepWaitingHidesToTheTrayOnlyWhereThereIsOne) {
  window_->keep_waiting_action()->setChecked(true);
  window_->close();
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    ASSERT_NE(app_->main_window(), nullptr);
    EXPECT_TRUE(window_->isHidden() && window_->tray()->isVisible());
    window_->tray()->contextMenu()->actions().back()->trigger();  // Quit
  }
  ASSERT_EQ_EVENTUALLY(app_->main_window(), nullptr);
}

// The desktop's notification service, on a connection of its own to the test's private bus:
// it records every call and answers Notify with a new number.
class FakeNotifications final : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(message);
    QDBusMessage reply = message.createReply();
    if (message.member() == "Notify") reply << ++notified_;
    if (message.member() == "GetCapabilities") reply << QStringList{"actions", "body"};
    bus.send(reply);
    return true;
  }
  // The calls of one method so far. Notify's are answered 101, 102, ...
  std::vector<QDBusMessage> Calls(const QString& method) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<QDBusMessage> found;
    for (const QDBusMessage& call : calls_) {
      if (call.member() == method) found.push_back(call);
    }
    return found;
  }

 private:
  std::mutex mutex_;
  std::vector<QDBusMessage> calls_;
  uint notified_ = 100;
};

class NotifierTest : public WindowTest {
 protected:
  void SetUp() override {
    // Without a bus a notifier shows nothing and breaks nothing.
    DesktopNotifier nowhere(nullptr,
                            QDBusConnection::connectToBus("unix:path=/nonexistent", "none"));
    nowhere.Close(nowhere.Show("s", "b", {}, [](const QString&) { ADD_FAILURE(); }));
    if (!QDBusConnection::sessionBus().isConnected()) {
      GTEST_SKIP() << "no session bus: the notification tests run under dbus-run-session";
    }
    if (!service_.registerVirtualObject(PATH, &fake_) || !service_.registerService(SERVICE)) {
      GTEST_SKIP() << "cannot register the test notification service on the session bus";
    }
    WindowTest::SetUp();
    // Away from the window: another one is active.
    other_.show();
    other_.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window_->isActiveWindow(); }));
  }
  void TearDown() override {
    if (window_ != nullptr) WindowTest::TearDown();
    service_.unregisterService(SERVICE);
    service_.unregisterObject(PATH);
  }
  // Signals `member` of the service for notification `id`, from the service's own
  // connection or from another one.
  void Signal(const QDBusConnection& from, uint id, const QString& key) {
    from.send(QDBusMessage::createSignal(PATH, SERVICE, "ActionInvoked") << id << key);
  }

  FakeNotifications fake_;
  QDBusConnection service_ = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake");
  QWidget other_;
};

TEST_F(NotifierTest, NewsAwayFromTheWindowComesAsNotificationsWhoseActionsAct) {
  Answers answers;
  (void)Ask(*app_, IncomingBatch{7, "mallory", true, 3, 2048, {"a"}}, answers);
  ASSERT_EVENTUALLY(fake_.Calls("Notify").size() >= 1);
  QList<QVariant> args = fake_.Calls("Notify")[0].arguments();
  ASSERT_EQ(args.size(), 8);
  EXPECT_EQ(args[3].toString(), "mallory がファイルを送ろうとしています");
  EXPECT_EQ(args[5].toStringList(),
            (QStringList{"default", "表示", "accept", "受け取る", "decline", "断る"}));
  EXPECT_EQ(args[7].toInt(), 0);  // until answered
  const uint question = 101;
  // Only the service that showed it reports its actions. A round trip on the same connection
  // brings the false one in before the service's.
  Signal(QDBusConnection::sessionBus(), question, "accept");
  (void)QDBusConnection::sessionBus().interface()->isServiceRegistered(SERVICE);
  Signal(service_, question, "decline");
  ASSERT_EQ_EVENTUALLY(answers.size(), 1u);
  EXPECT_EQ(answers, (Answers{{7, false}}));
  ASSERT_EVENTUALLY(fake_.Calls("CloseNotification").size() >= 1);
  EXPECT_EQ(fake_.Calls("CloseNotification")[0].arguments()[0].toUInt(), question);
  EXPECT_EQ(window_->notices()->prompt(7), nullptr);

  std::vector<QUrl> opened;
  window_->open_url = [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  };
  TempDir folder;
  app_->port.NotifyBatchReceived(3, folder.path());
  ASSERT_EVENTUALLY(fake_.Calls("Notify").size() >= 2);
  args = fake_.Calls("Notify")[1].arguments();
  EXPECT_EQ(args[3].toString(), "3 個のファイルを受信しました");
  EXPECT_EQ(args[5].toStringList(), (QStringList{"default", "表示", "open", "フォルダを開く"}));
  Signal(service_, question + 1, "open");
  ASSERT_EQ_EVENTUALLY(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(folder.path()).chopped(1)));

  // A chat line shows its first words; the next one takes its place, here before the service
  // has answered for the first. Its click brings the window to the front, which then gets no
  // notification.
  app_->port.NotifyChatLine(std::string(30, 'w') + " " + std::string(60, 'x'));
  app_->port.NotifyChatLine("second");
  ASSERT_EVENTUALLY(fake_.Calls("Notify").size() >= 4);
  args = fake_.Calls("Notify")[2].arguments();
  EXPECT_EQ(args[4].toString(), QString(30, 'w') + " " + QString(48, 'x') + QChar(0x2026));
  ASSERT_EVENTUALLY(fake_.Calls("CloseNotification").size() >= 2);
  EXPECT_EQ(fake_.Calls("CloseNotification")[1].arguments()[0].toUInt(), question + 2);
  Signal(service_, question + 3, "default");
  ASSERT_EVENTUALLY(window_->isActiveWindow());
  app_->port.NotifyChatLine("seen in the window");
  other_.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window_->isActiveWindow(); }));
  app_->port.NotifyChatLine("away again");
  ASSERT_EVENTUALLY(fake_.Calls("Notify").size() >= 5);
  EXPECT_EQ(fake_.Calls("Notify")[4].arguments()[4].toString(), "away again");
}

}  // namespace
}  // namespace tovrin::testing
