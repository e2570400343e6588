#include "window/line_view.h"

#include <QHelpEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QToolTip>
#include <algorithm>
#include <climits>

namespace tovrin {
namespace {

// Changes reach the screen this often at most.
constexpr int FLUSH_INTERVAL_MS = 30;

}  // namespace

LineView::LineView(QWidget* parent) : QAbstractItemView(parent), lines_(new LineModel(this)) {
  setModel(lines_);
  setSelectionMode(SingleSelection);
  setSelectionBehavior(SelectRows);
  setEditTriggers(NoEditTriggers);
  setTextElideMode(Qt::ElideNone);
  setVerticalScrollMode(ScrollPerPixel);
  setHorizontalScrollMode(ScrollPerPixel);
  connect(lines_, &QAbstractItemModel::rowsRemoved, this, [this] { ScheduleFlush(); });
  connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
    // Only the user's scrolling decides whether the end is followed, not range changes.
    if (!adjusting_) follows_end_ = value >= verticalScrollBar()->maximum();
  });
}

int LineView::currentRow() const {
  const QModelIndex current = currentIndex();
  return current.isValid() ? current.row() : -1;
}

void LineView::setCurrentRow(int row) {
  if (row < 0 || row >= count()) {
    selectionModel()->clearSelection();
    selectionModel()->clearCurrentIndex();
    return;
  }
  setCurrentIndex(lines_->index(row));
}

int LineView::RowHeight() const {
  if (row_height_ <= 0) {
    // What the item delegate asks for a one-line text row.
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    option.features |= QStyleOptionViewItem::HasDisplay;
    option.text = QStringLiteral("Ag");
    if (lines_->ShowsQueueEntries()) option.features |= QStyleOptionViewItem::HasDecoration;
    row_height_ = std::max(
        1, style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).height());
  }
  return row_height_;
}

int LineView::RowAt(int y) const {
  const int content_y = y + verticalOffset();
  return content_y < 0 ? -1 : content_y / RowHeight();
}

QRect LineView::visualRect(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != lines_) return {};
  const int h = RowHeight();
  return QRect(-horizontalOffset(), index.row() * h - verticalOffset(),
               std::max(widest_, viewport()->width()), h);
}

void LineView::scrollTo(const QModelIndex& index, ScrollHint hint) {
  const QRect rect = visualRect(index);
  if (rect.isEmpty()) return;
  const int area = viewport()->height();
  QScrollBar* bar = verticalScrollBar();
  int value = bar->value();
  switch (hint) {
    case PositionAtTop:
      value += rect.top();
      break;
    case PositionAtBottom:
      value += rect.bottom() + 1 - area;
      break;
    case PositionAtCenter:
      value += rect.center().y() - area / 2;
      break;
    case EnsureVisible:
      if (rect.top() < 0) {
        value += rect.top();
      } else if (rect.bottom() >= area) {
        value += std::min(rect.top(), rect.bottom() + 1 - area);
      }
      break;
  }
  bar->setValue(value);
}

QModelIndex LineView::indexAt(const QPoint& point) const {
  const int row = RowAt(point.y());
  return row >= 0 && row < count() ? lines_->index(row) : QModelIndex();
}

QModelIndex LineView::moveCursor(CursorAction action, Qt::KeyboardModifiers) {
  const int rows = count();
  if (rows == 0) return {};
  const int page = std::max(1, viewport()->height() / RowHeight() - 1);
  const int current = currentRow();
  int row = current;
  switch (action) {
    case MoveUp:
    case MovePrevious:
      row = current < 0 ? 0 : current - 1;
      break;
    case MoveDown:
    case MoveNext:
      row = current + 1;
      break;
    case MovePageUp:
      row = current - page;
      break;
    case MovePageDown:
      row = current + page;
      break;
    case MoveHome:
      row = 0;
      break;
    case MoveEnd:
      row = rows - 1;
      break;
    default:
      break;
  }
  return lines_->index(std::clamp(row, 0, rows - 1));
}

int LineView::horizontalOffset() const { return horizontalScrollBar()->value(); }

int LineView::verticalOffset() const { return verticalScrollBar()->value(); }

bool LineView::isIndexHidden(const QModelIndex&) const { return false; }

void LineView::setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) {
  const QRect area = rect.normalized();
  const int first = std::max(0, RowAt(area.top()));
  const int last = std::min(count() - 1, RowAt(area.bottom()));
  QItemSelection selection;
  if (first <= last) selection.select(lines_->index(first), lines_->index(last));
  selectionModel()->select(selection, command);
}

