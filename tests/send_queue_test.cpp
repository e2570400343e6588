#include "queue/send_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "support/recording_port.h"

namespace tovrin::testing {
namespace {

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

  std::vector<std::string> rows;
  int selected = -1;
};

struct QueueFixture : ::testing::Test {
  QueueFixture() {
    port.RunOnUiThread([this] { queue.SetView(&list); });
  }
  RecordingPort port;
  SendQueue queue{port};
  FakeList list;
};

using Strings = std::vector<std::string>;

TEST_F(QueueFixture, ADropAddsOneHeaderAndOneItemPerPath) {
  port.SelectTab(2);
  queue.AddDropped({"/home/u/photos/trip", "/home/u/photos/list.txt"});
  queue.AddDropped({"/home/u/photos/trip"});
  queue.AddDropped({"/表/ソ.txt"});
  const Strings expected{
      ">/home/u/photos/", "trip", "list.txt", ">/home/u/photos/", "trip", ">/表/", "ソ.txt"};
  EXPECT_EQ(queue.Entries(), expected);
  EXPECT_EQ(list.rows, expected);  // the visible list is the queue
  EXPECT_EQ(port.tab(), 1);

  // A path outside the first path's directory keeps its own directory.
  queue.AddDropped({"/a/x.txt", "/b/y.txt", "/a/z.txt"});
  EXPECT_EQ(Strings(list.rows.end() - 6, list.rows.end()),
            (Strings{">/a/", "x.txt", ">/b/", "y.txt", ">/a/", "z.txt"}));

  // An empty drop only shows the send list.
  port.SelectTab(0);
  queue.AddDropped({});
  EXPECT_EQ(port.tab(), 1);
  EXPECT_EQ(queue.Count(), 13);
}

TEST_F(QueueFixture, DeleteRemovesAnItemOrAHeaderWithItsGroup) {
  queue.AddDropped({"/a/1", "/a/2"});
  queue.AddDropped({"/b/3", "/b/4"});
  queue.AddDropped({"/c/5"});
  list.selected = 3;  // header of /b/
  queue.RemoveSelected();
  EXPECT_EQ(list.rows, (Strings{">/a/", "1", "2", ">/c/", "5"}));
  EXPECT_EQ(list.selected, -1);
  queue.RemoveSelected();  // nothing selected: nothing happens
  EXPECT_EQ(queue.Count(), 5);
  list.selected = 1;  // an item
  queue.RemoveSelected();
  EXPECT_EQ(list.rows, (Strings{">/a/", "2", ">/c/", "5"}));
  queue.RemoveAt(3);
  list.selected = 2;  // a header that is the last entry
  queue.RemoveSelected();
  EXPECT_EQ(list.rows, (Strings{">/a/", "2"}));
  list.selected = 7;  // a stale selection beyond the end
  queue.RemoveSelected();
  EXPECT_EQ(queue.Count(), 2);
}

TEST_F(QueueFixture, TakeFrontAndInsertKeepTheViewInStep) {
  queue.Append("one");
  queue.InsertAt(0, "zero");
  queue.InsertAt(5, "ignored");
  EXPECT_EQ(queue.TakeFront(), "zero");
  EXPECT_EQ(queue.EntryAt(0), "one");
  EXPECT_EQ(queue.EntryAt(1), std::nullopt);
  EXPECT_EQ(queue.TakeFront(), "one");
  EXPECT_EQ(queue.TakeFront(), std::nullopt);
  EXPECT_TRUE(list.rows.empty());
}

// The user deletes entries while a worker takes them: every entry not deleted is taken
// exactly once, and nothing else.
// The user drops and deletes entries while a worker takes them: every entry not deleted is
// taken exactly once, and nothing else.
TEST_F(QueueFixture, ConcurrentDropsTakesAndDeletesNeverLoseOrDuplicate) {
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

TEST(SendQueueWithoutWindow, OperationsDoNothingOnceTheWindowIsGone) {
  RecordingPort port;
  SendQueue queue(port);
  queue.Append("kept");
  port.Close();
  queue.Append("lost");
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_EQ(queue.TakeFront(), std::nullopt);
}

}  // namespace
}  // namespace tovrin::testing
