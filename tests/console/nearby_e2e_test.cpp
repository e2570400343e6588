// Nearby peers through tovrin-cli: --peers without a daemon, and between two hosts of the
// test's own (support/nearby_world.h) a waiting side that is listed and connected to by name.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "secure/identity.h"
#include "support/cli_process.h"
#include "support/files.h"
#include "support/nearby_world.h"

namespace tovrin::testing {
namespace {

constexpr int EXIT_NO_NEARBY = 4;

TEST(ConsoleNearby, PeersWithoutADaemonFailWithAReason) {
  CliProcess peers({"--peers", "1"});
  ASSERT_TRUE(peers.WaitExit());
  EXPECT_EQ(peers.exit_code(), EXIT_NO_NEARBY);
  EXPECT_NE(peers.ErrorText().find("nearby peers cannot be listed: "), std::string::npos)
      << peers.Transcript();
  EXPECT_TRUE(peers.Lines().empty());
}

// tovrin-cli started inside one side of the world: that side's network, bus and keys.
std::unique_ptr<CliProcess> StartOnSide(const NearbyWorld& world, char side, const TempDir& keys,
                                        const std::vector<std::string>& args) {
  CliProcess::KeepKeysAway();
  setenv("DBUS_SYSTEM_BUS_ADDRESS", world.BusAddress(side).c_str(), 1);
  setenv("XDG_CONFIG_HOME", keys.path().c_str(), 1);
  std::unique_ptr<CliProcess> process;
  // The child is made in the namespace of the thread that starts it.
  std::thread([&] {
    if (world.EnterNetwork(side)) process = std::make_unique<CliProcess>(args);
  }).join();
  return process;
}

TEST(ConsoleNearbyLink, AWaitingSideIsListedAndConnectedToByName) {
  NearbyWorld world;
  if (!world.skip_reason().empty()) GTEST_SKIP() << world.skip_reason();
  ASSERT_EQ(world.error(), "");
  TempDir keys_a, keys_b, received, sent;
  WriteFile(sent.path() + "hello.txt", "across the link\n");

  const auto waiting =
      StartOnSide(world, 'a', keys_a, {"--listen", "10000", "--save-dir", received.path()});
  ASSERT_TRUE(waiting);
  ASSERT_TRUE(waiting->WaitForLine("chat: 接続を待っています... (port 10000)"))
      << waiting->Transcript();

  const std::string name = DefaultInstallationName();
  const std::string listed_prefix = name + "\t" + NearbyWorld::Address('a') + ":10000\t";
  std::string listing;
  const bool listed = WaitFor(
      [&] {
        const auto peers = StartOnSide(world, 'b', keys_b, {"--peers", "1"});
        if (!peers || !peers->WaitExit() || peers->exit_code() != 0) return false;
        const std::vector<std::string> lines = peers->Lines();
        listing = lines.empty() ? peers->Transcript() : lines.front();
        return lines.size() == 1 && lines.front().starts_with(listed_prefix);
      },
      std::chrono::seconds(30));
  ASSERT_TRUE(listed) << listing;
  // Name, address:port, the fingerprint in its usual form, not paired.
  EXPECT_TRUE(listing.ends_with("\tunpaired")) << listing;
  EXPECT_EQ(listing.size(), listed_prefix.size() + 19 + std::string("\tunpaired").size());

  const auto connecting = StartOnSide(
      world, 'b', keys_b, {"--connect", name, "--exit-after-batch", sent.path() + "hello.txt"});
  ASSERT_TRUE(connecting);
  ASSERT_TRUE(connecting->WaitExit()) << connecting->Transcript();
  EXPECT_EQ(connecting->exit_code(), 0) << connecting->Transcript();
  EXPECT_TRUE(connecting->HasLineStartingWith("chat: 接続しました [" + NearbyWorld::Address('a')))
      << connecting->Transcript();
  EXPECT_TRUE(WaitFor([&] {
    return ReadFile(received.path() + "hello.txt") == "across the link\n";
  })) << waiting->Transcript();
}

}  // namespace
}  // namespace tovrin::testing
