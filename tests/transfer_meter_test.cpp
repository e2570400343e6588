#include "port/transfer_meter.h"

#include <gtest/gtest.h>

#include "queue/send_queue.h"
#include "session/session.h"
#include "support/recording_port.h"

namespace tovrin::testing {
namespace {

uint32_t fake_now = 0;
uint32_t FakeClock() { return fake_now; }

struct MeterFixture : ::testing::Test {
  RecordingPort port;
  SendQueue queue{port};
  Session session{port, queue, "save/"};
  TransferMeter recv{session, TransferMeter::Direction::kReceive, FakeClock};
  TransferMeter send{session, TransferMeter::Direction::kSend, FakeClock};
};

TEST_F(MeterFixture, RateAndTimeLeftFollowTheFormulas) {
  fake_now = 5000;
  recv.BeginFile(1000000);
  fake_now = 7000;
  recv.Advance(65536);
  EXPECT_EQ(port.recv_progress(), 6);
  EXPECT_EQ(session.recv_rate.load(), 32);
  EXPECT_EQ(session.recv_eta.load(), 29);
  EXPECT_EQ(port.status_text(), "0K(0:00)/32K(0:29)");

  // Counted in the same millisecond: the elapsed time counts as 1.
  send.BeginFile(100);
  send.Advance(10);
  EXPECT_EQ(session.send_rate.load(), 10);
  // Slower than a byte per millisecond still shows 1.
  send.BeginFile(100);
  fake_now += 1000;
  send.Advance(1);
  EXPECT_EQ(session.send_rate.load(), 1);

  // Single-precision factor: 21,999,999 bytes at 1000 per ms show 22 s, not 21.
  send.BeginFile(2000000000);
  send.SetPosition(0);
  fake_now += 1;
  send.Advance(1000);  // rate 1000
  send.BeginFile(22000999);
  fake_now += 1;
  send.Advance(1000);
  EXPECT_EQ(session.send_rate.load(), 1000);
  EXPECT_EQ(session.send_eta.load(), 22);

  send.Reset();
  EXPECT_EQ(port.send_progress(), 0);
  EXPECT_EQ(port.status_text(), "0K(0:00)/32K(0:29)");  // the other direction stays
}

TEST_F(MeterFixture, AResumedFileCountsItsOffsetAndLargeFilesDoNotOverflow) {
  fake_now = 0;
  recv.BeginFile(100000);
  recv.SetPosition(39999);
  fake_now = 10;
  recv.Advance(32768);
  EXPECT_EQ(port.recv_progress(), (39999 + 32768) * 100 / 100000);

  recv.BeginFile(2147483647);
  recv.SetPosition(2147483647 - 32768);
  recv.Advance(32768);
  EXPECT_EQ(port.recv_progress(), 100);
  // A zero-size file leaves the bar where it was.
  recv.BeginFile(0);
  recv.Advance(0);
  EXPECT_EQ(port.recv_progress(), 100);

  // Extended sessions carry 64-bit sizes: 3 GiB of 4 GiB is 75 %.
  recv.BeginFile(4LL << 30);
  recv.SetPosition(3LL << 30);
  recv.Advance(1);
  EXPECT_EQ(port.recv_progress(), 75);

  // A peer may seek anywhere: the ratio to a tiny total leaves every int behind, and the
  // position saturates instead of overflowing. The bar and the time left stay in range.
  recv.BeginFile(1);
  recv.SetPosition(INT64_MAX - 1);
  recv.Advance(32768);
  EXPECT_EQ(port.recv_progress(), 100);
  EXPECT_EQ(session.recv_eta.load(), 0);
}

}  // namespace
}  // namespace tovrin::testing
