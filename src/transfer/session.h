#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/descriptor.h"
#include "secure/security_settings.h"
#include "transfer/cthread.h"

namespace tovrin {

class Connection;
class NearbyWait;
class SendQueue;
class WindowPort;

inline constexpr int32_t REPLY_PENDING = -9999;
inline constexpr int32_t PEER_QUEUE_UNKNOWN = -1;

// The longest a wait on the shared words goes without looking at the session's end.
inline constexpr auto IDLE_CHECK = std::chrono::milliseconds(100);

// A connect that gets no answer gives up after this long.
inline constexpr int CONNECT_TIMEOUT_MS = 20000;

// The waiting side: the peer's hello and the TLS handshake have to be through this long after
// the accept; the rest of the opening's time limit is for a person typing a pairing code.
inline constexpr auto SETUP_TIME_LIMIT = std::chrono::seconds(10);

// How a Connect press decides between waiting and connecting: by the address text (the own
// address waits, any other connects), or always one of the two (the console's --listen and
// --connect).
enum class ConnectMode { kByAddress, kListen, kConnect };

// Who may send files without the user being asked (the console's --accept, the window's ask):
// everyone, only paired peers (others are declined), nobody, or the user decides through
// WindowPort::AskIncomingBatch.
enum class AcceptPolicy { kAll, kPaired, kNone, kAsk };

// How the front end wants its sessions made: the console's options, the window's settings.
// UI thread, apart from the atomic words, which the workers read as a session starts.
struct SessionOptions final {
  // --classic and the window's setting: no hello is sent and a peer's is dropped, so the
  // session is classic whoever the peer is.
  std::atomic<bool> classic{false};
  // --exit-after-batch: the send worker half-closes the connection after MSG_BATCH_DONE, and
  // the session ends once the peer has read everything.
  std::atomic<bool> close_after_batch{false};
  ConnectMode connect_mode = ConnectMode::kByAddress;
  int connect_timeout_ms = CONNECT_TIMEOUT_MS;
  // The waiting side's limit for a peer's hello and TLS handshake (shorter in tests).
  std::chrono::milliseconds setup_limit{SETUP_TIME_LIMIT};
  // --offer-pairing: every wait offers one pairing code as it starts (UI thread).
  bool offer_code_each_wait = false;
  // --keep-listening and the window's setting: a session of the waiting side that ends makes
  // it wait again at once (read on the UI thread as the session ends).
  std::atomic<bool> keep_waiting{false};
  // Announce each wait to nearby peers (session/nearby_wait.h); the front ends turn it on
  // unless their user turned it off.
  bool announce = false;
  // Whose batches are received (read as each batch or ungated offer is answered).
  std::atomic<AcceptPolicy> accept{AcceptPolicy::kAll};
  // Under kAsk: a paired peer's batches are accepted without asking (the window's setting).
  std::atomic<bool> accept_paired{true};
  // A question put to the user and not answered within this long is declined.
  std::chrono::milliseconds answer_limit{std::chrono::minutes(5)};
};

// How the batches of a session fare. The receive worker writes the peer's words, the send
// worker reads them for --exit-after-batch (ResetPeer before the workers start): the peer's
// files in flight (accepted and not ended), the state of its queue as it announced it on the
// extended wire (PEER_QUEUE_UNKNOWN until then), and when its transfer last made progress.
struct BatchState final {
  std::atomic<int32_t> peer_files{0};
  std::atomic<int32_t> peer_queue{PEER_QUEUE_UNKNOWN};
  std::atomic<uint32_t> peer_progress_ms{0};
  void ResetPeer();
  // Queued files that were not delivered (refused, not sendable, failed their check twice);
  // what is still queued when the session ends is not counted here. Send worker.
  std::atomic<int32_t> undelivered{0};
  // The running batch's size as announced on the extended wire: this side's (send worker, as
  // it announces) and the peer's (receive worker, from the announcement); 0 files while no
  // announced batch runs.
  std::atomic<uint64_t> send_files_total{0};
  std::atomic<uint64_t> send_bytes_total{0};
  std::atomic<uint64_t> recv_files_total{0};
  std::atomic<uint64_t> recv_bytes_total{0};
};

// A connection whose opening runs on a thread of its own, on the waiting side or the
// connecting side.
struct PendingOpening {
  std::shared_ptr<Connection> connection;
  in_addr address{};  // the peer's
  // Set by the opening once its TLS handshake is through.
  std::shared_ptr<std::atomic<bool>> set_up;
};

// The state of the one session the program has at a time, shared by the UI thread and the
// three workers. It is never destroyed while a worker may still use it: the front ends keep
// it for the whole process.
//
// Threads meet here only in the atomic words and through Notify(); the sockets, the
// addresses and saved_address belong to the UI thread (the session control runs there).
struct Session final {
  Session(WindowPort& port, SendQueue& queue, std::string save_dir);
  // Shuts down the connections still opening and waits for their threads.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  CTHREAD send_thread;
  CTHREAD recv_thread;
  CTHREAD chat_thread;

