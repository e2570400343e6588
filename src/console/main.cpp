#include <fcntl.h>
#include <openssl/ssl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "console/console_app.h"
#include "console/options.h"
#include "port/catalogue.h"
#include "storage/storage.h"

int main(int argc, char** argv) {
  // The process holds the private key and pairing codes: no core dump and no other process
  // of the user (ptrace, /proc/PID/mem) may read them.
  prctl(PR_SET_DUMPABLE, 0);
  // Descriptors 0 to 2 are never handed to a socket or a file: standard input is read as
  // chat, and a stray write to a closed standard output must not land in a received file.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd) return 1;
  }
  // A peer that vanishes must never end the process (sends use MSG_NOSIGNAL; this is a
  // belt), and a file-size limit must fail the write that passes it (logged by the receive
  // worker) instead of killing the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  // Workers may still be inside OpenSSL when the process exits: its own clean-up at exit
  // would free what they use. The system takes everything back anyway.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  // Scripts read the console's lines: they are Japanese whatever the locale.
  tovrin::UseCatalogue(tovrin::JAPANESE);
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
