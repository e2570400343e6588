#include "transfer/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace tovrin {

namespace {

// TLS records taken from the socket in one recv, and plaintext sealed and sent at a time:
// as large as a data message, which measured clearly cheaper on both sides than 256 KiB.
constexpr std::size_t RECORD_BUFFER_SIZE = 1024 * 1024;
constexpr int SEAL_SLICE = 1024 * 1024;

// Sends from `bytes` until all `count` have gone or, without `wait`, the socket takes no
// more: the count sent, or -1 on an error or a closed connection. Never raises SIGPIPE.
ssize_t SendSome(int fd, const char* bytes, std::size_t count, bool wait) {
  std::size_t sent = 0;
  while (sent < count) {
    const ssize_t n =
        ::send(fd, bytes + sent, count - sent, MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait) break;
      pollfd writable{fd, POLLOUT, 0};
      (void)::poll(&writable, 1, -1);
      continue;
    }
    return -1;
  }
  return static_cast<ssize_t>(sent);
}

}  // namespace

Connection::Connection(int fd) : fd_(fd) {}

Connection::~Connection() {
  {
    std::lock_guard<std::mutex> lock(replies_lock_);
    stopping_ = true;
  }
  flush_wake_.notify_all();
  if (flusher_.joinable()) {
    ::shutdown(fd_.get(), SHUT_RDWR);
    flusher_.join();
  }
}

void Connection::Secure(std::unique_ptr<TlsEngine> engine, bool complemented) {
  engine_ = std::move(engine);
  complemented_ = complemented;
  if (engine_) engine_->HandOverReading();
}

void Connection::PutBack(const char* bytes, int count) {
  put_back_.insert(put_back_.end(), bytes, bytes + count);
}

bool Connection::DrainUnsentLocked(bool wait) {
  if (!BlockedLocked()) return true;
  const ssize_t n =
      SendSome(fd_.get(), unsent_.data() + unsent_start_, unsent_.size() - unsent_start_, wait);
  if (n < 0) return false;
  unsent_start_ += static_cast<std::size_t>(n);
  if (!BlockedLocked()) {
    unsent_.clear();
    unsent_start_ = 0;
  }
  return true;
}

bool Connection::TransmitLocked(const char* bytes, std::size_t count, bool wait) {
  if (!DrainUnsentLocked(wait)) return false;
  if (BlockedLocked()) {
    unsent_.insert(unsent_.end(), bytes, bytes + count);
    return true;
  }
  const ssize_t n = SendSome(fd_.get(), bytes, count, wait);
  if (n < 0) return false;
  unsent_.assign(bytes + n, bytes + count);
  unsent_start_ = 0;
  return true;
}

bool Connection::SendLocked(void* buffer, int count, bool wait) {
  if (count <= 0) return true;
  if (complemented_) Complement(buffer, count);
  const auto* bytes = static_cast<const char*>(buffer);
  if (!engine_) return TransmitLocked(bytes, static_cast<std::size_t>(count), wait);
  // In slices: the first records are on their way while the rest is sealed, and the engine
  // is held only briefly at a time.
  for (int done = 0; done < count;) {
    const int slice = std::min(count - done, SEAL_SLICE);
    sealed_.clear();
    if (!engine_->Write(bytes + done, static_cast<std::size_t>(slice), sealed_) ||
        !TransmitLocked(sealed_.data(), sealed_.size(), wait)) {
      return false;
    }
    done += slice;
  }
  return true;
}

void Connection::Fail() {
  std::lock_guard<std::mutex> lock(replies_lock_);
  failed_ = true;
  replies_.clear();
  pending_ = 0;
}

bool Connection::Send(void* buffer, int count) {
  std::lock_guard<std::mutex> lock(send_lock_);
  const bool sent = SendLocked(buffer, count, true);
  if (!sent) Fail();
  return FlushRepliesLocked(true) && sent;
}

bool Connection::PostReplies(const char* block, int size, int count) {
  {
    std::lock_guard<std::mutex> lock(replies_lock_);
    if (failed_ || pending_ + static_cast<std::size_t>(count) > MAX_PENDING_REPLIES) return false;
    replies_.push_back(Posted{std::vector<char>(block, block + size), count});
    pending_ += static_cast<std::size_t>(count);
  }
  FlushWithoutWaiting();
  std::lock_guard<std::mutex> lock(replies_lock_);
  return !failed_;
}

