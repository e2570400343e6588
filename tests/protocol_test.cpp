// The wire: frames, the connection's send side and the texts on it.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/descriptor.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "support/raw_peer.h"
#include "support/recording_port.h"
#include "transfer/connection.h"

namespace tovrin::testing {
namespace {

using Bytes = std::vector<unsigned char>;

[[nodiscard]] bool PostReply(Connection& connection, const FrameHeader& reply) {
  char block[HEADER_SIZE];
  StoreHeader(reply, block);
  return connection.PostReplies(block, HEADER_SIZE, 1);
}

TEST(Frame, WireBytesAreLittleEndianAndComplementedAtAnyAlignment) {
  Bytes block(1 + HEADER_SIZE + 4);
  StoreHeader(FrameHeader{MSG_OFFER_REPLY, -1, 0x01020304, MAX_PAYLOAD}, &block[1]);
  EXPECT_EQ(Bytes(block.begin() + 1, block.begin() + 17),
            (Bytes{0x10, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 4, 3, 2, 1, 0xF0, 0xFF, 0, 0}));
  Bytes again(HEADER_SIZE);
  StoreHeader(LoadHeader(&block[1]), again.data());
  EXPECT_EQ(again, Bytes(block.begin() + 1, block.begin() + 17));

  // The chat line "abc" as it goes on the wire.
  StoreHeader(FrameHeader{MSG_CHAT, 0, 0, 4}, &block[1]);
  std::memcpy(&block[1 + HEADER_SIZE], "abc", 4);
  Complement(&block[1], 20);
  EXPECT_EQ(Bytes(block.begin() + 1, block.end()),
            (Bytes{0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                   0xFF, 0xFF, 0xFB, 0xFF, 0xFF, 0xFF, 0x9E, 0x9D, 0x9C, 0xFF}));

  // Every path of the vector loop (64-byte steps, 16-byte lanes, single bytes) at every
  // alignment, with the bytes around the region untouched.
  for (int offset = 0; offset < 4; ++offset) {
    for (int length = 0; length <= 200; ++length) {
      Bytes data(256);
      for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 13);
      Complement(&data[offset], length);
      for (int i = 0; i < 256; ++i) {
        const auto original = static_cast<unsigned char>(i * 13);
        const bool inside = i >= offset && i < offset + length;
        ASSERT_EQ(data[i], inside ? static_cast<unsigned char>(~original) : original)
            << offset << " " << length << " " << i;
      }
    }
  }
}

TEST(Frame, BlocksCrossASocketWholeAndAClosedPeerFailsWithoutSigpipe) {
  SocketPair pair;
  // More than the socket buffers hold, so the send goes out in parts.
  Bytes out(1 << 20), in(1 << 20);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(i % 251);
  const Bytes expected = out;
  bool received = false;
  std::thread reader([&] { received = ReceiveWire(pair.b.get(), in.data(), 1 << 20); });
  EXPECT_TRUE(SendBlock(pair.a.get(), out.data(), 1 << 20));
  reader.join();
  EXPECT_TRUE(received);
  EXPECT_TRUE(in == expected);
  EXPECT_EQ(out[0], static_cast<unsigned char>(~expected[0]));  // left complemented

  // ReceiveSome takes what has arrived, never more than asked for, without waiting for more.
  const unsigned char wire[5] = {0xFE, 0xFD, 0xFC, 0xFB, 0xFA};
  ASSERT_EQ(::send(pair.a.get(), wire, 5, 0), 5);
  EXPECT_EQ(ReceiveSome(pair.b.get(), in.data(), 3), 3);
  EXPECT_EQ(in[2], 3);  // complemented
  EXPECT_EQ(ReceiveSome(pair.b.get(), in.data(), 8), 2);
  EXPECT_EQ(ReceiveSome(pair.b.get(), in.data(), 0), -1);

  // The peer closes: the end of the stream, and a send that fails without SIGPIPE.
  ASSERT_EQ(::send(pair.a.get(), wire, 3, 0), 3);
  pair.a.Reset();
  EXPECT_EQ(ReceiveSome(pair.b.get(), in.data(), 8), 3);
  EXPECT_EQ(ReceiveSome(pair.b.get(), in.data(), 8), 0);
  EXPECT_FALSE(SendBlock(pair.b.get(), in.data(), MESSAGE_BUFFER_SIZE));
  EXPECT_FALSE(SendBlock(-1, in.data(), 1));
  EXPECT_EQ(ReceiveSome(-1, in.data(), 1), -1);
}

// A peer with a tiny receive buffer that floods offers and reads nothing: the thread that
// reads never waits on the socket, so the answers waiting behind the blocked send pile up
// past the bound within moments (a violation, not more memory), and what did reach the peer
// is whole answers, in order.
TEST(Connection, AReaderNeverWaitsForAPeerThatReadsNothing) {
  SocketPair pair;
  const int small = 4096;
  ASSERT_EQ(::setsockopt(pair.a.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  Connection connection(pair.a.Release());
  std::atomic<bool> refused{false};
  int32_t posted = 0;
  std::thread reader([&] {
    while (PostReply(connection, FrameHeader{MSG_OFFER_REPLY, posted, -1, 0})) ++posted;
    refused = true;
  });
  const bool ended = WaitFor([&] { return refused.load(); }, std::chrono::seconds(60));
  connection.Shutdown();
  reader.join();
  ASSERT_TRUE(ended);

  std::vector<char> arrived(static_cast<size_t>(posted + 1) * HEADER_SIZE);
  size_t got = 0;
  for (ssize_t n;
       (n = ::recv(pair.b.get(), arrived.data() + got, arrived.size() - got, MSG_DONTWAIT)) > 0;)
    got += static_cast<size_t>(n);
  ASSERT_GT(got, 0u);
  for (size_t i = 0; i * HEADER_SIZE < got; ++i) {
    Complement(&arrived[i * HEADER_SIZE], HEADER_SIZE);
    const FrameHeader reply = LoadHeader(&arrived[i * HEADER_SIZE]);
    ASSERT_EQ(reply.type, MSG_OFFER_REPLY);
    ASSERT_EQ(reply.handle, static_cast<int32_t>(i));
  }
}

using namespace std::string_literals;

const std::string kHyoWire = "\x95\x5C";  // 表: its trail byte is the separator byte
const std::string kSoWire = "\x83\x5C";   // ソ

// A batch announcement keeps its sizes and at most 8 names, each cut at a character boundary;
// a receiver refuses more names, longer ones, or a name without its NUL.
TEST(Extended, BatchAnnouncementsAreBounded) {
  BatchAnnouncement sent{3, uint64_t{1} << 40, {}};
  for (int i = 0; i < 9; ++i) sent.names.push_back(std::to_string(i));
  sent.names[0] = std::string(254, 'x') + "é";
  std::string message(HEADER_SIZE + MAX_BATCH_PAYLOAD, '\0');
  message.resize(static_cast<size_t>(BuildBatch(message.data(), sent)));
  const FrameHeader header = LoadHeader(message.data());
  EXPECT_EQ(header.type, MSG_EXT_BATCH);
  BatchAnnouncement got;
  ASSERT_TRUE(ParseBatch(message.data() + HEADER_SIZE, header.length, got));
  EXPECT_EQ(got.files, 3u);
  EXPECT_EQ(got.bytes, uint64_t{1} << 40);
  ASSERT_EQ(got.names.size(), 8u);
  EXPECT_EQ(got.names[0], std::string(254, 'x'));
  EXPECT_EQ(got.names[7], "7");
  const std::string fixed = message.substr(HEADER_SIZE, 16);
  for (const std::string& names :
       {std::string(9 * 2, '\0'), std::string(256, 'y') + '\0', std::string("open")}) {
    const std::string payload = fixed + names;
    EXPECT_FALSE(ParseBatch(payload.data(), static_cast<int>(payload.size()), got));
  }
  EXPECT_FALSE(ParseBatch(fixed.data(), 15, got));
}

TEST(WireText, ConversionsKeepSeparatorsAndTrailBytes) {
  // Half-width katakana is one byte.
  EXPECT_EQ(Utf8ToCp932("\\~表ソｱ"), "\\~" + kHyoWire + kSoWire + "\xB1");
  EXPECT_EQ(Cp932ToUtf8("\\~" + kHyoWire + kSoWire + "\xB1"), "\\~表ソｱ");

  // Characters that would arrive as another character have no cp932 form.
  for (const std::string& bad : {"a¥b"s, "a‾b"s, "€"s, "\xFF"s}) {
    EXPECT_EQ(Utf8ToCp932(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(Utf8ToCp932Lossy("a¥b€c", '?'), "a?b?c");
  EXPECT_EQ(Utf8ToCp932Lossy("x\xE8\xA1y表", '_'), "x_y" + kHyoWire);  // cut character
  EXPECT_EQ(ChatTextToWire(std::string("ab\0cd", 5)), "ab");           // a chat text ends at a NUL

  // Invalid cp932 is refused, or shown as '?' for display.
  for (const std::string& bad :
       {"a\x81"s, "\x80"s, "\xA0"s, "\xFD\x40"s, "\xFE"s, "\xFF"s, "\x81\x20"s}) {
    EXPECT_EQ(Cp932ToUtf8(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(Cp932ToUtf8Lossy("a\x80z"), "a?z");
  EXPECT_EQ(Cp932ToUtf8Lossy("\xFF" + kHyoWire + "\x81"), "?表?");
}

TEST(WireText, NamesKeepTrailBytesMeetNoOtherNameAndStayBelowTheSaveDirectory) {
  EXPECT_EQ(LocalToWireName("表/ソ.txt"), kHyoWire + "\\" + kSoWire + ".txt");
  EXPECT_EQ(WireNameToLocal(kHyoWire + "\\" + kSoWire + ".txt"), "表/ソ.txt");
  EXPECT_EQ(WireNameToLocal("d\\" + kHyoWire), "d/表");  // no trailing separator
  // Whatever its lead byte, a trail byte 0x5C is no separator; a one-byte character is no lead.
  const std::string edges = "\x81\x5C\x9F\x5C\xDF\\\xE0\x5C\xFB\x5C\xFC\x40";
  const auto local = WireNameToLocal(edges);
  ASSERT_TRUE(local);
  EXPECT_EQ(std::count(local->begin(), local->end(), '/'), 1) << *local;
  EXPECT_EQ(LocalToWireName(*local), edges);

  // '\' would split a name on the peer. The others convert to the code of another character
  // and would come back as it: a〜b and a～b would meet in one wire name, and the receiver
  // would mix the two files.
  for (const std::string name :
       {"a\\b.txt", "€.txt", "", "a〜b", "¢", "£", "¬", "—", "‖", "−", "a¥b", "a‾b"}) {
    EXPECT_EQ(LocalToWireName(name), std::nullopt) << name;
  }
  EXPECT_TRUE(LocalToWireName("a～b"));  // the fullwidth tilde is cp932's own
  EXPECT_EQ(Utf8ToCp932Lossy("x〜y‖z", '_'), "x_y_z");

  EXPECT_EQ(WireNameToLocal("a\\b/c.txt"), "a/b/c.txt");
  EXPECT_EQ(WireNameToLocal("a\\\\.\\b"), "a/b");
  EXPECT_EQ(WireNameToLocal("...\\x..y"), ".../x..y");
  for (const std::string& bad : {""s, "\\x"s, "/x"s, "C:x"s, "c:\\x"s, "..\\x"s, "a\\..\\..\\x"s,
                                 "a/.."s, ".."s, "."s, "\\"s, "a\x81"s, "a\x80"s, "a\0b"s}) {
    EXPECT_EQ(WireNameToLocal(bad), std::nullopt) << bad;
  }
}

TEST(WireText, FolderTextsLoseLeadingComponentsOnlyWhenTooLong) {
  EXPECT_EQ(LocalToWireFolder("/home/u/表/"), "\\home\\u\\" + kHyoWire + "\\");
  EXPECT_EQ(LocalToWireFolder("/srv/a:b\\c/€/"), "\\srv\\a_b_c\\_\\");
  EXPECT_EQ(WireFolderToLocal("\\home\\u\\" + kHyoWire + "\\"), "home/u/表/");
  EXPECT_EQ(WireFolderToLocal("C_\\Users\\x\\"), "C_/Users/x/");
  EXPECT_EQ(WireFolderToLocal(""), "");
  EXPECT_EQ(WireFolderToLocal("\\\\"), "");
  EXPECT_EQ(WireFolderToLocal("a\\..\\"), std::nullopt);
  EXPECT_EQ(WireFolderToLocal("a\x81"), std::nullopt);

  std::string directory = "/";
  for (int i = 0; i < 50; ++i) directory += "長いフォルダの名前" + std::to_string(i) + "/";
  const std::string wire = LocalToWireFolder(directory);
  ASSERT_LE(wire.size(), 1023u);
  EXPECT_GT(wire.size(), 500u);
  EXPECT_EQ(wire.back(), '\\');
  // What is left is whole components, the innermost ones, so the receiver takes it.
  const auto tail = WireFolderToLocal(wire);
  ASSERT_TRUE(tail);
  EXPECT_EQ(directory.substr(directory.size() - tail->size() - 1), "/" + *tail);
  // Many short components: at most as many as a receiver takes.
  std::string deep = "/";
  for (int i = 0; i < 100; ++i) deep += "d/";
  const auto shallower = WireFolderToLocal(LocalToWireFolder(deep));
  ASSERT_TRUE(shallower);
  EXPECT_EQ(shallower->size(), 2 * MAX_WIRE_DEPTH);
}

TEST(WireText, ReceivedTextsWithControlsOrBeyondTheLimitsAreRefused) {
  std::string deepest;
  for (std::size_t i = 0; i < MAX_WIRE_DEPTH; ++i) deepest += "d\\";
  for (const std::string& bad : {"a\nsend: x"s, "a\x1b[2J"s, "a\tb"s, "a\x7f"s, "\r"s,
                                 std::string(1024, 'a'), deepest + "x"}) {
    EXPECT_EQ(WireNameToLocal(bad), std::nullopt) << bad;
    EXPECT_EQ(WireFolderToLocal(bad + "\\"), std::nullopt) << bad;
  }
  EXPECT_TRUE(WireNameToLocal(std::string(1023, 'a')));
  EXPECT_TRUE(WireNameToLocal(deepest.substr(2) + "x"));
}

TEST(WireText, ConvertsOnSeveralThreadsAtOnce) {
  std::vector<int> failures(4, 0);
  std::vector<std::thread> threads;
  for (int& failed : failures) {
    threads.emplace_back([&failed] {
      for (int i = 0; i < 200; ++i)
        failed += WireNameToLocal(LocalToWireName("表/ソ").value_or("")) != "表/ソ";
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace tovrin::testing
