#include "window/tab_control.h"

#include <algorithm>

namespace tovrin {

TabControl::TabControl(QWidget* parent)
    : QWidget(parent), bar_(new QTabBar(this)), frame_(new QFrame(this)) {
  bar_->setDrawBase(false);
  bar_->setExpanding(false);
  bar_->setFocusPolicy(Qt::NoFocus);
  frame_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  // Computed from the bar's own metrics, not from a deferred layout, so the page area is
  // right before the window is first shown.
  frame_->lower();
}

int TabControl::BarHeight() const { return std::min(bar_->sizeHint().height(), height()); }

QRect TabControl::PageArea() const {
  const int top = BarHeight();
  const int frame = frame_->frameWidth();
  return QRect(frame, top + frame, std::max(0, width() - 2 * frame),
               std::max(0, height() - top - 2 * frame));
}

void TabControl::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOut();
}

void TabControl::LayOut() {
  const int top = BarHeight();
  bar_->setGeometry(0, 0, width(), top);
  frame_->setGeometry(0, top, width(), height() - top);
}

}  // namespace tovrin
