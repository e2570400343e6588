#include "protocol/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include "protocol/extended.h"

namespace tovrin {

Connection::Connection(int fd) : fd_(fd) {}

Connection::~Connection() = default;

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
  const bool sent = SendBlock(fd_.get(), opening_.data(), static_cast<int>(opening_.size()));
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
    sent = SendOpeningLocked() && SendBlock(fd_.get(), buffer, count);
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
  if (!SendOpeningLocked()) return false;
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
    if (!SendBlock(fd_.get(), reply.bytes.data(), static_cast<int>(reply.bytes.size()))) {
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
