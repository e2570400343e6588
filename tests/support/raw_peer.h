#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/socket_io.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "support/sockets.h"

namespace tovrin::testing {

// Receives exactly `count` wire bytes within 10 s and complements them back; false when the
// peer closed first, on an error or out of time.
[[nodiscard]] inline bool ReceiveWire(int socket, void* buffer, int count) {
  if (count <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  if (ReceiveAll(socket, buffer, static_cast<std::size_t>(count), deadline) != IoEnd::kDone) {
    return false;
  }
  Complement(buffer, count);
  return true;
}

// One message in wire form. The header's length goes out as given, so it may lie about the
// payload that follows.
[[nodiscard]] inline std::string Wire(const FrameHeader& header, const std::string& payload = "") {
  std::string block(HEADER_SIZE, '\0');
  StoreHeader(header, block.data());
  block += payload;
  Complement(block.data(), static_cast<int>(block.size()));
  return block;
}

// The message one of the protocol's builders writes, for RawPeer::SendBuilt.
template <typename Build>
[[nodiscard]] std::string Built(Build build) {
  std::string message(HEADER_SIZE + EXT_OFFER_FIXED + MAX_EXT_TEXT, '\0');
  message.resize(static_cast<std::size_t>(build(message.data())));
  return message;
}

// A hand-driven peer on a plain socket, for feeding a session exactly the bytes a test wants.
class RawPeer final {
 public:
  RawPeer() = default;
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool ConnectTo(int port) {
    fd_ = testing::ConnectTo(port);
    return fd_.valid();
  }
  // The same from the loopback address `source`.
  bool ConnectFrom(const std::string& source, int port) {
    fd_ = testing::ConnectFrom(source, port);
    return fd_.valid();
  }
  // Sends one message; the payload is sent as given (a text needs its own NUL).
  bool Send(int32_t type, int32_t handle, int32_t value, const std::string& payload) {
    return SendBytes(Wire({type, handle, value, static_cast<int32_t>(payload.size())}, payload));
  }
  // Sends a message built by the protocol's own builders (header and payload), as it stands.
  bool SendBuilt(std::string message) {
    Complement(message.data(), static_cast<int>(message.size()));
    return SendBytes(message);
  }
  // Sends `bytes` in pieces of the given sizes (the last one repeats); all at once without.
  bool SendBytes(const std::string& bytes, const std::vector<std::size_t>& pieces = {}) {
    for (std::size_t sent = 0, i = 0; sent < bytes.size(); ++i) {
      const std::size_t piece =
          pieces.empty() ? bytes.size() : pieces[std::min(i, pieces.size() - 1)];
      for (const std::size_t end = std::min(bytes.size(), sent + piece); sent < end;) {
        const ssize_t n = ::send(fd_.get(), bytes.data() + sent, end - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
      }
    }
    return true;
  }
  // Reads one message (an extended type may carry up to MAX_EXT_PAYLOAD bytes); false when
  // the connection ended or nothing came within 10 s.
  bool Receive(FrameHeader& header, std::string& payload) {
    char block[HEADER_SIZE];
    if (!Readable() || !ReceiveWire(fd_.get(), block, HEADER_SIZE)) return false;
    header = LoadHeader(block);
    const int limit = IsExtendedType(header.type) ? MAX_EXT_PAYLOAD : MAX_PAYLOAD;
    if (header.length < 0 || header.length > limit) return false;
    payload.assign(static_cast<std::size_t>(header.length), '\0');
    return ReceiveWire(fd_.get(), payload.data(), header.length);
  }
  // Reads until a message of `type`, skipping anything else.
  bool ReceiveType(int32_t type, FrameHeader& header, std::string& payload) {
    while (Receive(header, payload)) {
      if (header.type == type) return true;
    }
    return false;
  }
  bool ReceiveReply(FrameHeader& reply) {
    std::string payload;
    return ReceiveType(MSG_OFFER_REPLY, reply, payload);
  }
  // True once the other side has closed the connection (within 10 s).
  bool WaitForClose() {
    char byte;
    while (Readable()) {
      if (recv(fd_.get(), &byte, 1, 0) <= 0) return true;
    }
    return false;
  }
  void Close() { fd_.Reset(); }

 private:
  bool Readable() {
    pollfd waiting{fd_.get(), POLLIN, 0};
    return poll(&waiting, 1, 10000) == 1;
  }

  Descriptor fd_;
};

}  // namespace tovrin::testing
