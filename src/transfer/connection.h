#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "net/descriptor.h"
#include "net/owner_thread.h"
#include "protocol/frame.h"
#include "protocol/peer_link.h"
#include "secure/tls_engine.h"

namespace tovrin {

// One connected data socket, shared by the three workers of a session.
//
// Closing happens in two steps: Shutdown() releases every worker blocked in send or recv at
// once, and the descriptor itself is closed by the destructor, when the last worker has
// dropped its reference. A descriptor number the kernel hands out again can therefore never
// be read or written by a stale worker.
//
// The thread that reads the connection never waits for the socket to take bytes: a peer that
// streams to us while it reads nothing back must still be read, or two sides that both stream
// with full buffers would wait for each other for ever. What the reader cannot send at once
// is left to the holder of the send lock or to the connection's flusher thread, which may
// wait.
class Connection final {
 public:
  // A compliant peer has one classic offer or a window of extended ones outstanding, and
  // each of them waits for one answer at a time, so at most OFFER_WINDOW + 1 answers are
  // ever waiting to be sent; more than this many is a peer flooding offers while it does not
  // read.
  static constexpr std::size_t MAX_PENDING_REPLIES = 64;

  explicit Connection(int fd);
  // Shuts the socket down first when the flusher runs, so that it never keeps the
  // destructor waiting on a peer that reads nothing.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The socket, for the opening of the session (hello, TLS handshake), which runs before any
  // worker uses the connection.
  [[nodiscard]] int fd() const { return fd_.get(); }
  [[nodiscard]] PeerLink& link() { return link_; }

  // Before the workers start: from now on every byte in both directions passes through
  // `engine` (the session runs inside TLS), the frames inside complemented or not as
  // `complemented` says (the session's version decides).
  void Secure(std::unique_ptr<TlsEngine> engine, bool complemented);
  // Before the workers start: bytes the opening read (complemented back) that belong to the
  // session; ReceiveSome hands them out first.
  void PutBack(const char* bytes, int count);

  // Sends one whole message (header and payload contiguous, complemented in place). Messages
  // of different threads never interleave. Any replies posted meanwhile are sent right after
  // this message, before the send lock is released.
  [[nodiscard]] bool Send(void* buffer, int count);

  // Queues `count` whole answers to the peer's offers (headers and payloads) that leave as one
  // block, and sends as much as the socket takes at once if nobody holds the send lock; the
  // rest is sent by the holder before it lets go, or by the flusher. Never waits, neither for
  // the send lock nor for the socket: the reader must keep reading while the other side
  // streams to us. An answer counts as waiting until everything before it has been handed to
  // the socket. False once a send on this connection failed, and when MAX_PENDING_REPLIES
  // would be waiting (nothing is queued): either way the session is to end.
  [[nodiscard]] bool PostReplies(const char* block, int size, int count);

  // ReceiveSome's result when a wait of the reader's slice passed without a byte.
  static constexpr int NOTHING_YET = -2;
  // Receives what has arrived, up to `capacity` bytes (see ReceiveSome); with a slice set,
  // NOTHING_YET once it has passed without a byte. One thread only, the receive worker
  // (asserted: the first caller owns the connection's reading).
  [[nodiscard]] int ReceiveSome(void* buffer, int capacity);
  // The reader's: waits for bytes give up after `slice` (zero: they do not), so that the
  // reader looks at something other than the socket now and then.
  void SetReadSlice(std::chrono::milliseconds slice) { read_slice_ = slice; }

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

  // The routines below run under send_lock_. `wait` says whether the caller may wait for
  // the socket; without it, whatever the socket does not take at once is kept in unsent_.

  // Complements `count` bytes of `buffer` in place (unless they go through an engine that
  // carries the frames as they are) and sends them, through the engine when there is one.
  bool SendLocked(void* buffer, int count, bool wait);
  // Sends wire bytes after those still unsent; false on an error.
  bool TransmitLocked(const char* bytes, std::size_t count, bool wait);
  // Sends what is left of unsent_; false on an error.
  bool DrainUnsentLocked(bool wait);
  [[nodiscard]] bool BlockedLocked() const { return unsent_start_ < unsent_.size(); }
  // Sends the engine's own output (answers to a key update) and the posted replies; without
  // `wait` it stops once the socket is full, leaving the replies still queued.
  bool FlushRepliesLocked(bool wait);
  // Without a read slice true at once; else whether bytes (or the end) came within it.
  [[nodiscard]] bool Readable() const;
  // Marks the connection failed and drops every queued reply.
  void Fail();

  // The reader's part: flushes what it can without waiting and hands the rest to the flusher.
  void FlushWithoutWaiting();
  // Wakes the flusher, starting it the first time.
  void RequestFlush();
  // The flusher thread: sends, waiting as long as needed, whatever the reader left.
  void RunFlusher();

  const Descriptor fd_;
  std::mutex send_lock_;
  std::mutex replies_lock_;
  std::deque<Posted> replies_;
  std::size_t pending_ = 0;  // answers in replies_; guarded by replies_lock_
  bool failed_ = false;      // guarded by replies_lock_
  PeerLink link_;
  std::unique_ptr<TlsEngine> engine_;  // set before the workers start, as the one below
  bool complemented_ = true;           // the frames are complemented on the wire or in TLS
  std::vector<char> sealed_;           // records on their way out; guarded by send_lock_
  // Wire bytes (complemented, sealed) the socket has not taken yet, from unsent_start_ on:
  // they leave before anything else. Guarded by send_lock_.
  std::vector<char> unsent_;
  std::size_t unsent_start_ = 0;
  std::atomic<bool> engine_output_{false};  // the reader left engine output to be sent
  std::condition_variable flush_wake_;      // with replies_lock_, as the three below
  bool flush_requested_ = false;
  bool stopping_ = false;
  std::thread flusher_;
  OwnerThread reader_;
  std::chrono::milliseconds read_slice_{0};  // receive worker only, as the two below
  std::vector<char> put_back_;
  std::size_t put_back_start_ = 0;
};

}  // namespace tovrin
