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
                        (static_cast<uint32_t>(in[2]) << 16) |
                        (static_cast<uint32_t>(in[3]) << 24);
  return static_cast<int32_t>(bits);
}

}  // namespace

// Runs over every data chunk in both directions: eight bytes per step through memcpy (no
// alignment assumptions), which the compiler turns into vector code.
void Complement(void* buffer, int count) {
  if (count <= 0) return;
  auto* bytes = static_cast<unsigned char*>(buffer);
  const auto total = static_cast<size_t>(count);
  size_t i = 0;
  for (; i + 8 <= total; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    word = ~word;
    std::memcpy(bytes + i, &word, 8);
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
    const ssize_t n =
        ::send(socket, bytes + sent, static_cast<size_t>(count - sent), MSG_NOSIGNAL);
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

bool ReceiveBlock(int socket, void* buffer, int count) {
  if (count <= 0) return true;
  auto* bytes = static_cast<unsigned char*>(buffer);
  int got = 0;
  bool result = true;
  while (got < count) {
    const ssize_t n = ::recv(socket, bytes + got, static_cast<size_t>(count - got), 0);
    if (n > 0) {
      got += static_cast<int>(n);
      continue;
    }
    if (n == 0) {  // the peer closed the connection in order
      result = false;
      break;
    }
    if (errno == EINTR) continue;
    if (IsWouldBlock(errno)) {
      std::this_thread::sleep_for(WOULD_BLOCK_WAIT);
      continue;
    }
    result = false;
    break;
  }
  // Also after a failure: callers never see raw wire bytes, only undefined ones.
  Complement(buffer, count);
  return result;
}

}  // namespace tovrin
