#pragma once

#include <cstdint>
#include <string>

#include "protocol/frame.h"

namespace tovrin::testing {

// A hand-driven peer on a plain socket, for feeding a session exactly the bytes a test wants.
class RawPeer final {
 public:
  RawPeer() = default;
  ~RawPeer();
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool ConnectTo(int port);
  // Sends one message; the payload is sent as given (a text needs its own NUL).
  bool Send(int32_t type, int32_t handle, int32_t value, const std::string& payload);
  // Sends a header whose length does not match what follows.
  bool SendHeader(const FrameHeader& header);
  // Sends a message already built (header and payload), as it stands.
  bool SendBuilt(const char* message, int size);
  // Reads one message (an extended type may carry up to MAX_EXT_PAYLOAD bytes); false when
  // the connection ended or nothing came within 10 s.
  bool Receive(FrameHeader& header, std::string& payload);
  // Waits for the next MSG_OFFER_REPLY, skipping anything else.
  bool ReceiveReply(FrameHeader& reply);
  // True once the other side has closed the connection (within 10 s).
  bool WaitForClose();
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace tovrin::testing
