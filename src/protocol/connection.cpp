#include "protocol/connection.h"

#include <sys/socket.h>
#include <unistd.h>

namespace tovrin {

Connection::Connection(int fd) : fd_(fd) {}

Connection::~Connection() = default;

bool Connection::Send(void* buffer, int count) {
  bool sent;
  {
    std::lock_guard<std::mutex> lock(send_lock_);
    sent = SendBlock(fd_.get(), buffer, count);
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
  {
    std::lock_guard<std::mutex> lock(replies_lock_);
    if (failed_ || replies_.size() >= MAX_PENDING_REPLIES) return false;
    replies_.push_back(reply);
  }
  FlushRepliesAfterUnlock();
  std::lock_guard<std::mutex> lock(replies_lock_);
  return !failed_;
}

bool Connection::FlushRepliesLocked() {
  for (;;) {
    FrameHeader reply;
    {
      std::lock_guard<std::mutex> lock(replies_lock_);
      if (replies_.empty()) return !failed_;
      reply = replies_.front();
      replies_.pop_front();
      if (failed_) {
        replies_.clear();
        return false;
      }
    }
    unsigned char block[HEADER_SIZE];
    StoreHeader(reply, block);
    if (!SendBlock(fd_.get(), block, HEADER_SIZE)) {
      std::lock_guard<std::mutex> lock(replies_lock_);
      failed_ = true;
      replies_.clear();
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
      if (replies_.empty()) return;
    }
    std::unique_lock<std::mutex> lock(send_lock_, std::try_to_lock);
    if (!lock.owns_lock()) return;  // the holder flushes before it lets go
    FlushRepliesLocked();
  }
}

int Connection::ReceiveSome(void* buffer, int capacity) {
  return tovrin::ReceiveSome(fd_.get(), buffer, capacity);
}

void Connection::ShutdownSend() {
  std::lock_guard<std::mutex> lock(send_lock_);
  FlushRepliesLocked();
  ::shutdown(fd_.get(), SHUT_WR);
}

void Connection::Shutdown() { ::shutdown(fd_.get(), SHUT_RDWR); }

}  // namespace tovrin
