#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/descriptor.h"
#include "net/owner_thread.h"
#include "net/socket_io.h"
#include "support/sockets.h"

namespace tovrin::testing {
namespace {

using Clock = std::chrono::steady_clock;

TEST(SocketIo, WholeBlocksCrossAndEachEarlyEndSaysWhichItWas) {
  SocketPair pair;
  Descriptor &a = pair.a, &b = pair.b;
  const auto later = Clock::now() + std::chrono::minutes(1);

  // More than the socket buffers hold, so both directions go in parts.
  std::vector<char> out(1 << 20), in(1 << 20);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(i % 251);
  IoEnd received = IoEnd::kFailed;
  std::thread reader([&] { received = ReceiveAll(b.get(), in.data(), in.size(), later); });
  EXPECT_EQ(SendAll(a.get(), out.data(), out.size(), later), IoEnd::kDone);
  reader.join();
  EXPECT_EQ(received, IoEnd::kDone);
  EXPECT_TRUE(in == out);

  // Nothing arrives by the deadline; then part of a block arrives and the peer closes.
  EXPECT_EQ(ReceiveAll(b.get(), in.data(), 4, Clock::now()), IoEnd::kWaitFailed);
  ASSERT_EQ(SendAll(a.get(), out.data(), 3, later), IoEnd::kDone);
  a.Reset();
  EXPECT_EQ(ReceiveAll(b.get(), in.data(), 4, later), IoEnd::kClosed);
  EXPECT_EQ(ReceiveAll(b.get(), in.data(), 0, later), IoEnd::kDone);  // nothing to wait for
  // Sending to the closed peer fails without SIGPIPE.
  EXPECT_EQ(SendAll(b.get(), out.data(), out.size(), later), IoEnd::kFailed);
}

TEST(OwnerThread, AnotherThreadTripsTheCheckUntilOwnershipIsHandedOver) {
  OwnerThread owner;
  owner.Check();
  owner.Check();
  owner.HandOver();
  std::thread([&owner] { owner.Check(); }).join();
#ifndef NDEBUG
  EXPECT_DEATH(owner.Check(), "");
#endif
}

}  // namespace
}  // namespace tovrin::testing
