#include "queue/send_queue.h"

#include <cassert>

#include "port/window_port.h"
#include "storage/save_dir.h"

namespace tovrin {

SendQueue::SendQueue(WindowPort& port) : port_(port) {}

template <typename Step>
auto SendQueue::RunStep(Step step, decltype(step()) if_gone) {
  using Result = decltype(step());
  if constexpr (std::is_void_v<Result>) {
    port_.RunOnUiThread(step);
  } else {
    Result result = if_gone;
    port_.RunOnUiThread([&] { result = step(); });
    return result;
  }
}

void SendQueue::SetView(QueueView* view) {
  assert(port_.IsUiThread());
  view_ = view;
}

void SendQueue::RemoveAtOnUi(int index) {
  assert(port_.IsUiThread());
  if (index < 0 || index >= static_cast<int>(entries_.size())) return;
  entries_.erase(entries_.begin() + index);
  if (view_ != nullptr) view_->Removed(index);
}

void SendQueue::InsertAtOnUi(int index, const std::string& entry) {
  assert(port_.IsUiThread());
  if (index < 0 || index > static_cast<int>(entries_.size())) return;
  entries_.insert(entries_.begin() + index, entry);
  if (view_ != nullptr) view_->Inserted(index, entry);
}

int SendQueue::Count() {
  return RunStep([this] { return static_cast<int>(entries_.size()); }, 0);
}

std::optional<std::string> SendQueue::EntryAt(int index) {
  return RunStep(
      [&]() -> std::optional<std::string> {
        if (index < 0 || index >= static_cast<int>(entries_.size())) return std::nullopt;
        return entries_[index];
      },
      std::nullopt);
}

void SendQueue::RemoveAt(int index) {
  port_.RunOnUiThread([&] { RemoveAtOnUi(index); });
}

void SendQueue::InsertAt(int index, const std::string& entry) {
  port_.RunOnUiThread([&] { InsertAtOnUi(index, entry); });
}

void SendQueue::Append(const std::string& entry) {
  port_.RunOnUiThread([&] { InsertAtOnUi(static_cast<int>(entries_.size()), entry); });
}

int SendQueue::SelectedIndex() {
  return RunStep(
      [this] {
        const int row = view_ != nullptr ? view_->SelectedRow() : -1;
        return row < static_cast<int>(entries_.size()) ? row : -1;
      },
      -1);
}

std::optional<std::string> SendQueue::TakeFront() {
  return RunStep(
      [this]() -> std::optional<std::string> {
        if (entries_.empty()) return std::nullopt;
        std::string front = std::move(entries_.front());
        RemoveAtOnUi(0);
        return front;
      },
      std::nullopt);
}

std::vector<std::string> SendQueue::Entries() {
  return RunStep([this] { return std::vector<std::string>(entries_.begin(), entries_.end()); },
                 std::vector<std::string>{});
}

void SendQueue::AddDropped(const std::vector<std::string>& paths) {
  port_.RunOnUiThread([&] {
    port_.SelectTab(1);
    // One header from the first path's directory, then one item per path. A path that lies
    // elsewhere (a file manager's search view can deliver such drops) gets a header of its
    // own instead of being cut into a meaningless item.
    std::string current;
    for (const std::string& path : paths) {
      const std::string directory = DirectoryPart(path);
      if (directory.size() >= path.size()) continue;
      if (&path == &paths.front() || directory != current) {
        current = directory;
        InsertAtOnUi(static_cast<int>(entries_.size()), ">" + directory);
      }
      InsertAtOnUi(static_cast<int>(entries_.size()), path.substr(directory.size()));
    }
  });
}

void SendQueue::RemoveSelected() {
  port_.RunOnUiThread([this] {
    if (entries_.empty() || view_ == nullptr) return;
    const int selected = view_->SelectedRow();
    if (selected < 0 || selected >= static_cast<int>(entries_.size())) return;
    const bool header = IsFolderHeader(entries_[selected]);
    RemoveAtOnUi(selected);
    while (header && selected < static_cast<int>(entries_.size()) &&
           !IsFolderHeader(entries_[selected])) {
      RemoveAtOnUi(selected);
    }
    view_->ClearSelection();
  });
}

}  // namespace tovrin
