#include "window/critical_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "window/window_fixture.h"
#include "port/texts.h"

namespace tovrin::testing {
namespace {

TEST_F(WindowTest, CriticalBoxLeavesTheMainWindowUsable) {
  int presses = 0;
  window_->on_connect = [&] { ++presses; };
  // Closes a box that blocks, so that a modal one fails below instead of hanging the test.
  QTimer::singleShot(0, [] {
    if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
  });
  ShowCriticalBox(text::kThreadExists, text::kWarning);
  QPointer<QMessageBox> box;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* found = qobject_cast<QMessageBox*>(widget)) box = found;
  }
  ASSERT_FALSE(box.isNull());
  EXPECT_TRUE(box->isVisible());
  EXPECT_EQ(box->parentWidget(), nullptr);
  EXPECT_EQ(box->icon(), QMessageBox::Critical);
  EXPECT_EQ(box->windowTitle().toStdString(), text::kWarning);
  EXPECT_EQ(box->text().toStdString(), text::kThreadExists);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  // A click that arrives through the window system, where a modal box would block it.
  const QPoint connect_centre = window_->connect_button()->geometry().center();
  QTest::mouseClick(window_->windowHandle(), Qt::LeftButton, {}, connect_centre);
  EXPECT_EQ(presses, 1);

  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return box.isNull(); }));
}

}  // namespace
}  // namespace tovrin::testing
