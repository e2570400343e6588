#include "protocol/connection.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/recording_port.h"

namespace tovrin::testing {
namespace {

// A peer that floods offers while it stops reading makes replies queue up behind a send
// that cannot finish; past a small bound that is a protocol violation, not more memory.
TEST(Connection, RepliesWaitingBehindABlockedSendAreBounded) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  Connection connection(pair[0]);
  // More than the socket buffers hold: the sender keeps the send lock until the peer reads.
  std::vector<char> message(8 << 20);
  std::atomic<bool> sent{true};
  std::thread sender(
      [&] { sent = connection.Send(message.data(), static_cast<int>(message.size())); });
  EXPECT_TRUE(WaitFor([&] {
    int waiting = 0;
    return ::ioctl(pair[1], FIONREAD, &waiting) == 0 && waiting > 0;
  }));

  const FrameHeader reply{MSG_OFFER_REPLY, -1, -1, 0};
  for (size_t i = 0; i < Connection::MAX_PENDING_REPLIES; ++i) {
    EXPECT_TRUE(connection.PostReply(reply)) << i;
  }
  EXPECT_FALSE(connection.PostReply(reply));

  connection.Shutdown();
  sender.join();
  EXPECT_FALSE(sent);
  ::close(pair[1]);
}

}  // namespace
}  // namespace tovrin::testing
