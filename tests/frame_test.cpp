#include "protocol/frame.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <thread>
#include <vector>

namespace tovrin {
namespace {

// Both ends of a connected stream socket pair, closed on destruction.
class SocketPair final {
 public:
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
  ~SocketPair() {
    CloseA();
    CloseB();
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  int a() const { return fds_[0]; }
  int b() const { return fds_[1]; }
  void CloseA() { CloseFd(fds_[0]); }
  void CloseB() { CloseFd(fds_[1]); }

 private:
  static void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST(Frame, ChatLineAbcHasTheDocumentedWireBytes) {
  std::array<unsigned char, 20> block{};
  StoreHeader(FrameHeader{MSG_CHAT, 0, 0, 4}, block.data());
  std::memcpy(block.data() + HEADER_SIZE, "abc", 4);
  Complement(block.data(), static_cast<int>(block.size()));
  const std::array<unsigned char, 20> wire = {0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB, 0xFF,
                                              0xFF, 0xFF, 0x9E, 0x9D, 0x9C, 0xFF};
  EXPECT_EQ(block, wire);
}

TEST(Frame, HeaderIsLittleEndianAtAnyAlignment) {
  unsigned char raw[HEADER_SIZE + 1] = {};
  const FrameHeader header{MSG_OFFER_REPLY, -1, 0x01020304, MAX_PAYLOAD};
  StoreHeader(header, raw + 1);  // deliberately unaligned
  EXPECT_EQ(raw[1], 0x10);
  EXPECT_EQ(raw[4], 0x80);
  EXPECT_EQ(raw[5], 0xFF);
  EXPECT_EQ(raw[9], 0x04);
  EXPECT_EQ(raw[12], 0x01);
  const FrameHeader back = LoadHeader(raw + 1);
  EXPECT_EQ(back.type, MSG_OFFER_REPLY);
  EXPECT_EQ(back.handle, -1);
  EXPECT_EQ(back.value, 0x01020304);
  EXPECT_EQ(back.length, MAX_PAYLOAD);
}

TEST(Frame, SendAndReceiveOverASocketPair) {
  SocketPair pair;
  std::array<unsigned char, HEADER_SIZE + 4> out{};
  StoreHeader(FrameHeader{MSG_CHAT, 0, 0, 4}, out.data());
  std::memcpy(out.data() + HEADER_SIZE, "abc", 4);
  ASSERT_TRUE(SendBlock(pair.a(), out.data(), static_cast<int>(out.size())));
  EXPECT_EQ(out[0], 0xFD);  // the caller's buffer is left complemented

  // A zero count neither reads nor touches the buffer.
  unsigned char untouched = 0x42;
  EXPECT_TRUE(ReceiveBlock(pair.b(), &untouched, 0));
  EXPECT_TRUE(SendBlock(pair.a(), &untouched, 0));
  EXPECT_EQ(untouched, 0x42);

  std::array<unsigned char, HEADER_SIZE + 4> in{};
  ASSERT_TRUE(ReceiveBlock(pair.b(), in.data(), HEADER_SIZE));
  const FrameHeader header = LoadHeader(in.data());
  EXPECT_EQ(header.type, MSG_CHAT);
  EXPECT_EQ(header.length, 4);
  ASSERT_TRUE(ReceiveBlock(pair.b(), in.data() + HEADER_SIZE, header.length));
  EXPECT_STREQ(reinterpret_cast<const char*>(in.data() + HEADER_SIZE), "abc");
}

TEST(Frame, ReceiveAssemblesAHeaderArrivingInPieces) {
  SocketPair pair;
  unsigned char wire[HEADER_SIZE];
  StoreHeader(FrameHeader{MSG_FILE_DATA, 7, 0, CHUNK_SIZE}, wire);
  Complement(wire, HEADER_SIZE);

  unsigned char in[HEADER_SIZE] = {};
  bool received = false;
  std::thread reader([&] { received = ReceiveBlock(pair.b(), in, HEADER_SIZE); });
  ASSERT_EQ(::send(pair.a(), wire, 3, 0), 3);
  std::this_thread::yield();
  ASSERT_EQ(::send(pair.a(), wire + 3, 13, 0), 13);
  reader.join();
  ASSERT_TRUE(received);
  const FrameHeader header = LoadHeader(in);
  EXPECT_EQ(header.type, MSG_FILE_DATA);
  EXPECT_EQ(header.handle, 7);
  EXPECT_EQ(header.length, CHUNK_SIZE);
}

TEST(Frame, ClosedPeerFailsWithoutSigpipe) {
  SocketPair pair;
  unsigned char wire[HEADER_SIZE] = {0x01, 0x02, 0x03};
  ASSERT_EQ(::send(pair.a(), wire, 3, 0), 3);
  pair.CloseA();
  unsigned char in[HEADER_SIZE];
  EXPECT_FALSE(ReceiveBlock(pair.b(), in, HEADER_SIZE));  // three bytes, then the end

  // Sending to a closed peer must report false instead of killing the process.
  std::vector<unsigned char> block(MESSAGE_BUFFER_SIZE);
  EXPECT_FALSE(SendBlock(pair.b(), block.data(), static_cast<int>(block.size())));
  EXPECT_FALSE(SendBlock(-1, block.data(), 1));
  EXPECT_FALSE(ReceiveBlock(-1, block.data(), 1));
}

TEST(Frame, LargeBlockCrossesASmallSocketBuffer) {
  SocketPair pair;
  const int size = 1 << 20;
  std::vector<unsigned char> out(size), in(size);
  for (int i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(i % 251);
  const std::vector<unsigned char> expected = out;
  bool received = false;
  std::thread reader([&] { received = ReceiveBlock(pair.b(), in.data(), size); });
  EXPECT_TRUE(SendBlock(pair.a(), out.data(), size));
  reader.join();
  EXPECT_TRUE(received);
  EXPECT_EQ(in, expected);
}

}  // namespace
}  // namespace tovrin