bool Connection::FlushRepliesLocked(bool wait) {
  if (!DrainUnsentLocked(wait)) {
    Fail();
    return false;
  }
  // Without waiting, the engine's output stays with the engine while the socket is full.
  if (engine_ && !(BlockedLocked() && !wait) && engine_output_.exchange(false)) {
    sealed_.clear();
    if (engine_->TakeOutput(sealed_) && !TransmitLocked(sealed_.data(), sealed_.size(), wait)) {
      Fail();
      return false;
    }
  }
  for (;;) {
    if (!wait && BlockedLocked()) return true;
    Posted reply;
    {
      std::lock_guard<std::mutex> lock(replies_lock_);
      if (failed_) return false;
      if (replies_.empty()) return true;
      reply = std::move(replies_.front());
      replies_.pop_front();
      pending_ -= static_cast<std::size_t>(reply.count);
    }
    if (!SendLocked(reply.bytes.data(), static_cast<int>(reply.bytes.size()), wait)) {
      Fail();
      return false;
    }
  }
}

void Connection::FlushWithoutWaiting() {
  bool left = true;
  {
    std::unique_lock<std::mutex> send(send_lock_, std::try_to_lock);
    // A holder of the lock may already be past its flush: the flusher makes sure.
    if (send.owns_lock()) {
      FlushRepliesLocked(false);
      std::lock_guard<std::mutex> lock(replies_lock_);
      left = !failed_ && (BlockedLocked() || !replies_.empty() || engine_output_.load());
    }
  }
  if (left) RequestFlush();
}

void Connection::RequestFlush() {
  std::lock_guard<std::mutex> lock(replies_lock_);
  if (stopping_ || failed_) return;
  flush_requested_ = true;
  if (!flusher_.joinable()) {
    try {
      flusher_ = std::thread([this] { RunFlusher(); });
    } catch (const std::system_error&) {
      // Nothing would send what is left: the session ends instead of stalling.
      failed_ = true;
      replies_.clear();
      pending_ = 0;
      return;
    }
  }
  flush_wake_.notify_one();
}

void Connection::RunFlusher() {
  std::unique_lock<std::mutex> lock(replies_lock_);
  for (;;) {
    flush_wake_.wait(lock, [this] { return flush_requested_ || stopping_; });
    if (stopping_) return;
    flush_requested_ = false;
    lock.unlock();
    {
      std::lock_guard<std::mutex> send(send_lock_);
      FlushRepliesLocked(true);
    }
    lock.lock();
  }
}

int Connection::ReceiveSome(void* buffer, int capacity) {
  reader_.Check();
  if (put_back_start_ < put_back_.size()) {
    const std::size_t count =
        std::min(put_back_.size() - put_back_start_, static_cast<std::size_t>(capacity));
    std::memcpy(buffer, put_back_.data() + put_back_start_, count);
    put_back_start_ += count;
    return static_cast<int>(count);
  }
  if (!engine_) {
    if (!Readable()) return NOTHING_YET;
    return tovrin::ReceiveSome(fd_.get(), buffer, capacity);
  }
  auto* out = static_cast<char*>(buffer);
  for (;;) {
    // As many records as have arrived, so a large read costs one call, not one per record.
    int got = 0;
    int result = TlsEngine::NEED_MORE;
    while (got < capacity && (result = engine_->Read(out + got, capacity - got)) > 0) got += result;
    if (engine_->HasOutput()) {
      engine_output_.store(true);
      FlushWithoutWaiting();
    }
    if (got > 0) {
      if (complemented_) Complement(out, got);
      return got;
    }
    if (result == TlsEngine::CLOSED) return 0;
    if (result == TlsEngine::FAILED) return -1;
    if (!Readable()) return NOTHING_YET;
    const ssize_t n = ::recv(fd_.get(), engine_->ReceiveSpace(RECORD_BUFFER_SIZE), RECORD_BUFFER_SIZE, 0);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    engine_->Received(static_cast<std::size_t>(n));
  }
}

bool Connection::Readable() const {
  if (read_slice_.count() <= 0) return true;
  pollfd readable{fd_.get(), POLLIN, 0};
  const int ready = ::poll(&readable, 1, static_cast<int>(read_slice_.count()));
  // An interruption counts as a slice gone by; another error lets the recv that follows tell.
  return ready > 0 || (ready < 0 && errno != EINTR);
}

void Connection::ShutdownSend() {
  std::lock_guard<std::mutex> lock(send_lock_);
  FlushRepliesLocked(true);
  if (engine_) {
    sealed_.clear();
    engine_->Close(sealed_);
    // The close is a courtesy: the shutdown below ends the stream either way.
    (void)TransmitLocked(sealed_.data(), sealed_.size(), true);
  }
  ::shutdown(fd_.get(), SHUT_WR);
}

void Connection::Shutdown() { ::shutdown(fd_.get(), SHUT_RDWR); }

}  // namespace tovrin
