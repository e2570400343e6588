#include "window/dialog.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>
#include <string>
#include <vector>

#include "window/my_wnd.h"
#include "window/main_window.h"

namespace tovrin::testing {
namespace {

// Records the frame's steps in the order they happen.
class RecordingDialog final : public CDLG {
 public:
  std::vector<std::string> steps;
  bool allow_close = true;
  bool make_window = true;

 protected:
  QWidget* MakeWindow(QWidget* parent) override {
    if (!make_window) return nullptr;
    auto* window = new QWidget(parent);
    QObject::connect(window, &QObject::destroyed, [this] { steps.push_back("window deleted"); });
    return window;
  }
  bool OnInitDialog() override {
    steps.push_back(dialog_window() != nullptr ? "init with window" : "init without window");
    return true;
  }
  bool OnClose() override {
    steps.push_back("close");
    return allow_close;
  }
  bool OnDestroy() override {
    steps.push_back(dialog_window() != nullptr ? "destroy with window" : "destroy without window");
    return CDLG::OnDestroy();
  }
};

TEST(DialogTest, CloseRunsTheSequenceAndEndsTheLoopWithZero) {
  RecordingDialog dialog;
  ASSERT_TRUE(dialog.Create(nullptr));
  QWidget* first = dialog.dialog_window();
  EXPECT_FALSE(dialog.Create(nullptr));
  EXPECT_EQ(dialog.dialog_window(), first);

  // A refused close leaves the window; the next one goes through.
  dialog.allow_close = false;
  EXPECT_FALSE(first->close());
  EXPECT_EQ(dialog.dialog_window(), first);
  dialog.allow_close = true;
  QTimer::singleShot(0, first, [first] { first->close(); });
  EXPECT_EQ(dialog.MessageLoop(), 0);
  dialog.steps.push_back(dialog.dialog_window() == nullptr ? "loop ended, no window"
                                                           : "loop ended");
  EXPECT_EQ(dialog.steps,
            (std::vector<std::string>{"init with window", "close", "close", "destroy with window",
                                      "window deleted", "loop ended, no window"}));

  // After Destroy the object can make a window again.
  ASSERT_TRUE(dialog.Create(nullptr));
  EXPECT_TRUE(dialog.Destroy());
  EXPECT_EQ(dialog.dialog_window(), nullptr);
  QCoreApplication::processEvents();

  RecordingDialog missing;
  missing.make_window = false;
  EXPECT_FALSE(missing.Create(nullptr));
  EXPECT_TRUE(missing.steps.empty());
}

TEST(DialogTest, ClosingTheMainWindowEndsTheApplicationLoop) {
  CMyWnd app("/nonexistent/");
  ASSERT_TRUE(app.Create(nullptr));
  QWidget* window = app.dialog_window();
  QTimer::singleShot(0, window, [window] { window->close(); });
  EXPECT_EQ(app.MessageLoop(), 0);
  EXPECT_EQ(app.dialog_window(), nullptr);
  EXPECT_EQ(app.session.idle.load(), 1);
  EXPECT_FALSE(app.port.RunOnUiThread([] {}));
}

}  // namespace
}  // namespace tovrin::testing
