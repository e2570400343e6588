#pragma once

// Runs tovrin-cli as a child process for end-to-end tests: arguments, a pipe to its standard
// input, its standard output collected line by line on a reader thread.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_port.h"

extern char** environ;

namespace tovrin::testing {

inline constexpr auto PROCESS_LIMIT = std::chrono::seconds(20);

class CliProcess final {
 public:
  // Every process of a test run keeps its key in one scratch folder, never the user's.
  static void KeepKeysAway() {
    static const bool done = [] {
      char dir[] = "/tmp/tovrin-test-config-XXXXXX";
      return mkdtemp(dir) != nullptr && setenv("XDG_CONFIG_HOME", dir, 1) == 0;
    }();
    (void)done;
  }

  using LineHook = std::function<void(const std::string& line, pid_t pid)>;

  // `on_line` runs on the reader thread for every stdout line, as soon as it arrives.
  explicit CliProcess(const std::vector<std::string>& args, LineHook on_line = nullptr)
      : on_line_(std::move(on_line)) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
      std::abort();
    }
    KeepKeysAway();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> argv_text{TOVRIN_CLI_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, TOVRIN_CLI_PATH, &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    stdin_fd_ = in[1];
    stdout_reader_ = std::thread([this, fd = out[0]] { ReadLines(fd, true); });
    stderr_reader_ = std::thread([this, fd = err[0]] { ReadLines(fd, false); });
  }

  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  ~CliProcess() {
    CloseStdin();
    if (pid_ > 0 && !Exited()) {
      kill(pid_, SIGKILL);
      WaitExit();
    }
    stdout_reader_.join();
    stderr_reader_.join();
  }

  [[nodiscard]] pid_t pid() const { return pid_; }

  void WriteLine(const std::string& line) {
    const std::string text = line + "\n";
    if (stdin_fd_ >= 0 && write(stdin_fd_, text.data(), text.size()) < 0) CloseStdin();
  }

  void CloseStdin() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    stdin_fd_ = -1;
  }

  void Signal(int signal) {
    if (pid_ > 0 && !Exited()) kill(pid_, signal);
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_lines_;
  }

  // Everything written so far, for failure messages.
  std::string Transcript() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& line : out_lines_) text += "  " + line + "\n";
    for (const auto& line : err_lines_) text += "  (stderr) " + line + "\n";
    return text;
  }

  std::string ErrorText() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& line : err_lines_) text += line + "\n";
    return text;
  }

  int CountLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(out_lines_.begin(), out_lines_.end(), line));
  }

  bool HasLineStartingWith(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(out_lines_.begin(), out_lines_.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }

  bool WaitForLine(const std::string& line) {
    return WaitFor([&] { return CountLine(line) > 0; }, PROCESS_LIMIT);
  }

  // True once the process has ended (reaped here).
  bool Exited() {
    if (pid_ <= 0 || exited_) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    exited_ = true;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return true;
  }

  // Also waits until everything the process wrote has been collected.
  bool WaitExit() {
    return WaitFor([&] { return Exited() && readers_done_.load() == 2; }, PROCESS_LIMIT);
  }

  // The exit status once ended: the code, or minus the signal that ended it; -1000 before.
  [[nodiscard]] int exit_code() const { return exited_ ? exit_code_ : -1000; }

 private:
  void ReadLines(int fd, bool is_stdout) {
    std::string pending;
    char chunk[4096];
    for (;;) {
      const ssize_t count = read(fd, chunk, sizeof chunk);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) break;
      pending.append(chunk, static_cast<size_t>(count));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (is_stdout && on_line_) on_line_(line, pid_);
        std::lock_guard<std::mutex> lock(mutex_);
        (is_stdout ? out_lines_ : err_lines_).push_back(line);
      }
    }
    close(fd);
    ++readers_done_;
  }

  LineHook on_line_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  bool exited_ = false;
  int exit_code_ = 0;
  std::atomic<int> readers_done_{0};
  std::mutex mutex_;
  std::vector<std::string> out_lines_, err_lines_;
  std::thread stdout_reader_, stderr_reader_;
};

// A loopback port that was free a moment ago (the caller retries on the rare collision).
inline int PickFreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// Starts a listening tovrin-cli with `args` on a free port; nullptr if none could be found.
inline std::unique_ptr<CliProcess> StartListener(const std::vector<std::string>& args, int& port,
                                                 CliProcess::LineHook on_line = nullptr) {
  for (int tries = 0; tries < 5; ++tries) {
    port = PickFreePort();
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--listen", std::to_string(port)});
    auto listener = std::make_unique<CliProcess>(all, on_line);
    const std::string waiting = "chat: 接続を待っています... (port " + std::to_string(port) + ")";
    const std::string failed = "chat: 待ち受けできません (port " + std::to_string(port) + ")";
    if (!WaitFor([&] { return listener->CountLine(waiting) + listener->CountLine(failed) > 0; },
                 PROCESS_LIMIT)) {
      return nullptr;
    }
    if (listener->CountLine(waiting) > 0) return listener;
  }
  return nullptr;
}

// 127.0.0.2 reaches a listener on any loopback address and is never the own address, which
// would listen instead of connecting.
inline std::string PeerAddress(int port) { return "127.0.0.2:" + std::to_string(port); }

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir final {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tovrin-cli-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const {
    return (path_ / name).string();
  }

 private:
  std::filesystem::path path_;
};

}  // namespace tovrin::testing
