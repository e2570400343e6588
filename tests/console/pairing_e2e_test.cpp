#include <gtest/gtest.h>

#include <cstdlib>

#include "support/cli_process.h"

namespace tovrin::testing {
namespace {

// Runs `args` with its keys in `config` and returns its output lines.
std::vector<std::string> RunKeyCommand(const std::string& config, std::vector<std::string> args) {
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  CliProcess process(std::move(args));
  EXPECT_TRUE(process.WaitExit());
  EXPECT_EQ(process.exit_code(), 0) << process.Transcript();
  return process.Lines();
}

// Two installations pair through the code the waiting one prints, remember each other, and
// forget each other on request.
TEST(ConsolePairing, ThePrintedCodePairsAndForgetUndoesIt) {
  CliProcess::KeepKeysAway();
  const TempDir dir;
  const std::string keys_l = dir.path() + "keys-l", keys_c = dir.path() + "keys-c";
  const std::string fingerprint_l = RunKeyCommand(keys_l, {"--fingerprint"}).at(0);
  const std::string fingerprint_c = RunKeyCommand(keys_c, {"--fingerprint"}).at(0);
  ASSERT_EQ(fingerprint_l.size(), 19u);

  int port = 0;
  setenv("XDG_CONFIG_HOME", keys_l.c_str(), 1);
  auto listener = StartListener({"--save-dir", dir.path() + "l", "--paired-only"}, port);
  ASSERT_NE(listener, nullptr);
  ASSERT_TRUE(WaitFor([&] { return listener->HasLineStartingWith("pair: "); }));
  std::string code;
  for (const std::string& line : listener->Lines()) {
    if (line.rfind("pair: ", 0) == 0) code = line.substr(6);
  }
  ASSERT_EQ(code.size(), 6u);
  setenv("XDG_CONFIG_HOME", keys_c.c_str(), 1);
  {
    CliProcess connector(
        {"--connect", PeerAddress(port), "--save-dir", dir.path() + "c", "--pair", code});
    ASSERT_TRUE(
        connector.WaitForLine("chat: 相手の指紋: " + fingerprint_l + " (ペアリングしました)"))
        << connector.Transcript();
    EXPECT_TRUE(
        listener->WaitForLine("chat: 相手の指紋: " + fingerprint_c + " (ペアリングしました)"));
    EXPECT_TRUE(connector.WaitForLine("chat: 自分の指紋: " + fingerprint_c));
    connector.Signal(SIGTERM);
    ASSERT_TRUE(connector.WaitExit());
  }
  ASSERT_TRUE(listener->WaitExit());

  EXPECT_EQ(RunKeyCommand(keys_c, {"--forget", fingerprint_l}),
            std::vector<std::string>{"forgot " + fingerprint_l});
  setenv("XDG_CONFIG_HOME", keys_c.c_str(), 1);
  CliProcess again({"--forget", fingerprint_l});
  ASSERT_TRUE(again.WaitExit());
  EXPECT_EQ(again.exit_code(), 1);
}

}  // namespace
}  // namespace tovrin::testing
