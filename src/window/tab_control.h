#pragma once

#include <QFrame>
#include <QTabBar>
#include <QWidget>

namespace tovrin {

// A tab row above a framed page area. The pages themselves are not its children: the main
// window lays its four lists over PageArea().
class TabControl final : public QWidget {
  Q_OBJECT

 public:
  explicit TabControl(QWidget* parent);

  [[nodiscard]] QTabBar* bar() const { return bar_; }
  // The page area inside the frame, in this control's own coordinates; never negative.
  [[nodiscard]] QRect PageArea() const;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void LayOut();
  [[nodiscard]] int BarHeight() const;

  QTabBar* bar_;
  QFrame* frame_;
};

}  // namespace tovrin