QRegion LineView::visualRegionForSelection(const QItemSelection& selection) const {
  QRegion region;
  for (const QItemSelectionRange& range : selection) {
    if (!range.isValid()) continue;
    region +=
        visualRect(lines_->index(range.top())).united(visualRect(lines_->index(range.bottom())));
  }
  return region;
}

void LineView::updateGeometries() {
  const int h = RowHeight();
  const QSize area = viewport()->size();
  // Rows arrived since the last flush are not laid out yet: they come with the next one,
  // which also selects the newest (a show or a resize in between must not find the selected
  // row above the end and scroll up to it).
  const long long height = static_cast<long long>(std::min(shown_rows_, count())) * h;
  adjusting_ = true;
  QScrollBar* vertical = verticalScrollBar();
  vertical->setSingleStep(h);
  vertical->setPageStep(area.height());
  vertical->setRange(0,
                     static_cast<int>(std::clamp<long long>(height - area.height(), 0, INT_MAX)));
  if (follows_new_rows_ && follows_end_) vertical->setValue(vertical->maximum());
  QScrollBar* horizontal = horizontalScrollBar();
  horizontal->setSingleStep(std::max(1, fontMetrics().averageCharWidth()));
  horizontal->setPageStep(area.width());
  horizontal->setRange(0, std::max(0, widest_ - area.width()));
  adjusting_ = false;
  QAbstractItemView::updateGeometries();
}

void LineView::rowsInserted(const QModelIndex& parent, int start, int end) {
  QAbstractItemView::rowsInserted(parent, start, end);
  rows_added_ = true;
  ScheduleFlush();
}

void LineView::ScheduleFlush() {
  if (!flush_timer_.isActive()) flush_timer_.start(FLUSH_INTERVAL_MS, this);
}

void LineView::Flush() {
  flush_timer_.stop();
  shown_rows_ = count();
  updateGeometries();
  if (rows_added_ && follows_end_ && follows_new_rows_ && count() > 0) {
    setCurrentRow(count() - 1);
  }
  rows_added_ = false;
  viewport()->update();
}

void LineView::timerEvent(QTimerEvent* event) {
  if (event->timerId() == flush_timer_.timerId()) {
    Flush();
    return;
  }
  QAbstractItemView::timerEvent(event);
}

void LineView::showEvent(QShowEvent* event) {
  QAbstractItemView::showEvent(event);
  // What arrived while the list was hidden shows at once.
  Flush();
}

void LineView::changeEvent(QEvent* event) {
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
    row_height_ = 0;
    widest_ = 0;
  }
  QAbstractItemView::changeEvent(event);
}

int LineView::RowWidth(const QModelIndex& index) const {
  // Two text margins of the item style and a little room.
  const int margins =
      2 * (style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1) + 4;
  const int text = fontMetrics().horizontalAdvance(index.data(Qt::DisplayRole).toString());
  if (index.data(Qt::DecorationRole).isNull()) return text + margins;
  const int icon = iconSize().isValid()
                       ? iconSize().width()
                       : style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, this);
  return text + margins + icon + 4;
}

bool LineView::viewportEvent(QEvent* event) {
  // A log line that reaches past either edge of the view shows whole in its tooltip.
  if (event->type() == QEvent::ToolTip && !lines_->ShowsQueueEntries()) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    if (index.isValid() && (horizontalOffset() > 0 || RowWidth(index) > viewport()->width())) {
      QToolTip::showText(help->globalPos(),
                         LineToolTip(index.data(LineModel::TIME_ROLE).toDateTime(),
                                     lines_->Text(index.row()), true),
                         viewport(), visualRect(index));
      return true;
    }
  }
  return QAbstractItemView::viewportEvent(event);
}

void LineView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  const QStyle::State state = option.state;
  const QModelIndex current = currentIndex();
  const bool focused = hasFocus() || viewport()->hasFocus();
  const int first = std::max(0, RowAt(event->rect().top()));
  const int last = std::min(count() - 1, RowAt(event->rect().bottom()));
  const int widest = widest_;
  for (int row = first; row <= last; ++row) {
    const QModelIndex index = lines_->index(row);
    option.rect = visualRect(index);
    option.state = state;
    if (selectionModel()->isSelected(index)) option.state |= QStyle::State_Selected;
    if (focused && index == current) option.state |= QStyle::State_HasFocus;
    itemDelegateForIndex(index)->paint(&painter, option, index);
    widest_ = std::max(widest_, RowWidth(index));
  }
  // A wider row came into view: the horizontal range grows with the next flush.
  if (widest_ != widest) ScheduleFlush();
}

}  // namespace tovrin
