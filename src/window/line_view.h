#pragma once

#include <QAbstractItemView>
#include <QBasicTimer>

#include "window/line_model.h"

namespace tovrin {

// A single-selection list of one-line rows of equal height over its own LineModel. Every
// position is computed from the row number, so adding, removing, selecting and scrolling
// cost the same at row 10 and at row 100,000, and a paint touches only the rows on screen.
//
// Changes of the rows reach the screen together, a few dozen times a second at most: a
// burst of lines is one repaint. A log follows its newest rows (SetFollowsNewRows): while it
// shows the end (its user has not scrolled up), it keeps showing the end as rows arrive and
// selects the newest one. UI thread only.
class LineView : public QAbstractItemView {
  Q_OBJECT

 public:
  explicit LineView(QWidget* parent);

  [[nodiscard]] LineModel* lines() const { return lines_; }
  [[nodiscard]] int count() const { return lines_->rowCount(); }
  // The current row, or -1.
  [[nodiscard]] int currentRow() const;
  // Makes `row` current and selected, as a click does; -1 clears both.
  void setCurrentRow(int row);
  // Whether the view follows rows arriving at its end, as a log does.
  void SetFollowsNewRows(bool follows) { follows_new_rows_ = follows; }
  // Shows what has changed now instead of with the next coalesced repaint.
  void Flush();

  [[nodiscard]] QRect visualRect(const QModelIndex& index) const override;
  void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;
  [[nodiscard]] QModelIndex indexAt(const QPoint& point) const override;

 protected:
  QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
  [[nodiscard]] int horizontalOffset() const override;
  [[nodiscard]] int verticalOffset() const override;
  [[nodiscard]] bool isIndexHidden(const QModelIndex& index) const override;
  void setSelection(const QRect& rect, QItemSelectionModel::SelectionFlags command) override;
  [[nodiscard]] QRegion visualRegionForSelection(const QItemSelection& selection) const override;
  void updateGeometries() override;
  void rowsInserted(const QModelIndex& parent, int start, int end) override;
  void paintEvent(QPaintEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  [[nodiscard]] int RowHeight() const;
  // The width a row needs: its text, its icon and the item's margins.
  [[nodiscard]] int RowWidth(const QModelIndex& index) const;
  // The row at viewport height `y`, not limited to the rows that exist.
  [[nodiscard]] int RowAt(int y) const;
  void ScheduleFlush();

  LineModel* lines_;
  QBasicTimer flush_timer_;
  mutable int row_height_ = 0;
  // The widest row painted so far, in pixels: the horizontal scroll range.
  int widest_ = 0;
  // The rows the scroll range covers: those there were at the last flush.
  int shown_rows_ = 0;
  // The user left the view at the end of its rows (or never scrolled).
  bool follows_end_ = true;
  bool adjusting_ = false;
  bool follows_new_rows_ = false;
  bool rows_added_ = false;
};

}  // namespace tovrin
