#include "protocol/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "protocol/extended.h"

namespace tovrin {

Connection::Connection(int fd) : fd_(fd) {}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

void Connection::Begin(int own_version, std::string_view program) {
  std::call_once(begun_, [&] {
    link_.SetOwnVersion(own_version);
    if (own_version <= 0) return;
    std::lock_guard<std::mutex> lock(send_lock_);
    opening_.resize(HEADER_SIZE + MAX_HELLO_PAYLOAD);
    opening_.resize(static_cast<size_t>(BuildHello(opening_.data(), program)));
  });
}

bool Connection::SendOpening() {
  bool sent;
  {
    std::lock_guard<std::mutex> lock(send_lock_);
    sent = SendOpeningLocked() && FlushRepliesLocked();
  }
  FlushRepliesAfterUnlock();
  return sent;
}

bool Connection::SendOpeningLocked() {
  if (opening_.empty()) return true;
  const bool sent = SendBlock(fd_, opening_.data(), static_cast<int>(opening_.size()));
  opening_.clear();
  opening_.shrink_to_fit();
  if (!sent) {
    std::lock_guard<std::mutex> lock(replies_lock_);
    failed_ = true;
  }
  return sent;
}

bool Connection::Send(void* buffer, int count) {
  bool sent;
  {
    std::lock_guard<std::mutex> lock(send_lock_);
    sent = SendOpeningLocked() && SendBlock(fd_, buffer, count);
    if (!sent) {
      std::lock_guard<std::mutex> replies(replies_lock_);
      failed_ = true;
    }
    sent = FlushRepliesLocked() && sent;
  }
  FlushRepliesAfterUnlock();
  return sent;
}

bool Connection::PostReply(const FrameHeader& reply, const void* payload) {
  if (reply.length < 0 || reply.length > MAX_REPLY_PAYLOAD ||
      (reply.length > 0 && payload == nullptr)) {
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(replies_lock_);
    if (failed_ || replies_.size() >= MAX_PENDING_REPLIES) return false;
    Posted posted{reply, {}};
    if (reply.length > 0) std::memcpy(posted.payload.data(), payload, posted.header.length);
    replies_.push_back(posted);
  }
  FlushRepliesAfterUnlock();
  std::lock_guard<std::mutex> lock(replies_lock_);
  return !failed_;
}

bool Connection::FlushRepliesLocked() {
  if (!SendOpeningLocked()) return false;
  for (;;) {
    Posted reply;
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
    char block[HEADER_SIZE + MAX_REPLY_PAYLOAD];
    StoreHeader(reply.header, block);
    std::memcpy(block + HEADER_SIZE, reply.payload.data(), reply.header.length);
    if (!SendBlock(fd_, block, HEADER_SIZE + reply.header.length)) {
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

bool Connection::Receive(void* buffer, int count) { return ReceiveBlock(fd_, buffer, count); }

int Connection::ReceiveSome(void* buffer, int capacity) {
  return tovrin::ReceiveSome(fd_, buffer, capacity);
}

void Connection::ShutdownSend() {
  std::lock_guard<std::mutex> lock(send_lock_);
  FlushRepliesLocked();
  ::shutdown(fd_, SHUT_WR);
}

void Connection::Shutdown() { ::shutdown(fd_, SHUT_RDWR); }

}  // namespace tovrin
