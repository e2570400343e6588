#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "protocol/frame.h"
#include "protocol/peer_link.h"
#include "secure/tls_engine.h"
#include "storage/descriptor.h"

namespace tovrin {

// One connected data socket, shared by the three workers of a session.
//
// Closing happens in two steps: Shutdown() releases every worker blocked in send or recv at
// once, and the descriptor itself is closed by the destructor, when the last worker has
// dropped its reference. A descriptor number the kernel hands out again can therefore never
// be read or written by a stale worker.
class Connection final {
 public:
  // A compliant peer has one classic offer or a window of extended ones outstanding, and
  // each of them waits for one answer at a time, so at most OFFER_WINDOW + 1 answers are
  // ever waiting to be sent; more than this many is a peer flooding offers while it does not
  // read.
  static constexpr std::size_t MAX_PENDING_REPLIES = 64;

  explicit Connection(int fd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The socket, for the opening of the session (hello, TLS handshake), which runs before any
  // worker uses the connection.
  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] PeerLink& link() { return link_; }

  // Before the workers start: from now on every byte in both directions passes through
  // `engine` (the session runs inside TLS).
  void Secure(std::unique_ptr<TlsEngine> engine);
  [[nodiscard]] bool secure() const { return engine_ != nullptr; }
  // Before the workers start: bytes the opening read (complemented back) that belong to the
  // session; ReceiveSome hands them out first.
  void PutBack(const char* bytes, int count);

  // Sends one whole message (header and payload contiguous, complemented in place). Messages
  // of different threads never interleave. Any replies posted meanwhile are sent right after
  // this message, before the send lock is released.
  [[nodiscard]] bool Send(void* buffer, int count);

  // Queues an offer reply and sends it now if nobody holds the send lock; otherwise the
  // holder sends it before letting go. Never waits for the send lock: the reader must keep
  // reading while the other side streams to us. False once a send on this connection failed,
  // and when MAX_PENDING_REPLIES are already waiting (the reply is not queued): either way
  // the session is to end.
  [[nodiscard]] bool PostReply(const FrameHeader& reply);
  // The same for `count` whole answers (headers and payloads) that leave as one block.
  [[nodiscard]] bool PostReplies(const char* block, int size, int count);

  // Receives what has arrived, up to `capacity` bytes (see ReceiveSome). Receive worker only.
  [[nodiscard]] int ReceiveSome(void* buffer, int capacity);

  // Ends our sending direction after everything queued has left (a graceful close, with a
  // TLS close_notify in an encrypted session); the peer sees the end of the stream once it
  // has read every byte.
  void ShutdownSend();

  // shutdown(SHUT_RDWR): wakes every blocked send and recv. Safe to call more than once.
  void Shutdown();

 private:
  struct Posted {
    std::vector<char> bytes;
    int count;  // the answers in `bytes`
  };

  // Complements `count` bytes of `buffer` in place and sends them, through the engine when
  // there is one; the caller holds send_lock_.
  bool SendLocked(void* buffer, int count);
  // Sends what the engine produced on its own (answers to a key update); the caller holds
  // send_lock_.
  bool SendEngineOutputLocked();
  // Sends the posted replies; the caller holds send_lock_.
  bool FlushRepliesLocked();
  // After releasing send_lock_: takes it again to send replies posted in the meantime.
  void FlushRepliesAfterUnlock();

  const Descriptor fd_;
  std::mutex send_lock_;
  std::mutex replies_lock_;
  std::deque<Posted> replies_;
  std::size_t pending_ = 0;  // answers in replies_; guarded by replies_lock_
  bool failed_ = false;      // guarded by replies_lock_
  PeerLink link_;
  std::unique_ptr<TlsEngine> engine_;  // set before the workers start
  std::vector<char> sealed_;           // records on their way out; guarded by send_lock_
  std::atomic<bool> engine_output_{false};  // the reader left engine output to be sent
  std::vector<char> put_back_;         // receive worker only, as the two below
  std::size_t put_back_start_ = 0;
};

}  // namespace tovrin
