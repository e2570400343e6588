#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QListWidget>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "window/my_wnd.h"
#include "window/main_window.h"

namespace tovrin::testing {

inline constexpr char SAVE_DIR[] = "/nonexistent/保存 dir/";

// One application object with its window shown, as the program has it after start.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
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

  static std::vector<std::string> Lines(const QListWidget* list) {
    std::vector<std::string> lines;
    for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
    return lines;
  }

  // The lists that are visible, by object name.
  std::vector<std::string> VisibleLists() const {
    std::vector<std::string> names;
    for (QListWidget* list : window_->findChildren<QListWidget*>(Qt::FindDirectChildrenOnly)) {
      if (list->isVisible()) names.push_back(list->objectName().toStdString());
    }
    return names;
  }

  std::unique_ptr<CMyWnd> app_;
  MainWindow* window_ = nullptr;
};

}  // namespace tovrin::testing
