#include "console/console_app.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/console_port.h"
#include "console/nearby_commands.h"
#include "port/format.h"
#include "port/texts.h"
#include "queue/send_queue.h"
#include "secure/identity.h"
#include "session/address.h"
#include "session/lifecycle.h"
#include "session/nearby_wait.h"
#include "session/security_loader.h"
#include "storage/save_dir.h"
#include "transfer/session.h"
#include "transfer/workers.h"

namespace tovrin {
namespace {

// While a chat line waits for the chat worker to take the previous one.
constexpr int LINE_WAITING_INTERVAL_MS = 10;
// Input without a line end is taken as a line once this much of it waits.
constexpr size_t MAX_PENDING_INPUT = 65536;

volatile std::sig_atomic_t end_requested = 0;

// The objects of the one session, made once and never destroyed: workers may outlive
// RunConsole, and the process exits without waiting for them. Held here so that they stay
// reachable to the end.
struct Kept {
  ConsolePort* port;
  SendQueue* queue;
  Session* session;
};
Kept kept{};

void OnEndSignal(int) { end_requested = 1; }

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnEndSignal;
  sigemptyset(&action.sa_mask);
  // A second signal ends the process at once (for example while a connect blocks).
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Standard input, split into chat lines. It is read only while a line can be sent, so lines
// typed before the session wait in the pipe and none is read ahead of the chat worker.
class StdinLines final {
 public:
  [[nodiscard]] bool open() const { return open_; }

  // A whole line is waiting (or the last, unterminated one after the end of input).
  [[nodiscard]] bool HasLine() const {
    return buffer_.find('\n') != std::string::npos || buffer_.size() >= MAX_PENDING_INPUT ||
           (!open_ && !buffer_.empty());
  }

  [[nodiscard]] std::string TakeLine() {
    size_t end = buffer_.find('\n');
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end == std::string::npos ? end : end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }

  // After poll reported standard input readable (or hung up).
  void Read() {
    char chunk[4096];
    const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
    if (count > 0) {
      buffer_.append(chunk, static_cast<size_t>(count));
    } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
      open_ = false;
    }
  }

 private:
  std::string buffer_;
  bool open_ = true;
};

// UI thread: a connected session whose chat worker is free for the next line.
bool ChatReady(Session& s, ConsolePort& port) {
  return s.idle.load() == 0 && s.peer_socket != nullptr && s.chat_request.load() == 0 &&
         port.GetInputText().empty();
}

// UI thread: the first, unchanged steps of the window's start and the Connect press.
void StartAttempt(Session& s, ConsolePort& port, const ConsoleOptions& options) {
  port.AppendChatLog(FormatLine(text::SAVING_TO, s.save_dir.c_str()));
  port.SelectTab(0);
  s.idle.store(1);
  s.options.close_after_batch.store(options.exit_after_batch);
  s.options.classic.store(options.classic);
  s.security.paired_only = options.paired_only;
  s.security.pair_code = options.pair_code;
  s.options.offer_code_each_wait = options.offer_pairing;
  s.options.keep_waiting.store(options.keep_listening);
  s.options.announce = !options.no_announce;
  s.options.accept.store(options.accept);
  s.options.connect_mode = options.mode == ConsoleOptions::Mode::kListen ? ConnectMode::kListen
                           : options.mode == ConsoleOptions::Mode::kConnect
                               ? ConnectMode::kConnect
                               : ConnectMode::kByAddress;
  if (!options.paths.empty()) s.queue.AddDropped(options.paths);
  port.SetInputText(AddressFieldText(options, OwnAddress()));
  OnConnect(s);
}

enum class Outcome { kRunning, kSessionEnded, kNoSession };

// UI thread. After the Connect press: idle is 1 again only once Teardown has run completely
// (it is one step on the UI thread), and only workers run it here, so a session has ended.
// An attempt that neither listens nor has a session has failed for good (also a wait that
// could not start again after a session): the console has no Disconnect to press.
Outcome Assess(Session& s) {
  const bool started = s.sessions_started.load() > 0;
  if (s.idle.load() == 1) return started ? Outcome::kSessionEnded : Outcome::kNoSession;
  if (!s.peer_socket && !s.listen_socket.valid() && !s.connect_socket.valid() &&
      !s.resolving && s.openings.empty()) {
    return started ? Outcome::kSessionEnded : Outcome::kNoSession;
  }
  return Outcome::kRunning;
}

// UI thread, --keep-listening: standard input has ended and every line of it has gone to the
// chat worker.
bool InputDone(Session& s, const StdinLines& input) {
  return !input.open() && !input.HasLine() && s.chat_request.load() == 0;
}

// UI thread, once the send worker has put back what it did not finish: after a session, the
// queued files that were not delivered (also those still queued) are logged as the last line,
// and the exit code says so.
int ExitCode(Session& s, ConsolePort& port, Outcome outcome) {
  if (outcome != Outcome::kSessionEnded) return 1;
  const int undelivered = s.batch.undelivered.load() + CountQueuedFiles(s.queue.Entries());
  if (undelivered == 0) return 0;
  port.AppendSendLog(FormatLine(text::NOT_DELIVERED, undelivered));
  return EXIT_NOT_DELIVERED;
}

}  // namespace

