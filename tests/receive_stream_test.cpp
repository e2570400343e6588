// The receive worker takes the peer's stream in large pieces and cuts messages out of it.
// However the bytes arrive (a header split across sends, many messages in one send, a
// message lying across the end of the worker's buffer), every message must be carried out
// whole and in order.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/frame.h"
#include "support/test_peer.h"
#include "port/format.h"
#include "port/texts.h"

namespace tovrin::testing {
namespace {

int ConnectTo(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Appends one message in wire form (complemented) to `stream`.
void Append(std::string& stream, int32_t type, int32_t handle, const std::string& payload) {
  std::string block(HEADER_SIZE + payload.size(), '\0');
  StoreHeader(FrameHeader{type, handle, 0, static_cast<int32_t>(payload.size())}, block.data());
  block.replace(HEADER_SIZE, payload.size(), payload);
  Complement(block.data(), static_cast<int>(block.size()));
  stream += block;
}

// Sends `stream` in pieces of the given sizes (the last size repeats until all is sent).
bool SendInPieces(int fd, const std::string& stream, const std::vector<size_t>& sizes) {
  size_t sent = 0;
  for (size_t i = 0; sent < stream.size(); ++i) {
    const size_t piece = std::min(sizes[std::min(i, sizes.size() - 1)], stream.size() - sent);
    size_t done = 0;
    while (done < piece) {
      const ssize_t n = ::send(fd, stream.data() + sent + done, piece - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    sent += piece;
  }
  return true;
}

TEST(ReceiveStream, ComplementAndReceiveSomeStayInsideTheirBytes) {
  // Every path of the vector loop (64-byte steps, 16-byte lanes, single bytes) at every
  // alignment, with the bytes around the region untouched.
  for (size_t offset = 0; offset < 4; ++offset) {
    for (int length = 0; length <= 200; ++length) {
      std::vector<unsigned char> data(256);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 13);
      Complement(data.data() + offset, length);
      for (size_t i = 0; i < data.size(); ++i) {
        const auto original = static_cast<unsigned char>(i * 13);
        const bool inside = i >= offset && i < offset + static_cast<size_t>(length);
        ASSERT_EQ(data[i], inside ? static_cast<unsigned char>(~original) : original)
            << offset << " " << length << " " << i;
      }
    }
  }

  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  const unsigned char wire[5] = {0xFE, 0xFD, 0xFC, 0xFB, 0xFA};
  ASSERT_EQ(::send(pair[0], wire, sizeof wire, 0), 5);
  unsigned char in[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(ReceiveSome(pair[1], in, 3), 3);  // never more than the capacity
  EXPECT_EQ(in[0], 1);
  EXPECT_EQ(in[2], 3);
  EXPECT_EQ(in[3], 0);
  EXPECT_EQ(ReceiveSome(pair[1], in, 8), 2);  // what has arrived, without waiting for more
  EXPECT_EQ(in[1], 5);
  EXPECT_EQ(ReceiveSome(pair[1], in, 0), -1);
  ::close(pair[0]);
  EXPECT_EQ(ReceiveSome(pair[1], in, 8), 0);  // the end of the stream
  ::close(pair[1]);
}

TEST(ReceiveStream, MessagesAreCutExactlyHoweverTheBytesArrive) {
  TestPeer a;
  const int port = a.Listen();
  const int fd = ConnectTo(port);
  ASSERT_GE(fd, 0);
  a.Accept();

  std::string offer;
  Append(offer, MSG_FILE_OFFER, 0, std::string("s.bin\0", 6));
  ASSERT_TRUE(SendInPieces(fd, offer, {offer.size()}));
  FrameHeader reply{};
  for (;;) {
    char block[HEADER_SIZE];
    ASSERT_TRUE(ReceiveBlock(fd, block, HEADER_SIZE));
    reply = LoadHeader(block);
    std::string rest(static_cast<size_t>(reply.length), '\0');
    ASSERT_TRUE(ReceiveBlock(fd, rest.data(), reply.length));
    if (reply.type == MSG_OFFER_REPLY) break;
  }
  ASSERT_GE(reply.handle, 0);

  // More than the worker's buffer holds, in chunks of every awkward size, then a close and a
  // chat line, all sent at once in pieces that split headers and payloads.
  std::string expected;
  std::string stream;
  int fill = 0;
  for (const int size : {1, MAX_PAYLOAD, 3, CHUNK_SIZE, 0, 17, MAX_PAYLOAD, MAX_PAYLOAD, 5000,
                         MAX_PAYLOAD, 1, CHUNK_SIZE}) {
    std::string chunk(static_cast<size_t>(size), '\0');
    for (char& c : chunk) c = static_cast<char>(++fill * 7 % 251);
    Append(stream, MSG_FILE_DATA, reply.handle, chunk);
    expected += chunk;
  }
  Append(stream, MSG_FILE_CLOSE, reply.handle, "");
  Append(stream, MSG_CHAT, 0, std::string("done\0", 5));
  ASSERT_TRUE(SendInPieces(fd, stream, {1, 15, 7, 9, 65536, 100003, 3, 200000}));
  ASSERT_TRUE(WaitFor([&] { return a.port.HasChatLine(FormatLine(text::kChatReceived, "done")); }));
  std::ifstream file(a.dir.path() + "save/s.bin", std::ios::binary);
  const std::string received((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);

  // A length no buffer could hold, right behind a good message in the same send: the good one
  // is still carried out, then the session ends without reading on.
  std::string bad;
  Append(bad, MSG_CHAT, 0, std::string("last\0", 5));
  std::string header(HEADER_SIZE, '\0');
  StoreHeader(FrameHeader{MSG_CHAT, 0, 0, MAX_PAYLOAD + 1}, header.data());
  Complement(header.data(), HEADER_SIZE);
  bad += header;
  ASSERT_TRUE(SendInPieces(fd, bad, {bad.size()}));
  EXPECT_TRUE(WaitFor([&] { return a.port.HasChatLine(text::kDisconnected); }));
  EXPECT_TRUE(a.port.HasChatLine(FormatLine(text::kChatReceived, "last")));
  ::close(fd);
}

}  // namespace
}  // namespace tovrin::testing