  // The classic codec's form of the answer to its one offer (send worker): REPLY_PENDING
  // while it waits; the peer's handle and what it holds once the answer, which comes from
  // the receive worker through the connection's PeerLink like every answer, is taken.
  std::atomic<int32_t> reply_handle{0};
  std::atomic<int32_t> reply_size{0};
  // 1 = no session and no attempt; also the workers' stop signal.
  std::atomic<int32_t> idle{0};
  std::atomic<int32_t> chat_request{0};

  std::atomic<int32_t> recv_rate{0};
  std::atomic<int32_t> send_rate{0};
  std::atomic<int32_t> send_eta{0};
  std::atomic<int32_t> recv_eta{0};

  // Counts Connect presses. Every worker carries the number of the attempt it belongs to,
  // so a late Teardown of an ended session never touches a newer attempt, and a worker of an
  // ended session stops even when a newer attempt has already set idle back to 0.
  std::atomic<uint32_t> attempt{0};
  // Sessions started so far (StartSession runs): what the console's exit code is decided by.
  std::atomic<int32_t> sessions_started{0};

  // True once the session or attempt numbered `number` has ended for its workers.
  [[nodiscard]] bool Ended(uint32_t number) const {
    return idle.load() != 0 || attempt.load() != number;
  }

  // UI thread only.
  // A session whose workers wait for those of the previous session to end (StartSession
  // found a record still held); EndWorker starts them. 0: none waits.
  uint32_t pending_start = 0;
  Descriptor listen_socket;
  // The socket of a connect under way (non-blocking, watched by the port).
  Descriptor connect_socket;
  // The attempt's host name is being resolved on a thread of its own.
  bool resolving = false;
  // The announcement of the wait under way and what the chat log has said about nearby peers
  // (session/nearby_wait.h); made when first needed.
  std::shared_ptr<NearbyWait> nearby;
  std::shared_ptr<Connection> peer_socket;
  // Connections whose opening runs on a thread of its own, oldest first (the waiting side
  // takes several at a time; the first to open carries the session).
  std::vector<PendingOpening> openings;
  // The waiting side: when a refused or dropped connection was last logged, by address
  // (network order); entries older than a minute are dropped.
  std::map<in_addr_t, std::chrono::steady_clock::time_point> refusals_logged;
  std::string saved_address;
  sockaddr_in listen_addr{};
  // The port this attempt waits on, once its listening socket is bound; 0 for an attempt
  // that connects or could not listen.
  int waiting_port = 0;
  sockaddr_in peer_addr{};

  WindowPort& port;
  SendQueue& queue;
  const std::string save_dir;

  // Each an object of its own: this side's key, paired peers and pairing codes (LoadSecurity
  // and the front end set them; read as each attempt starts), the front end's options, and
  // how the batches fare.
  Security security;
  SessionOptions options;
  BatchState batch;

  // The peer broke the wire's rules and the session is to end: logs why, once per session,
  // while session `number` lasts. Any worker.
  void ReportViolation(uint32_t number, const char* reason);

  // Wakes every wait on the shared words; call after changing one of them.
  void Notify();
  // Waits until `ready` holds or `limit` has passed (whichever first); returns `ready()`.
  template <typename Predicate>
  bool WaitFor(Predicate ready, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(wake_mutex_);
    return wake_.wait_for(lock, limit, ready);
  }

  // Threads of openings: counted so that the session outlives them.
  void ThreadStarted();
  void ThreadEnded();

 private:
  std::atomic<uint32_t> violation_reported_{0};  // the last session whose violation was logged
  int threads_ = 0;  // guarded by wake_mutex_
  std::mutex wake_mutex_;
  std::condition_variable wake_;
};

// How a worker leaves its session, handed down by the session control so that the workers
// need nothing above them: `teardown` ends the session or attempt numbered `attempt` (any
// thread), `end_worker` is the worker's last act (empties its record and starts the workers of
// a session that waited for it).
struct WorkerExits {
  bool (*teardown)(Session& s, uint32_t attempt);
  void (*end_worker)(Session& s, CTHREAD& record);
};

// What StartSession hands each worker: it owns this and deletes it.
struct WorkerArgs {
  Session* session;
  std::shared_ptr<Connection> connection;
  uint32_t attempt;
  WorkerExits exits;
};

}  // namespace tovrin
