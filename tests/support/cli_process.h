#pragma once

// tovrin-cli as a child process: arguments, a pipe to its standard input, its standard output
// and standard error in files read back line by line.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/recording_port.h"
#include "support/sockets.h"

extern char** environ;

namespace tovrin::testing {

inline constexpr auto PROCESS_LIMIT = std::chrono::seconds(20);

class CliProcess final {
 public:
  // Every process of a test run keeps its key in one scratch folder, never the user's, and
  // finds no Avahi daemon (nothing is announced on the machine's network) unless a test
  // points it at one of its own.
  static void KeepKeysAway() {
    // Removed again as the test process ends.
    static const TempDir keys;
    static const bool done =
        setenv("XDG_CONFIG_HOME", keys.path().c_str(), 1) == 0 &&
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + keys.path() + "no-bus").c_str(), 1) == 0;
    (void)done;
  }

  // `wrapper`: a command (absolute path first) that runs tovrin-cli and its arguments after
  // its own.
  explicit CliProcess(const std::vector<std::string>& args,
                      const std::vector<std::string>& wrapper = {}) {
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0 || !out_.valid() || !err_.valid()) std::abort();
    KeepKeysAway();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_.get(), STDERR_FILENO);
    std::vector<std::string> argv_text = wrapper;
    argv_text.push_back(TOVRIN_CLI_PATH);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    stdin_.Reset(in[1]);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;
  ~CliProcess() {
    Signal(SIGKILL);
    WaitExit();
  }

  void WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    if (write(stdin_.get(), text.data(), text.size()) < 0) CloseStdin();
  }
  void CloseStdin() { stdin_.Reset(); }
  void Signal(int signal) {
    if (!Exited()) kill(pid_, signal);
  }

  // The whole lines written to standard output so far.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    const std::string text = Contents(out_);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }
  std::string ErrorText() const { return Contents(err_); }
  // Both streams, for a failure message.
  std::string Transcript() const { return Contents(out_) + "--- stderr:\n" + Contents(err_); }
  bool HasLineStartingWith(const std::string& prefix) const {
    const std::vector<std::string> lines = Lines();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }
  int CountLine(const std::string& line) const { return testing::CountLine(Lines(), line); }
  bool WaitForLine(const std::string& line) const {
    return WaitFor([&] { return CountLine(line) > 0; }, PROCESS_LIMIT);
  }

  // True once the process has ended (reaped here).
  bool Exited() {
    int status = 0;
    if (!exited_ && pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    return exited_ || pid_ <= 0;
  }
  bool WaitExit() {
    return WaitFor([&] { return Exited(); }, PROCESS_LIMIT);
  }
  // The exit code, or minus the signal that ended the process; -1000 before it ended.
  [[nodiscard]] int exit_code() const { return exited_ ? exit_code_ : -1000; }

 private:
  // A file without a name, for one of the child's output streams.
  static Descriptor OutputFile() {
    std::string name = (std::filesystem::temp_directory_path() / "tovrin-cli-XXXXXX").string();
    Descriptor file(mkostemp(name.data(), O_CLOEXEC));
    unlink(name.c_str());
    return file;
  }
  static std::string Contents(const Descriptor& file) {
    return ReadFile("/proc/self/fd/" + std::to_string(file.get()));
  }

  Descriptor out_ = OutputFile(), err_ = OutputFile(), stdin_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int exit_code_ = 0;
};

// Starts a listening tovrin-cli with `args` on a free port; nullptr if none could be found.
inline std::unique_ptr<CliProcess> StartListener(const std::vector<std::string>& args, int& port,
                                                 const std::vector<std::string>& wrapper = {}) {
  for (int tries = 0; tries < 5; ++tries) {
    port = FreePort();
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--listen", std::to_string(port)});
    auto listener = std::make_unique<CliProcess>(all, wrapper);
    const std::string waiting = "chat: 接続を待っています... (port " + std::to_string(port) + ")";
    // A port taken meanwhile: the listener says so and ends.
    WaitFor([&] { return listener->CountLine(waiting) > 0 || listener->Exited(); }, PROCESS_LIMIT);
    if (listener->CountLine(waiting) > 0) return listener;
  }
  return nullptr;
}

// 127.0.0.2 reaches a listener on any loopback address and is never the own address, which
// would listen instead of connecting.
inline std::string PeerAddress(int port) { return "127.0.0.2:" + std::to_string(port); }

}  // namespace tovrin::testing
