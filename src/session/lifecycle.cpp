#include "session/lifecycle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "net/descriptor.h"
#include "net/socket_io.h"
#include "port/format.h"
#include "port/texts.h"
#include "port/window_port.h"
#include "session/address.h"
#include "session/nearby_wait.h"
#include "session/opening.h"
#include "transfer/connection.h"
#include "transfer/session.h"
#include "transfer/transfer_meter.h"
#include "transfer/workers.h"

namespace tovrin {

namespace {

// How long a refused or dropped connection keeps further ones from its address out of the log.
constexpr auto REFUSAL_LOG_INTERVAL = std::chrono::minutes(1);

// Options of every session socket.
void PrepareSessionSocket(int fd) {
  const int on = 1;
  // An offer and its reply are single small messages; Nagle's delay would cost every file
  // a delayed-acknowledgement round trip.
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A peer that vanishes without a FIN (cable pulled, machine suspended) must not keep the
  // session open forever: an idle connection is probed after 60 s and given up after six
  // unanswered probes 10 s apart, and data that stays unacknowledged for two minutes ends
  // it too (keepalive alone is silent while data waits to be sent).
  const int idle_seconds = 60;
  const int interval_seconds = 10;
  const int probes = 6;
  const unsigned int user_timeout_ms = 120000;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_seconds, sizeof interval_seconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}

// Starts a non-blocking connect of a new socket to `address`: the socket, or -1 when the
// connect failed at once.
int StartConnect(const sockaddr_in& address) {
  Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return -1;
  if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    return -1;
  }
  return fd.Release();
}

// The socket of a connect that was under way, now writable or out of time: true, with the
// socket blocking again, when it is connected.
bool Connected(int fd) {
  pollfd ready{fd, POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  if (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0 ||
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool AnyWorkerRunning(const Session& s) {
  return s.recv_thread.IsRunning() || s.send_thread.IsRunning() || s.chat_thread.IsRunning();
}

// UI thread.
void CloseListenSocket(Session& s) {
  assert(s.port.IsUiThread());
  if (!s.listen_socket.valid()) return;
  s.port.WatchListenSocket(-1);
  s.listen_socket.Reset();
  WithdrawWait(s);
}

// UI thread.
void CloseConnectSocket(Session& s) {
  assert(s.port.IsUiThread());
  if (!s.connect_socket.valid()) return;
  s.port.WatchConnectSocket(-1, 0);
  s.connect_socket.Reset();
}

void StartOpening(Session& s, int fd, sockaddr_in peer, bool server);

// UI thread: the connect under way has ended or is out of time.
void FinishConnect(Session& s) {
  assert(s.port.IsUiThread());
  if (!s.connect_socket.valid()) return;
  s.port.WatchConnectSocket(-1, 0);
  Descriptor connecting(s.connect_socket.Release());
  if (!Connected(connecting.get())) {
    s.port.AppendChatLog(text::CONNECT_FAILED);
    s.port.EnableConnect(true);
    return;
  }
  const int fd = connecting.Release();
  PrepareSessionSocket(fd);
  s.port.AppendChatLog(FormatLine(text::CONNECTED, Dotted(s.peer_addr.sin_addr).c_str()));
  StartOpening(s, fd, s.peer_addr, false);
}

// UI thread. Wakes every worker blocked on the connection; the descriptor is closed when the
// last worker lets go of it.
void ClosePeerSocket(Session& s) {
  assert(s.port.IsUiThread());
  if (!s.peer_socket) return;
  s.peer_socket->Shutdown();
  s.peer_socket.reset();
}

// UI thread: ends the openings still under way.
void CloseOpenings(Session& s) {
  assert(s.port.IsUiThread());
  for (const PendingOpening& opening : s.openings) opening.connection->Shutdown();
  s.openings.clear();
}

// UI thread, the waiting side: logs a connection refused or closed before a session began
// (`format` with the address and `reason`), once a minute per address, so that a peer who
// keeps knocking cannot flood the log.
void LogRefusal(Session& s, in_addr address, Text<const char*, const char*> format,
                const std::string& reason) {
  assert(s.port.IsUiThread());
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(s.refusals_logged,
                [now](const auto& entry) { return now - entry.second >= REFUSAL_LOG_INTERVAL; });
  if (!s.refusals_logged.emplace(address.s_addr, now).second) return;
  s.port.AppendChatLog(FormatLine(format, Dotted(address).c_str(), reason.c_str()));
}

// UI thread, the waiting side: true when a connection from `address` may start an opening.
// A full set of openings makes room by closing its oldest one that has not finished its TLS
// handshake: a peer that stalls before it cannot keep the next one out.
bool RoomForOpening(Session& s, in_addr address) {
  assert(s.port.IsUiThread());
  const auto same =
      std::count_if(s.openings.begin(), s.openings.end(),
                    [&](const PendingOpening& o) { return o.address.s_addr == address.s_addr; });
  if (same >= MAX_OPENINGS_PER_ADDRESS) {
    LogRefusal(s, address, text::CONNECTION_REFUSED, text::ADDRESS_LIMIT);
    return false;
  }
  if (static_cast<int>(s.openings.size()) < MAX_PENDING_OPENINGS) return true;
  const auto stalled = std::find_if(s.openings.begin(), s.openings.end(),
                                    [](const PendingOpening& o) { return !o.set_up->load(); });
  if (stalled == s.openings.end()) {
    LogRefusal(s, address, text::CONNECTION_REFUSED, text::OPENINGS_FULL);
    return false;
  }
  LogRefusal(s, stalled->address, text::CONNECTION_DROPPED, text::MADE_ROOM);
  stalled->connection->Shutdown();
  s.openings.erase(stalled);
  return true;
}

// Who the session is with and how it is protected, for the window's title: the peer's name,
// or its address when it gave none.
std::string SessionTitle(const OpeningResult& result, sockaddr_in peer) {
  const std::string who = result.peer_name.empty() ? Dotted(peer.sin_addr) : result.peer_name;
  const Text<const char*, const char*> form = result.trust == Trust::kNone     ? text::TITLE_CLEAR
                                              : result.trust == Trust::kStranger ? text::TITLE_NOT_VERIFIED
                                                                                 : text::TITLE_PAIRED;
  return FormatLine(form, text::CAPTION.get(), who.c_str());
}

// UI thread: the opening of `connection` has ended. The first to carry a session takes the
// attempt; on the waiting side the others are closed with the listening socket.
void OpeningDone(Session& s, uint32_t attempt, const std::shared_ptr<Connection>& connection,
                 sockaddr_in peer, bool server, const OpeningResult& result) {
  assert(s.port.IsUiThread());
  const auto mine =
      std::find_if(s.openings.begin(), s.openings.end(),
                   [&](const PendingOpening& o) { return o.connection == connection; });
  if (mine == s.openings.end() || s.Ended(attempt) || s.peer_socket) {
    connection->Shutdown();
    return;
  }
  s.openings.erase(mine);
  if (!result.session) {
    connection->Shutdown();
    for (const std::string& line : result.lines) {
      if (server) {
        LogRefusal(s, peer.sin_addr, text::CONNECTION_REFUSED, line);
      } else {
        s.port.AppendChatLog(line);
      }
    }
    if (!server) Teardown(s, attempt);
    return;
  }
  s.peer_addr = peer;
  // On the waiting side the session's lines follow the address it came from.
  if (server) s.port.AppendChatLog(FormatLine(text::CONNECTED, Dotted(peer.sin_addr).c_str()));
  for (const std::string& line : result.lines) s.port.AppendChatLog(line);
  s.port.SetTitle(SessionTitle(result, peer));
  connection->link().SetPeer(
      PeerLink::Peer{result.trust == Trust::kPaired || result.trust == Trust::kJustPaired,
                     result.peer_name.empty() ? Dotted(peer.sin_addr) : result.peer_name});
  s.peer_socket = connection;
  CloseListenSocket(s);
  CloseOpenings(s);
  s.security.codes.Stop();
  StartSession(s);
}

// UI thread: runs the opening of a connected socket on a thread of its own.
void StartOpening(Session& s, int fd, sockaddr_in peer, bool server) {
  assert(s.port.IsUiThread());
  auto connection = std::make_shared<Connection>(fd);
  auto set_up = std::make_shared<std::atomic<bool>>(false);
  s.openings.push_back(PendingOpening{connection, peer.sin_addr, set_up});
  OpeningParams params;
  params.setup_limit = s.options.setup_limit;
  params.set_up = std::move(set_up);
  params.server = server;
  params.classic = s.options.classic.load();
  params.security = s.security;
  params.codes = &s.security.codes;
  params.peer_label = Dotted(peer.sin_addr);
  if (!server) params.address = Dotted(peer.sin_addr) + ":" + std::to_string(ntohs(peer.sin_port));
  if (!server && s.security.ask_code) {
    params.ask_code = [&s](const std::string& fingerprint) {
      std::optional<std::string> code;
      s.port.RunOnUiThread([&] { code = s.port.AskPairingCode(fingerprint); });
      return code;
    };
  }
  const uint32_t attempt = s.attempt.load();
  s.ThreadStarted();
  std::thread([&s, connection, params = std::move(params), peer, server, attempt] {
    const OpeningResult result = OpenConnection(*connection, params);
    s.port.RunOnUiThread([&] { OpeningDone(s, attempt, connection, peer, server, result); });
    s.ThreadEnded();
  }).detach();
}

// UI thread: resolves `host` on a thread of its own, so that the window goes on meanwhile, and
// goes on with the attempt on the UI thread: a name that resolves to the own address waits
// like the own address (when the address decides), any other connects, and a name that does
// not resolve is an invalid address.
void ResolveAndConnect(Session& s, const std::string& host, int port) {
  assert(s.port.IsUiThread());
  s.resolving = true;
  const uint32_t attempt = s.attempt.load();
  const bool own_waits = s.options.connect_mode == ConnectMode::kByAddress;
  s.ThreadStarted();
  std::thread([&s, host, port, attempt, own_waits] {
    const std::optional<uint32_t> address = ResolveIpv4(host);
    const std::string own = own_waits ? OwnAddress() : std::string();
    s.port.RunOnUiThread([&] {
      if (s.Ended(attempt) || !s.resolving) return;
      s.resolving = false;
      if (!address) {
        s.port.AppendChatLog(text::INVALID_IP);
        s.port.EnableConnect(true);
      } else if (own_waits && Dotted(in_addr{*address}) == own) {
        StartListening(s, port);
      } else {
        ConnectToAddress(s, *address, port);
      }
    });
    s.ThreadEnded();
  }).detach();
}

void StartWorker(Session& s, CTHREAD& record, ThreadRoutine routine) {
  auto* args = new WorkerArgs{&s, s.peer_socket, s.attempt.load(), SessionExits()};
  if (!record.Start(routine, args, 0, 0)) delete args;
}

// UI thread.
void StartWorkers(Session& s) {
  assert(s.port.IsUiThread());
  s.batch.ResetPeer();
  StartWorker(s, s.recv_thread, ReceiveWorker);
  StartWorker(s, s.send_thread, SendWorker);
  StartWorker(s, s.chat_thread, ChatWorker);
}

}  // namespace

bool OnConnect(Session& s) {
  assert(s.port.IsUiThread());
  if (s.idle.load() == 1) {
    s.idle.store(0);
    s.attempt.fetch_add(1);
    // Workers of an ended session still finishing see the new number and stop.
    s.Notify();
    CloseListenSocket(s);
    s.port.EnableConnect(false);
    s.port.EnableDisconnect(true);
    s.saved_address = s.port.GetInputText();
    s.waiting_port = 0;
    const AddressText address = SplitAddress(s.saved_address);
    const bool listen = s.options.connect_mode == ConnectMode::kByAddress
                            ? address.host == OwnAddress()
                            : s.options.connect_mode == ConnectMode::kListen;
    if (listen) {
      StartListening(s, address.port);
    } else {
      ConnectToPeer(s, address.host, address.port);
    }
  } else if (s.chat_request.load() == 0) {
    s.chat_request.store(1);
    s.Notify();
  }
  return true;
}

void StartListening(Session& s, int port) {
  assert(s.port.IsUiThread());
  s.listen_addr = sockaddr_in{};
  s.listen_addr.sin_family = AF_INET;
  s.listen_addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  s.listen_addr.sin_addr.s_addr = htonl(INADDR_ANY);

  Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int on = 1;
  if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(fd.get(), reinterpret_cast<sockaddr*>(&s.listen_addr), sizeof s.listen_addr) != 0 ||
      listen(fd.get(), 1) != 0) {
    // Nobody could ever connect: say so instead of claiming to wait. The attempt stays
    // open (Connect enabled, as after a failed connect) until Disconnect.
    s.port.AppendChatLog(FormatLine(text::LISTEN_FAILED, port));
    s.port.EnableConnect(true);
    return;
  }
  s.listen_socket = std::move(fd);
  s.port.WatchListenSocket(s.listen_socket.get());
  s.waiting_port = ListeningPort(s);
  s.port.AppendChatLog(FormatLine(text::WAITING, port));
  if (s.options.offer_code_each_wait) (void)OfferPairingCode(s);
  AnnounceWait(s, s.waiting_port);
}

bool OfferPairingCode(Session& s) {
  assert(s.port.IsUiThread());
  if (!s.listen_socket.valid() || s.peer_socket || s.options.classic.load() ||
      !s.security.identity) {
    s.port.AppendChatLog(text::NO_CODE_TO_OFFER);
    return false;
  }
  s.port.ShowPairingCode(s.security.codes.Renew());
  return true;
}

void ConnectToPeer(Session& s, const std::string& host, int port) {
  assert(s.port.IsUiThread());
  const std::optional<uint32_t> address = ParseIpv4(host);
  if (address) return ConnectToAddress(s, *address, port);
  if (IsHostName(host)) return ResolveAndConnect(s, host, port);
  s.port.AppendChatLog(text::INVALID_IP);
  s.port.EnableConnect(true);
}

void ConnectToAddress(Session& s, uint32_t address, int port) {
  assert(s.port.IsUiThread());
  s.peer_addr = sockaddr_in{};
  s.peer_addr.sin_family = AF_INET;
  s.peer_addr.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
  s.peer_addr.sin_addr.s_addr = address;
  s.port.AppendChatLog(FormatLine(text::CONNECTING, port));

  const int fd = StartConnect(s.peer_addr);
  if (fd < 0) {
    s.port.AppendChatLog(text::CONNECT_FAILED);
    s.port.EnableConnect(true);
    return;
  }
  // The Connecting state: the event loop goes on and reports the end of the connect (or
  // its time limit) through OnSocketNotify; Disconnect closes the socket meanwhile.
  s.connect_socket.Reset(fd);
  if (!s.port.WatchConnectSocket(fd, s.options.connect_timeout_ms)) {
    // A port that cannot watch the socket: the UI thread waits for it here.
    (void)WaitReady(
        fd, POLLOUT,
        std::chrono::steady_clock::now() + std::chrono::milliseconds(s.options.connect_timeout_ms));
    FinishConnect(s);
  }
}

bool OnSocketNotify(Session& s, uint32_t word) {
  assert(s.port.IsUiThread());
  if ((word & 0xFFFF) == FD_CONNECT) {
    // Connected or not, FinishConnect finds out from the socket itself.
    FinishConnect(s);
    return true;
  }
  if ((word & 0xFFFF) != FD_ACCEPT) return true;
  int fd = -1;
  if (s.listen_socket.valid()) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    // The accepted socket is blocking: accept4 does not pass on the listener's O_NONBLOCK.
    fd = accept4(s.listen_socket.get(), reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (fd >= 0) s.peer_addr = from;
  }
  if (fd < 0) {
    s.port.AppendChatLog(text::ACCEPT_FAILED);
    return true;
  }
  // The listening socket stays open until a connection has opened a session: a silent or
  // slow one cannot keep the intended peer out, and only a few open at a time.
  Descriptor accepted(fd);
  if (!RoomForOpening(s, s.peer_addr.sin_addr)) return true;
  PrepareSessionSocket(fd);
  StartOpening(s, accepted.Release(), s.peer_addr, true);
  return true;
}

void StartSession(Session& s) {
  assert(s.port.IsUiThread());
  s.port.AppendChatLog(text::RULE);
  s.port.SetInputText("");
  s.port.SetConnectLabel(text::SEND);
  s.port.EnableConnect(true);
  s.sessions_started.fetch_add(1);
  // Workers of the previous session may still be on their way out (a Disconnect and a quick
  // Connect): the new ones start once the last of them has left its record.
  if (AnyWorkerRunning(s)) {
    s.pending_start = s.attempt.load();
    return;
  }
  s.pending_start = 0;
  StartWorkers(s);
}

void EndWorker(Session& s, CTHREAD& record) {
  // The record is emptied inside the UI step that looks for a waiting session: the last
  // worker of an ended session then always finds every record free, and whoever waits for
  // the records (under the UI thread) never sees this worker touch the session afterwards.
  const bool ran = s.port.RunOnUiThread([&s, &record] {
    record.Exit(0);
    if (s.pending_start == 0 || AnyWorkerRunning(s)) return;
    const uint32_t waiting = s.pending_start;
    s.pending_start = 0;
    if (!s.Ended(waiting) && s.peer_socket) StartWorkers(s);
  });
  if (!ran) record.Exit(0);
}

namespace {

// UI thread: the waiting side whose session has ended waits again on the same port, as a
// Connect press would have it wait.
void WaitAgain(Session& s) {
  assert(s.port.IsUiThread());
  const int port = s.waiting_port;
  s.idle.store(0);
  s.attempt.fetch_add(1);
  s.Notify();
  s.port.EnableConnect(false);
  s.port.EnableDisconnect(true);
  StartListening(s, port);
}

// UI thread: both directions back to zero, as after a batch.
void ResetMeter(Session& s) {
  assert(s.port.IsUiThread());
  for (std::atomic<int32_t>* word : {&s.send_rate, &s.send_eta, &s.recv_rate, &s.recv_eta}) {
    word->store(0);
  }
  s.port.SetSendProgress(0);
  s.port.SetRecvProgress(0);
  s.port.SetStatusText(FormatStatusLine(0, 0, 0, 0));
}

// Teardown's work; `may_wait_again` is false when the program itself ends.
bool EndAttempt(Session& s, uint32_t attempt, bool may_wait_again) {
  // The whole teardown is one step on the UI thread: the session control never races the
  // window, and a late run from an ended session finds a newer attempt number and leaves it
  // alone.
  const bool ran = s.port.RunOnUiThread([&] {
    if (attempt != s.attempt.load()) {
      // The workers of a session whose side waits again end after the new wait has begun.
      if (!s.peer_socket) ResetMeter(s);
      return;
    }
    // Only a session ends the waiting: Disconnect while waiting stops it.
    const bool wait_again = may_wait_again && s.options.keep_waiting.load() && s.waiting_port > 0 &&
                            s.peer_socket != nullptr;
    if (s.idle.exchange(1) == 0) {
      s.port.AppendChatLog(text::RULE);
      s.port.AppendChatLog(text::DISCONNECTED);
      s.port.SelectTab(0);
    }
    s.Notify();
    // Runs again after the workers' last meter updates, since they end with a Teardown of
    // their own.
    ResetMeter(s);
    CloseListenSocket(s);
    CloseConnectSocket(s);
    s.resolving = false;
    CloseOpenings(s);
    s.security.codes.Stop();
    ClosePeerSocket(s);
    s.port.SetInputText(s.saved_address);
    s.port.SetTitle(text::CAPTION);
    // An expected key holds for the attempt it was given for.
    s.security.expected_key.reset();
    s.port.SetConnectLabel(text::CONNECT);
    s.port.EnableDisconnect(false);
    s.port.EnableConnect(true);
    if (wait_again) WaitAgain(s);
  });
  if (!ran && attempt == s.attempt.load()) {
    // The window is gone; its own teardown has closed the sockets. Still stop the workers.
    s.idle.store(1);
    s.Notify();
  }
  return true;
}

}  // namespace

bool Teardown(Session& s, uint32_t attempt) { return EndAttempt(s, attempt, true); }

bool Teardown(Session& s) { return Teardown(s, s.attempt.load()); }

WorkerExits SessionExits() {
  return WorkerExits{static_cast<bool (*)(Session&, uint32_t)>(&Teardown), &EndWorker};
}

bool OnDestroy(Session& s) { return EndAttempt(s, s.attempt.load(), false); }

int ListeningPort(const Session& s) {
  if (!s.listen_socket.valid()) return -1;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (getsockname(s.listen_socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0)
    return -1;
  return ntohs(bound.sin_port);
}

}  // namespace tovrin
