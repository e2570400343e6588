#include "protocol/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tovrin {

namespace {

// TLS records taken from the socket in one recv.
constexpr std::size_t RECORD_BUFFER_SIZE = 256 * 1024;
// Plaintext sealed and sent at a time.
constexpr int SEAL_SLICE = 256 * 1024;

}  // namespace

Connection::Connection(int fd) : fd_(fd) {}

Connection::~Connection() = default;

void Connection::Secure(std::unique_ptr<TlsEngine> engine) {
  engine_ = std::move(engine);
}

void Connection::PutBack(const char* bytes, int count) {
  put_back_.insert(put_back_.end(), bytes, bytes + count);
}

bool Connection::SendLocked(void* buffer, int count) {
  if (!engine_) return SendBlock(fd_.get(), buffer, count);
  Complement(buffer, count);
  // In slices: the first records are on their way while the rest is sealed, and the engine
  // is held only briefly at a time.
  const auto* bytes = static_cast<const char*>(buffer);
  for (int done = 0; done < count;) {
    const int slice = std::min(count - done, SEAL_SLICE);
    sealed_.clear();
    if (!engine_->Write(bytes + done, static_cast<std::size_t>(slice), sealed_) ||
        !SendRaw(fd_.get(), sealed_.data(), sealed_.size())) {
      return false;
    }
    done += slice;
  }
  return true;
}

bool Connection::SendEngineOutputLocked() {
  if (!engine_ || !engine_output_.exchange(false)) return true;
  sealed_.clear();
  if (!engine_->TakeOutput(sealed_)) return true;
  return SendRaw(fd_.get(), sealed_.data(), sealed_.size());
}

bool Connection::Send(void* buffer, int count) {
  bool sent;
  {
    std::lock_guard<std::mutex> lock(send_lock_);
    sent = SendLocked(buffer, count);
    if (!sent) {
      std::lock_guard<std::mutex> replies(replies_lock_);
      failed_ = true;
    }
    sent = FlushRepliesLocked() && sent;
  }
  FlushRepliesAfterUnlock();
  return sent;
}

bool Connection::PostReply(const FrameHeader& reply) {
  char block[HEADER_SIZE];
  StoreHeader(reply, block);
  return PostReplies(block, HEADER_SIZE, 1);
}

bool Connection::PostReplies(const char* block, int size, int count) {
  {
    std::lock_guard<std::mutex> lock(replies_lock_);
    if (failed_ || pending_ + static_cast<std::size_t>(count) > MAX_PENDING_REPLIES) return false;
    replies_.push_back(Posted{std::vector<char>(block, block + size), count});
    pending_ += static_cast<std::size_t>(count);
  }
  FlushRepliesAfterUnlock();
  std::lock_guard<std::mutex> lock(replies_lock_);
  return !failed_;
}

bool Connection::FlushRepliesLocked() {
  if (!SendEngineOutputLocked()) {
    std::lock_guard<std::mutex> lock(replies_lock_);
    failed_ = true;
  }
  for (;;) {
    Posted reply;
    {
      std::lock_guard<std::mutex> lock(replies_lock_);
      if (replies_.empty()) return !failed_;
      reply = std::move(replies_.front());
      replies_.pop_front();
      pending_ -= static_cast<std::size_t>(reply.count);
      if (failed_) {
        replies_.clear();
        pending_ = 0;
        return false;
      }
    }
    if (!SendLocked(reply.bytes.data(), static_cast<int>(reply.bytes.size()))) {
      std::lock_guard<std::mutex> lock(replies_lock_);
      failed_ = true;
      replies_.clear();
      pending_ = 0;
      return false;
    }
  }
}

void Connection::FlushRepliesAfterUnlock() {
  // A reply posted while we held the lock was left to us; one posted after we let go finds
  // the lock free and is sent by its poster. Loop until neither case leaves one behind.
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(replies_lock_);
      if (replies_.empty() && !engine_output_.load()) return;
    }
    std::unique_lock<std::mutex> lock(send_lock_, std::try_to_lock);
    if (!lock.owns_lock()) return;  // the holder flushes before it lets go
    FlushRepliesLocked();
  }
}

int Connection::ReceiveSome(void* buffer, int capacity) {
  if (put_back_start_ < put_back_.size()) {
    const std::size_t count =
        std::min(put_back_.size() - put_back_start_, static_cast<std::size_t>(capacity));
    std::memcpy(buffer, put_back_.data() + put_back_start_, count);
    put_back_start_ += count;
    return static_cast<int>(count);
  }
  if (!engine_) return tovrin::ReceiveSome(fd_.get(), buffer, capacity);
  auto* out = static_cast<char*>(buffer);
  for (;;) {
    // As many records as have arrived, so a large read costs one call, not one per record.
    int got = 0;
    int result = TlsEngine::NEED_MORE;
    while (got < capacity && (result = engine_->Read(out + got, capacity - got)) > 0) got += result;
    if (engine_->HasOutput()) {
      engine_output_.store(true);
      FlushRepliesAfterUnlock();
    }
    if (got > 0) {
      Complement(out, got);
      return got;
    }
    if (result == TlsEngine::CLOSED) return 0;
    if (result == TlsEngine::FAILED) return -1;
    const ssize_t n = ::recv(fd_.get(), engine_->ReceiveSpace(RECORD_BUFFER_SIZE), RECORD_BUFFER_SIZE, 0);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    engine_->Received(static_cast<std::size_t>(n));
  }
}

void Connection::ShutdownSend() {
  std::lock_guard<std::mutex> lock(send_lock_);
  FlushRepliesLocked();
  if (engine_) {
    sealed_.clear();
    engine_->Close(sealed_);
    // The close is a courtesy: the shutdown below ends the stream either way.
    (void)SendRaw(fd_.get(), sealed_.data(), sealed_.size());
  }
  ::shutdown(fd_.get(), SHUT_WR);
}

void Connection::Shutdown() { ::shutdown(fd_.get(), SHUT_RDWR); }

}  // namespace tovrin
