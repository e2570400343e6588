#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "window/line_view.h"
#include "window/main_window.h"
#include "window/my_wnd.h"

namespace tovrin::testing {

// Serve events until `condition` holds, five seconds at most, and end the test when it never
// does. Qt Test's QTRY_ macros cannot be used under GoogleTest: their failure only returns
// from the test body, and the test passes.
#define ASSERT_EVENTUALLY(condition) \
  ASSERT_TRUE(QTest::qWaitFor([&] { return static_cast<bool>(condition); })) << #condition
#define ASSERT_EQ_EVENTUALLY(actual, expected)                     \
  do {                                                             \
    (void)QTest::qWaitFor([&] { return (actual) == (expected); }); \
    ASSERT_EQ(actual, expected);                                   \
  } while (false)

inline constexpr char SAVE_DIR[] = "/nonexistent/保存 dir/";

// Takes the quits that Destroy posted, so no later test's loop sees them. A turn of the
// application loop takes them, with one more of its own to end it: a quit taken by
// processEvents instead leaves the application quitting, and every later modal dialog's loop
// would end at once.
inline void TakeQuits() {
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
  QCoreApplication::exec();
}

// The rows of a list or a log, as text.
inline std::vector<std::string> Lines(const LineView* list) {
  std::vector<std::string> lines;
  for (int row = 0; row < list->count(); ++row) {
    lines.push_back(list->lines()->Text(row).toStdString());
  }
  return lines;
}

// One application object with its window shown, as the program has it after start.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every test starts from no remembered choices (main points them at a temporary folder).
    OpenSettings().clear();
    Start(SAVE_DIR);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
  }
  void Start(const std::string& save_dir) {
    app_ = std::make_unique<CMyWnd>(save_dir, config_.path());
    ASSERT_TRUE(app_->Create(nullptr));
    window_ = app_->main_window();
    ASSERT_NE(window_, nullptr);
  }
  // Ends the application and starts it again, as the next run of the program.
  void Restart(const std::string& save_dir = SAVE_DIR) {
    app_->Destroy();
    TakeQuits();
    Start(save_dir);
  }
  void TearDown() override {
    app_->Destroy();
    TakeQuits();
    app_.reset();
  }

  QWidget* Find(const char* id) const { return window_->findChild<QWidget*>(id); }

  // The lists that are visible, by object name.
  std::vector<std::string> VisibleLists() const {
    std::vector<std::string> names;
    for (LineView* list : window_->findChildren<LineView*>(Qt::FindDirectChildrenOnly)) {
      if (list->isVisible()) names.push_back(list->objectName().toStdString());
    }
    return names;
  }

  // Keys and paired peers of this test's installation.
  TempDir config_;
  std::unique_ptr<CMyWnd> app_;
  MainWindow* window_ = nullptr;
};

}  // namespace tovrin::testing