int RunKeyCommand(const ConsoleOptions& options) {
  std::string error;
  const std::string dir = ConfigDir();
  if (options.show_fingerprint) {
    std::vector<std::string> notices;
    const std::optional<Identity> identity = LoadOrCreateIdentity(dir, error, &notices);
    for (const std::string& notice : notices) std::fprintf(stderr, "%s\n", notice.c_str());
    if (!identity) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", Fingerprint(identity->key_hash).c_str());
    return 0;
  }
  const int removed = PeerStore(dir).Forget(options.forget, &error);
  if (removed < 0) {
    std::fprintf(stderr, "cannot change the paired peers in %s: %s\n", dir.c_str(), error.c_str());
    return 1;
  }
  if (removed == 0) {
    std::fprintf(stderr, "no paired peer has the fingerprint %s\n", options.forget.c_str());
    return 1;
  }
  std::printf("forgot %s\n", options.forget.c_str());
  return 0;
}

int RunConsole(const ConsoleOptions& options) {
  if (options.show_fingerprint || !options.forget.empty()) return RunKeyCommand(options);
  if (options.peers_seconds > 0) return RunPeersCommand(options.peers_seconds);
  ConsoleOptions resolved = options;
  // A nearby peer named by its fingerprint or name: its announced key is the one expected.
  std::optional<NearbyPeer> picked;
  if (options.mode == ConsoleOptions::Mode::kConnect) {
    int exit_code = 1;
    const std::optional<std::string> text =
        ResolveConnectText(options.address_text, picked, exit_code);
    if (!text) return exit_code;
    resolved.address_text = *text;
  }
  InstallSignals();
  kept.port = new ConsolePort(options.subfolders, stdout, isatty(STDERR_FILENO) ? stderr : nullptr);
  kept.queue = new SendQueue(*kept.port);
  kept.session = new Session(*kept.port, *kept.queue, ResolveSaveDir(options.save_dir_text));
  ConsolePort* port = kept.port;
  Session& s = *kept.session;
  s.security.name = options.name;
  if (!options.classic) LoadSecurity(s, ConfigDir());
  if (picked) s.security.expected_key = PickedKey(*picked);

  {
    auto ui = port->LockUi();
    StartAttempt(s, *port, resolved);
  }

  StdinLines input;
  for (;;) {
    int listen_fd = -1;
    int connect_fd = -1;
    int timeout_ms = static_cast<int>(IDLE_CHECK.count());
    bool want_input = false;
    bool line_waiting = false;
    {
      auto ui = port->LockUi();
      Outcome outcome = Assess(s);
      if (outcome == Outcome::kRunning &&
          (end_requested || (options.keep_listening && InputDone(s, input)))) {
        // As closing the window: the session or attempt ends with its disconnect lines.
        OnDestroy(s);
        outcome = s.sessions_started.load() > 0 ? Outcome::kSessionEnded : Outcome::kNoSession;
      }
      // The send worker's last step puts back what it did not finish: it is waited for.
      if (outcome != Outcome::kRunning && !s.send_thread.IsRunning()) {
        const int code = ExitCode(s, *port, outcome);
        port->Close();
        return code;
      }
      const bool ready = ChatReady(s, *port);
      if (ready && input.HasLine()) {
        // The wire's text ends at a NUL; the chat worker cuts the line to what the wire holds.
        std::string line = input.TakeLine();
        line.resize(std::min(line.size(), line.find('\0')));
        if (!line.empty()) {
          port->SetInputText(line);
          OnConnect(s);  // raises chat_request; the chat worker sends the field's text
        }
      }
      line_waiting = input.HasLine();
      // Waiting again and again, the end of input is looked for between sessions too; what
      // is read then waits in the buffer for the next session.
      want_input = (ready || options.keep_listening) && input.open() && !line_waiting;
      listen_fd = port->watched_socket();
      connect_fd = port->connecting_socket();
      if (line_waiting && s.peer_socket) timeout_ms = LINE_WAITING_INTERVAL_MS;
      if (connect_fd >= 0) {
        // A connect that runs out of time is reported like one that ended.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            port->connect_deadline() - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
          OnSocketNotify(s, FD_CONNECT);
          continue;
        }
        timeout_ms = static_cast<int>(std::min<int64_t>(timeout_ms, left.count()));
      }
    }
    port->FlushStatus();

    pollfd fds[4];
    nfds_t count = 0;
    if (port->wake_fd() >= 0) fds[count++] = pollfd{port->wake_fd(), POLLIN, 0};
    if (listen_fd >= 0) fds[count++] = pollfd{listen_fd, POLLIN, 0};
    if (connect_fd >= 0) fds[count++] = pollfd{connect_fd, POLLOUT, 0};
    if (want_input) fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    const int events = poll(fds, count, timeout_ms);
    if (events <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == port->wake_fd()) {
        port->DrainWake();
      } else if (fds[i].fd == STDIN_FILENO) {
        input.Read();
      } else if (fds[i].fd == connect_fd) {
        auto ui = port->LockUi();
        if (port->connecting_socket() == connect_fd) OnSocketNotify(s, FD_CONNECT);
      } else if ((fds[i].revents & POLLIN) != 0) {
        auto ui = port->LockUi();
        // The socket may have been closed and its number reused since the poll.
        if (port->watched_socket() == listen_fd) OnSocketNotify(s, FD_ACCEPT);
      }
    }
  }
}

}  // namespace tovrin
