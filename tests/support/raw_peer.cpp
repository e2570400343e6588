#include "support/raw_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "protocol/extended.h"

namespace tovrin::testing {

RawPeer::~RawPeer() { Close(); }

bool RawPeer::ConnectTo(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool RawPeer::Send(int32_t type, int32_t handle, int32_t value, const std::string& payload) {
  std::vector<char> block(HEADER_SIZE + payload.size());
  StoreHeader(FrameHeader{type, handle, value, static_cast<int32_t>(payload.size())}, block.data());
  std::copy(payload.begin(), payload.end(), block.begin() + HEADER_SIZE);
  return SendBlock(fd_, block.data(), static_cast<int>(block.size()));
}

bool RawPeer::SendHeader(const FrameHeader& header) {
  char block[HEADER_SIZE];
  StoreHeader(header, block);
  return SendBlock(fd_, block, HEADER_SIZE);
}

bool RawPeer::SendBuilt(const char* message, int size) {
  std::vector<char> block(message, message + size);
  return SendBlock(fd_, block.data(), size);
}

static bool Readable(int fd) {
  pollfd waiting{fd, POLLIN, 0};
  return poll(&waiting, 1, 10000) == 1;
}

bool RawPeer::Receive(FrameHeader& header, std::string& payload) {
  char block[HEADER_SIZE];
  if (!Readable(fd_) || !ReceiveBlock(fd_, block, HEADER_SIZE)) return false;
  header = LoadHeader(block);
  const int limit = IsExtendedType(header.type) ? MAX_EXT_PAYLOAD : MAX_PAYLOAD;
  if (header.length < 0 || header.length > limit) return false;
  payload.assign(static_cast<std::size_t>(header.length), '\0');
  return ReceiveBlock(fd_, payload.data(), header.length);
}

bool RawPeer::ReceiveReply(FrameHeader& reply) {
  std::string payload;
  while (Receive(reply, payload)) {
    if (reply.type == MSG_OFFER_REPLY) return true;
  }
  return false;
}

bool RawPeer::WaitForClose() {
  char byte;
  for (;;) {
    if (!Readable(fd_)) return false;
    const ssize_t got = recv(fd_, &byte, 1, 0);
    if (got <= 0) return true;
  }
}

void RawPeer::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace tovrin::testing
