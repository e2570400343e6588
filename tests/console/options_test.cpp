#include "console/options.h"

#include <gtest/gtest.h>

#include "console/cli_process.h"

namespace tovrin {
namespace {

using testing::CliProcess;

bool Parses(const std::vector<std::string>& args, ConsoleOptions& options) {
  std::string error;
  const bool ok = ParseConsoleOptions(args, "/base/dir", options, error);
  EXPECT_EQ(ok, error.empty()) << error;
  return ok;
}

TEST(ConsoleOptions, RefusesBadUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {"--frob"},
      {"-x"},
      {"--listen"},
      {"--listen", "0"},
      {"--listen", "65536"},
      {"--listen", "12x"},
      {"--listen", "-5"},
      {"--listen", "1", "--connect", "1.2.3.4"},
      {"--connect", "1.2.3.4", "--address", "1.2.3.4"},
      {"--connect", ""},
      {"--save-dir", "a", "--save-dir", "b"},
      {"--save-dir"},
      {"--subfolders=yes"},
      {"dir", ""},
  };
  for (const auto& args : bad) {
    ConsoleOptions options;
    std::string error;
    EXPECT_FALSE(ParseConsoleOptions(args, "/base/dir", options, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST(ConsoleOptions, AddressFieldFollowsTheMode) {
  ConsoleOptions options;
  ASSERT_TRUE(Parses({}, options));
  EXPECT_EQ(AddressFieldText(options, "10.0.0.5"), "10.0.0.5");
  EXPECT_FALSE(options.subfolders);
  EXPECT_FALSE(options.exit_after_batch);
  EXPECT_TRUE(options.save_dir_text.empty());

  ASSERT_TRUE(Parses({"--listen", "08080", "--subfolders", "--exit-after-batch"}, options));
  EXPECT_EQ(AddressFieldText(options, "10.0.0.5"), "10.0.0.5:8080");
  EXPECT_TRUE(options.subfolders);
  EXPECT_TRUE(options.exit_after_batch);

  // The text is the address field's: the session control judges it, not the parser.
  ASSERT_TRUE(Parses({"--connect", "peer.example:7"}, options));
  EXPECT_EQ(AddressFieldText(options, "10.0.0.5"), "peer.example:7");
  ASSERT_TRUE(Parses({"--address=10.0.0.5:9"}, options));
  EXPECT_EQ(AddressFieldText(options, "10.0.0.5"), "10.0.0.5:9");

  ASSERT_TRUE(Parses({"--save-dir", "\"/x y\""}, options));
  EXPECT_EQ(options.save_dir_text, "\"/x y\"");
  ASSERT_TRUE(Parses({"--save-dir=rel"}, options));
  EXPECT_EQ(options.save_dir_text, "rel");
}

TEST(ConsoleOptions, PathsBecomeAbsoluteWithoutTrailingSlash) {
  ConsoleOptions options;
  ASSERT_TRUE(Parses({"a/b/", "../c", "/x//y/", ".", "表/ソ", "--", "-z", "--listen"}, options));
  EXPECT_EQ(options.paths,
            (std::vector<std::string>{"/base/dir/a/b", "/base/c", "/x/y", "/base/dir",
                                      "/base/dir/表/ソ", "/base/dir/-z", "/base/dir/--listen"}));
  EXPECT_EQ(options.mode, ConsoleOptions::Mode::kOwnAddress);
}

TEST(ConsoleOptions, ProcessReportsUsageErrorsWithCodeTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--nope"}, {"--listen", "x"}}) {
    CliProcess cli(args);
    ASSERT_TRUE(cli.WaitExit());
    EXPECT_EQ(cli.exit_code(), EXIT_USAGE);
    EXPECT_NE(cli.ErrorText().find("usage:"), std::string::npos) << cli.ErrorText();
    EXPECT_TRUE(cli.Lines().empty());
  }
  CliProcess help({"--help"});
  ASSERT_TRUE(help.WaitExit());
  EXPECT_EQ(help.exit_code(), 0);
  EXPECT_TRUE(help.HasLineStartingWith("usage:"));
}

}  // namespace
}  // namespace tovrin
