#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/console_app.h"
#include "cli/options.h"
#include "storage/storage.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  tovrin::ConsoleOptions options;
  std::string error;
  if (!tovrin::ParseConsoleOptions(args, tovrin::CurrentDirectory(), options, error)) {
    std::fprintf(stderr, "%s: %s\n%s", argv[0], error.c_str(), tovrin::UsageText(argv[0]).c_str());
    return tovrin::EXIT_USAGE;
  }
  if (options.help) {
    std::fputs(tovrin::UsageText(argv[0]).c_str(), stdout);
    return 0;
  }
  return tovrin::RunConsole(options);
}
