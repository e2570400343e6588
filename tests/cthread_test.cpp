#include "workers/cthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/recording_port.h"
#include "port/texts.h"

namespace tovrin {
namespace {

using testing::WaitFor;

std::mutex boxes_mutex;
std::vector<std::pair<std::string, std::string>> boxes;

void RecordMessageBox(const std::string& text, const std::string& caption) {
  std::lock_guard<std::mutex> lock(boxes_mutex);
  boxes.emplace_back(text, caption);
}

std::vector<std::pair<std::string, std::string>> TakeBoxes() {
  std::lock_guard<std::mutex> lock(boxes_mutex);
  return std::exchange(boxes, {});
}

// Installs the recording handler for one test and puts the default back afterwards.
class CthreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TakeBoxes();
    SetMessageBoxHandler(&RecordMessageBox);
  }
  void TearDown() override { SetMessageBoxHandler(nullptr); }
};

struct Held {
  CTHREAD* record = nullptr;
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
  std::atomic<bool> done{false};  // the worker's last touch of this object
};

// Waits until the test releases it, then ends through its record as a worker does.
uint32_t HeldWorker(void* parameter) {
  auto* held = static_cast<Held*>(parameter);
  held->runs.fetch_add(1);
  while (!held->release.load()) std::this_thread::yield();
  held->record->Exit(0);
  held->done = true;
  return 0;
}

uint32_t ExitAtOnce(void* parameter) {
  static_cast<CTHREAD*>(parameter)->Exit(0);
  return 0;
}

int CountThreads() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

TEST_F(CthreadTest, SecondStartIsRefusedWhileRunningAndAcceptedAfterExit) {
  CTHREAD record;
  Held held;
  held.record = &record;
  ASSERT_TRUE(record.Start(&HeldWorker, &held, 0, 0));
  EXPECT_TRUE(record.IsRunning());
  ASSERT_TRUE(WaitFor([&] { return held.runs.load() == 1; }));

  EXPECT_FALSE(record.Start(&HeldWorker, &held, 0, 0));
  const auto shown = TakeBoxes();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, text::kThreadExists);
  EXPECT_EQ(shown[0].second, text::kWarning);
  EXPECT_TRUE(record.IsRunning());  // the first worker is untouched
  EXPECT_EQ(held.runs.load(), 1);

  held.release = true;
  ASSERT_TRUE(WaitFor([&] { return held.done.load(); }));
  EXPECT_FALSE(record.IsRunning());
  held.release = false;
  held.done = false;
  ASSERT_TRUE(record.Start(&HeldWorker, &held, 0, 0));
  ASSERT_TRUE(WaitFor([&] { return held.runs.load() == 2; }));
  held.release = true;
  ASSERT_TRUE(WaitFor([&] { return held.done.load(); }));
  EXPECT_FALSE(record.IsRunning());
  EXPECT_TRUE(TakeBoxes().empty());
}

TEST_F(CthreadTest, TerminateForgetsARunningWorker) {
  CTHREAD record;
  Held held;
  held.record = &record;
  ASSERT_TRUE(record.Start(&HeldWorker, &held, 0, 0));
  EXPECT_TRUE(record.Terminate(0));
  EXPECT_FALSE(record.IsRunning());
  held.release = true;  // the worker still ends by itself
  ASSERT_TRUE(WaitFor([&] { return held.done.load(); }));
}

TEST_F(CthreadTest, ManyCyclesLeaveNoThreadsBehind) {
  CTHREAD record;
  // One cycle first: a sanitizer runtime starts its own helper thread with the first one.
  ASSERT_TRUE(record.Start(&ExitAtOnce, &record, 0, 0));
  ASSERT_TRUE(WaitFor([&] { return !record.IsRunning(); }));
  const int before = CountThreads();
  for (int i = 0; i < 500; ++i) {
    // The worker exits at once, possibly before Start has returned: the record must
    // still come out empty every time.
    ASSERT_TRUE(record.Start(&ExitAtOnce, &record, 0, 0)) << i;
    ASSERT_TRUE(WaitFor([&] { return !record.IsRunning(); })) << i;
  }
  EXPECT_TRUE(TakeBoxes().empty());
  EXPECT_TRUE(WaitFor([&] { return CountThreads() <= before; }))
      << CountThreads() << " threads, " << before << " before";
}

}  // namespace
}  // namespace tovrin
