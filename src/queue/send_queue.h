#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace tovrin {

class WindowPort;

// What the window shows of the queue. Called on the UI thread only, inside the queue's own
// step, so the visible list always equals the queue.
class QueueView {
 public:
  virtual ~QueueView() = default;
  virtual void Inserted(int index, const std::string& entry) = 0;
  virtual void Removed(int index) = 0;
  // The user's selected row, or -1.
  [[nodiscard]] virtual int SelectedRow() const = 0;
  virtual void ClearSelection() = 0;
};

// The ordered list of pending send entries: a folder header (">" and an absolute directory
// ending in '/') or an item (a path relative to the governing header's directory). Every
// operation is one step on the UI thread (through the window port), so the user's edits
// interleave with the send worker's operations but never split one.
class SendQueue final {
 public:
  explicit SendQueue(WindowPort& port);
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;

  // UI thread. The view mirrors every change from now on; nullptr detaches it.
  void SetView(QueueView* view);

  [[nodiscard]] int Count();
  [[nodiscard]] std::optional<std::string> EntryAt(int index);
  void RemoveAt(int index);
  void InsertAt(int index, const std::string& entry);
  void Append(const std::string& entry);
  [[nodiscard]] int SelectedIndex();
  // Entry 0, removed in the same step; nothing when the queue is empty.
  [[nodiscard]] std::optional<std::string> TakeFront();
  // A snapshot of every entry, for tests and the console.
  [[nodiscard]] std::vector<std::string> Entries();

  // A drop of absolute paths: brings the send list to the front, then appends one header
  // made from the first path's directory and one item per path, in drop order.
  void AddDropped(const std::vector<std::string>& paths);
  // The Delete key: removes the selected item, or a selected header with its whole group.
  void RemoveSelected();

 private:
  // Runs a step on the UI thread; the steps below assume they are there.
  template <typename Step>
  auto RunStep(Step step, decltype(step()) if_gone);
  void RemoveAtOnUi(int index);
  void InsertAtOnUi(int index, const std::string& entry);

  WindowPort& port_;
  QueueView* view_ = nullptr;
  // A deque: the send worker takes from the front once per file, which a vector would pay
  // for by moving every entry behind it.
  std::deque<std::string> entries_;
};

[[nodiscard]] inline bool IsFolderHeader(const std::string& entry) {
  return !entry.empty() && entry[0] == '>';
}

}  // namespace tovrin
