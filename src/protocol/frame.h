#pragma once

#include <cstdint>

namespace tovrin {

// The 16-byte header in front of every message. All four fields travel as little-endian
// int32, and every byte on the wire (header and payload) is complemented.
struct FrameHeader {
  int32_t type;
  int32_t handle;
  int32_t value;
  int32_t length;
};
static_assert(sizeof(FrameHeader) == 16, "FrameHeader must be 16 bytes without padding");

inline constexpr int32_t MSG_NAME = 0x01;
inline constexpr int32_t MSG_CHAT = 0x02;
inline constexpr int32_t MSG_FILE_OFFER = 0x10;
inline constexpr int32_t MSG_FILE_SEEK = 0x11;
inline constexpr int32_t MSG_FILE_DATA = 0x12;
inline constexpr int32_t MSG_FILE_CLOSE = 0x13;
inline constexpr int32_t MSG_FOLDER = 0x14;
inline constexpr int32_t MSG_BATCH_DONE = 0x15;
inline constexpr int32_t MSG_OFFER_REPLY = static_cast<int32_t>(0x80000010u);

inline constexpr int HEADER_SIZE = 16;
inline constexpr int MESSAGE_BUFFER_SIZE = 65536;
inline constexpr int MAX_PAYLOAD = MESSAGE_BUFFER_SIZE - HEADER_SIZE;  // 65,520
inline constexpr int CHUNK_SIZE = 32768;
inline constexpr int MAX_TEXT = 1024;  // longest text payload this program sends, NUL included

// Complements `count` bytes in place (b XOR 0xFF).
void Complement(void* buffer, int count);

// Writes a header in wire byte order (little-endian) into the first 16 bytes of `buffer`.
void StoreHeader(const FrameHeader& header, void* buffer);
// Reads a header from the first 16 (already complemented back) bytes of `buffer`.
[[nodiscard]] FrameHeader LoadHeader(const void* buffer);

// Complements the caller's buffer in place and sends all of it. Retries EINTR at once and
// EAGAIN after 40 ms; false on any other error or a closed connection. Never raises SIGPIPE.
// The caller holds the connection's send lock (see Connection).
[[nodiscard]] bool SendBlock(int socket, void* buffer, int count);

// Receives whatever has arrived, at least one byte and at most `capacity`, and complements
// what it got. Returns the count; 0 when the peer closed in order, -1 on an error. Retries
// EINTR at once and EAGAIN after 40 ms. A capacity of 0 or less returns -1 at once.
[[nodiscard]] int ReceiveSome(int socket, void* buffer, int capacity);

}  // namespace tovrin
