#include "queue/send_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "support/recording_port.h"

namespace tovrin::testing {
namespace {

using Strings = std::vector<std::string>;

// A list box standing in for the window's send list.
class FakeList final : public QueueView {
 public:
  void Inserted(int index, const std::string& entry) override {
    rows.insert(rows.begin() + index, entry);
  }
  // Like a list widget, the selection follows its row when rows above it go.
  void Removed(int index) override {
    rows.erase(rows.begin() + index);
    if (index == selected) selected = -1;
    if (index < selected) --selected;
  }
  int SelectedRow() const override { return selected; }
  void ClearSelection() override { selected = -1; }

  Strings rows;
  int selected = -1;
};

struct QueueTest : ::testing::Test {
  QueueTest() {
    port.RunOnUiThread([this] { queue.SetView(&list); });
  }
  RecordingPort port;
  SendQueue queue{port};
  FakeList list;
};

TEST_F(QueueTest, DropsAddHeadersAndItemsAndDeleteRemovesAnItemOrAWholeGroup) {
  queue.AddDropped({"/a/1", "/a/2"});
  queue.AddDropped({"/a/1"});
  // A path outside the first path's directory keeps its own directory.
  queue.AddDropped({"/b/3", "/表/ソ", "/b/4"});
  const Strings dropped{">/a/", "1", "2", ">/a/", "1", ">/b/", "3", ">/表/", "ソ", ">/b/", "4"};
  EXPECT_EQ(queue.Entries(), dropped);
  EXPECT_EQ(list.rows, dropped);  // the visible list is the queue
  EXPECT_EQ(port.controls().tab, 1);
  // An empty drop only shows the send list.
  port.SelectTab(0);
  queue.AddDropped({});
  EXPECT_EQ(port.controls().tab, 1);

  list.selected = 3;  // a header
  queue.RemoveSelected();
  EXPECT_EQ(list.rows, (Strings{">/a/", "1", "2", ">/b/", "3", ">/表/", "ソ", ">/b/", "4"}));
  EXPECT_EQ(list.selected, -1);
  queue.RemoveSelected();  // nothing selected: nothing happens
  list.selected = 1;       // an item
  queue.RemoveSelected();
  queue.RemoveAt(7);
  list.selected = 6;  // a header that is the last entry
  queue.RemoveSelected();
  EXPECT_EQ(list.rows, (Strings{">/a/", "2", ">/b/", "3", ">/表/", "ソ"}));
  list.selected = 9;  // a stale selection beyond the end
  queue.RemoveSelected();
  EXPECT_EQ(queue.Count(), 6);

  // Takes and inserts keep the view in step, until the window is gone.
  queue.InsertAt(0, "zero");
  queue.InsertAt(9, "ignored");
  EXPECT_EQ(queue.TakeFront(), "zero");
  EXPECT_EQ(queue.EntryAt(6), std::nullopt);
  EXPECT_EQ(list.rows, (Strings{">/a/", "2", ">/b/", "3", ">/表/", "ソ"}));
  queue.Append("kept");
  port.Close();
  queue.Append("lost");
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_EQ(queue.TakeFront(), std::nullopt);
}

// Drops and Deletes while a worker takes entries: each one not deleted is taken exactly once.
TEST_F(QueueTest, ConcurrentDropsTakesAndDeletesNeverLoseOrDuplicate) {
  std::set<std::string> added, taken, deleted;
  for (int i = 0; i < 1000; ++i) added.insert("item" + std::to_string(i));
  for (const std::string& entry : added) queue.Append(entry);
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    while (!stop || queue.Count() > 0) {
      if (auto entry = queue.TakeFront()) {
        EXPECT_TRUE(taken.insert(*entry).second) << *entry;
      }
    }
  });
  for (int round = 0; round < 2000; ++round) {
    const std::string late = "late" + std::to_string(round);
    added.insert(late);
    queue.Append(late);
    // The user selects the last row; the worker may take entries before the Delete key.
    port.RunOnUiThread([&] {
      if (list.rows.size() > 1) list.selected = static_cast<int>(list.rows.size()) - 1;
    });
    if (round % 2 == 1) continue;
    port.RunOnUiThread([&] {
      const std::string chosen = list.selected >= 0 ? list.rows[list.selected] : "";
      const std::size_t before = list.rows.size();
      queue.RemoveSelected();
      if (list.rows.size() < before) deleted.insert(chosen);
    });
  }
  stop = true;
  worker.join();
  for (const std::string& entry : deleted) EXPECT_EQ(taken.count(entry), 0u) << entry;
  EXPECT_EQ(taken.size() + deleted.size(), added.size());
}

}  // namespace
}  // namespace tovrin::testing
