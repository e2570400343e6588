#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "window/main_window.h"
#include "window/my_wnd.h"

namespace tovrin::testing {

inline constexpr char SAVE_DIR[] = "/nonexistent/保存 dir/";

// One application object with its window shown, as the program has it after start.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every test starts from no remembered choices (main points them at a temporary folder).
    OpenSettings().clear();
    app_ = std::make_unique<CMyWnd>(SAVE_DIR);
    ASSERT_TRUE(app_->Create(nullptr));
    window_ = app_->main_window();
    ASSERT_NE(window_, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window_));
  }
  void TearDown() override {
    app_->Destroy();
    // Takes the quit that Destroy posted while no loop runs, so no later test's loop sees it.
    QCoreApplication::processEvents();
    app_.reset();
  }

  template <typename T>
  T* Find(const char* id) const {
    return window_->findChild<T*>(QString::fromLatin1(id));
  }

  static std::vector<std::string> Lines(const LineView* list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list->count(); ++i) lines.push_back(list->lines()->Text(i).toStdString());
    return lines;
  }

  // The lists that are visible, by object name.
  std::vector<std::string> VisibleLists() const {
    std::vector<std::string> names;
    for (LineView* list : window_->findChildren<LineView*>(Qt::FindDirectChildrenOnly)) {
      if (list->isVisible()) names.push_back(list->objectName().toStdString());
    }
    return names;
  }

  std::unique_ptr<CMyWnd> app_;
  MainWindow* window_ = nullptr;
};

}  // namespace tovrin::testing
