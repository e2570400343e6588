#include "protocol/frame.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace tovrin {
namespace {

// The only wait of a would-block condition; there is no readiness notification.
constexpr auto WOULD_BLOCK_WAIT = std::chrono::milliseconds(40);

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void PutInt32(unsigned char* out, int32_t value) {
  const auto bits = static_cast<uint32_t>(value);
  out[0] = static_cast<unsigned char>(bits);
  out[1] = static_cast<unsigned char>(bits >> 8);
  out[2] = static_cast<unsigned char>(bits >> 16);
  out[3] = static_cast<unsigned char>(bits >> 24);
}

int32_t GetInt32(const unsigned char* in) {
  const uint32_t bits = static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
                        (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
  return static_cast<int32_t>(bits);
}

}  // namespace

// Runs over every data chunk in both directions, so it is written as vector code rather than
// left to the optimiser (which at -O2 keeps a plain loop scalar): four unaligned 16-byte
// lanes per step, then single lanes, then single bytes.
void Complement(void* buffer, int count) {
  if (count <= 0) return;
  using Lane = unsigned char __attribute__((vector_size(16)));
  auto* bytes = static_cast<unsigned char*>(buffer);
  const auto total = static_cast<size_t>(count);
  size_t i = 0;
  for (; i + 4 * sizeof(Lane) <= total; i += 4 * sizeof(Lane)) {
    Lane a, b, c, d;
    std::memcpy(&a, bytes + i, sizeof a);
    std::memcpy(&b, bytes + i + 16, sizeof b);
    std::memcpy(&c, bytes + i + 32, sizeof c);
    std::memcpy(&d, bytes + i + 48, sizeof d);
    a = ~a;
    b = ~b;
    c = ~c;
    d = ~d;
    std::memcpy(bytes + i, &a, sizeof a);
    std::memcpy(bytes + i + 16, &b, sizeof b);
    std::memcpy(bytes + i + 32, &c, sizeof c);
    std::memcpy(bytes + i + 48, &d, sizeof d);
  }
  for (; i + sizeof(Lane) <= total; i += sizeof(Lane)) {
    Lane lane;
    std::memcpy(&lane, bytes + i, sizeof lane);
    lane = ~lane;
    std::memcpy(bytes + i, &lane, sizeof lane);
  }
  for (; i < total; ++i) bytes[i] = static_cast<unsigned char>(~bytes[i]);
}

void StoreHeader(const FrameHeader& header, void* buffer) {
  auto* out = static_cast<unsigned char*>(buffer);
  PutInt32(out, header.type);
  PutInt32(out + 4, header.handle);
  PutInt32(out + 8, header.value);
  PutInt32(out + 12, header.length);
}

FrameHeader LoadHeader(const void* buffer) {
  const auto* in = static_cast<const unsigned char*>(buffer);
  return FrameHeader{GetInt32(in), GetInt32(in + 4), GetInt32(in + 8), GetInt32(in + 12)};
}

bool SendBlock(int socket, void* buffer, int count) {
  if (count <= 0) return true;
  Complement(buffer, count);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  int sent = 0;
  while (sent < count) {
    const ssize_t n = ::send(socket, bytes + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && IsWouldBlock(errno)) {
      std::this_thread::sleep_for(WOULD_BLOCK_WAIT);
      continue;
    }
    return false;
  }
  return true;
}

int ReceiveSome(int socket, void* buffer, int capacity) {
  if (capacity <= 0) return -1;
  for (;;) {
    const ssize_t n = ::recv(socket, buffer, static_cast<size_t>(capacity), 0);
    if (n > 0) {
      Complement(buffer, static_cast<int>(n));
      return static_cast<int>(n);
    }
    if (n == 0) return 0;  // the peer closed the connection in order
    if (errno == EINTR) continue;
    if (IsWouldBlock(errno)) {
      std::this_thread::sleep_for(WOULD_BLOCK_WAIT);
      continue;
    }
    return -1;
  }
}

}  // namespace tovrin
