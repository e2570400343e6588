#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QThread>
#include <atomic>
#include <chrono>
#include <thread>

#include "session/lifecycle.h"
#include "support/recording_port.h"
#include "window/window_fixture.h"

namespace tovrin::testing {
namespace {

using std::chrono::seconds;

TEST_F(WindowTest, WorkerCallsAreCarriedOutOnTheUiThreadInOrder) {
  auto* address = Find<QLineEdit>("IDC_ADDRESS");
  address->setText("10.0.0.7:4000");
  Find<QCheckBox>("IDC_SUBFOLDERS")->setChecked(true);
  std::atomic<bool> finished{false};
  std::string read_back;
  bool checked = false;
  bool same_thread = true;
  std::thread worker([&] {
    app_->port.AppendChatLog("from a worker");
    read_back = app_->port.GetInputText();
    checked = app_->port.IsSubfoldersChecked();
    app_->port.SetInputText("");
    app_->port.RunOnUiThread([&] { same_thread = QThread::currentThread() == qApp->thread(); });
    app_->port.SelectTab(3);
    for (int percent = 1; percent <= 100; ++percent) app_->port.SetRecvProgress(percent);
    app_->port.SetStatusText("送 1K/受 2K");
    finished = true;
  });
  ASSERT_EVENTUALLY(finished.load());
  worker.join();
  const std::vector<std::string> chat = Lines(Find<LineView>("IDC_CHAT_LOG"));
  EXPECT_EQ(chat.back(), "from a worker");
  ASSERT_EQ_EVENTUALLY(Find<LineView>("IDC_CHAT_LOG")->currentRow(),
                       static_cast<int>(chat.size()) - 1);
  EXPECT_EQ(read_back, "10.0.0.7:4000");
  EXPECT_TRUE(checked);
  EXPECT_TRUE(same_thread);
  EXPECT_TRUE(address->text().isEmpty());
  EXPECT_EQ(window_->tabs()->bar()->currentIndex(), 3);
  // The meter displays are posted; the latest values arrive.
  ASSERT_EQ_EVENTUALLY(Find<QProgressBar>("IDC_RECV_PROGRESS")->value(), 100);
  ASSERT_EQ_EVENTUALLY(Find<QLabel>("IDC_STATUS")->text(), QString::fromUtf8("送 1K/受 2K"));
  EXPECT_EQ(app_->port.PendingCalls(), 0);
}

TEST_F(WindowTest, ShutdownReleasesWaitingWorkersAndLaterCallsReturnAtOnce) {
  Find<QLineEdit>("IDC_ADDRESS")->setText("kept");
  std::atomic<bool> returned{false};
  std::string text = "unset";
  // The UI thread does not serve events here, so the worker stays waiting.
  std::thread waiting([&] {
    text = app_->port.GetInputText();
    returned = true;
  });
  ASSERT_TRUE(WaitFor([&] { return app_->port.PendingCalls() == 1; }));
  EXPECT_FALSE(returned.load());
  app_->Destroy();
  ASSERT_TRUE(WaitFor([&] { return returned.load(); }));
  waiting.join();
  EXPECT_EQ(text, "");

  std::atomic<bool> done{false};
  bool ran = true;
  bool checked = true;
  std::string after = "unset";
  std::thread late([&] {
    app_->port.AppendChatLog("too late");
    app_->port.SetSendProgress(50);
    app_->port.SelectTab(2);
    after = app_->port.GetInputText();
    checked = app_->port.IsSubfoldersChecked();
    ran = app_->port.RunOnUiThread([] {});
    done = true;
  });
  ASSERT_TRUE(WaitFor([&] { return done.load(); }));
  late.join();
  EXPECT_EQ(after, "");
  EXPECT_FALSE(checked);
  EXPECT_FALSE(ran);
  // The UI thread's own calls have no effect either once the window is gone.
  EXPECT_FALSE(app_->port.RunOnUiThread([] {}));
  EXPECT_EQ(app_->queue.Count(), 0);
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
  ASSERT_EQ_EVENTUALLY(notified.load(), 1);
  // No longer watched: further readiness is not reported.
  ASSERT_EQ(write(fds[1], "y", 1), 1);
  QTest::qWait(50);
  EXPECT_EQ(notified.load(), 1);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
}  // namespace tovrin::testing
