// Encrypted sessions between two peers: pairing, remembered peers, and what a man in the
// middle can and cannot do.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <thread>

#include "port/catalogue.h"
#include "port/format.h"
#include "port/texts.h"
#include "protocol/extended.h"
#include "protocol/wire_text.h"
#include "secure/identity.h"
#include "secure/tls_engine.h"
#include "session/address.h"
#include "session/lifecycle.h"
#include "session/opening.h"
#include "session/security_loader.h"
#include "support/raw_peer.h"
#include "support/relay.h"
#include "support/test_peer.h"

namespace tovrin::testing {
namespace {

// The last pairing code `peer` showed.
std::string ShownCode(TestPeer& peer) {
  const std::string_view format = text::PAIRING_CODE.get();
  const std::string_view prefix = format.substr(0, format.find('%'));
  std::string code;
  for (const std::string& line : peer.port.chat_log()) {
    if (line.starts_with(prefix)) code = line.substr(prefix.size(), 6);
  }
  return code;
}

// The waiting `peer`'s user asks for a pairing code: the code shown, or "" when none could be.
std::string OfferCode(TestPeer& peer) {
  bool offered = false;
  peer.port.RunOnUiThread([&] { offered = OfferPairingCode(peer.session); });
  return offered ? ShownCode(peer) : std::string();
}

// `b` connects to `port` (`a`'s, or a relay's in front of it) and `a` takes the connection.
void Knock(TestPeer& a, TestPeer& b, int port) {
  b.Connect("127.0.0.1:" + std::to_string(port));
  // A relay in between connects on its own time.
  pollfd incoming{a.port.watched_socket(), POLLIN, 0};
  poll(&incoming, 1, 10000);
  a.Accept();
}

// `raw` connects from `source` and sends `bytes`, there before `a` takes the connection.
bool KnockWith(TestPeer& a, RawPeer& raw, int port, const char* source, const std::string& bytes) {
  const bool sent = raw.ConnectFrom(source, port) && raw.SendBytes(bytes);
  a.Accept();
  return sent;
}

// A hello as the extension's, with `program` as its name.
std::string ExtendedHello(const char* program) {
  return Wire({MSG_HELLO, 0, EXTENSION_VERSION, static_cast<int32_t>(std::strlen(program) + 1)},
              std::string(program) + '\0');
}

// Knock, until both run a session.
bool Meet(TestPeer& a, TestPeer& b, int port) {
  Knock(a, b, port);
  return WaitFor([&] { return a.Connected() && b.Connected(); });
}

std::string PeerLine(Text<const char*> format, TestPeer& peer) {
  return FormatLine(format, Fingerprint(peer.session.security.identity->key_hash).c_str());
}

bool Ended(TestPeer& peer) { return peer.session.idle.load() == 1; }

// The waiting side's line for a connection it refused.
std::string Refused(const char* reason, const char* address = "127.0.0.1") {
  return FormatLine(text::CONNECTION_REFUSED, address, reason);
}

// `b` knocks and is turned away: its attempt ends and `a` logs the refusal with `reason`.
bool TurnedAway(TestPeer& a, TestPeer& b, int port, const std::string& reason) {
  Knock(a, b, port);
  return WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(reason.c_str())); });
}

TEST(SecureSession, PairingWithACodeOnRequestIsRememberedAndEveryCodeAllowsOneGuess) {
  TestPeer a, b;
  // Not waiting: there is nothing to offer a code for.
  EXPECT_EQ(OfferCode(a), "");
  EXPECT_TRUE(a.port.HasChatLine(text::NO_CODE_TO_OFFER));
  const int port = a.Listen();
  // Waiting shows no code until the user asks for one.
  EXPECT_EQ(ShownCode(a), "");
  b.session.security.pair_code = "123456";
  Knock(a, b, port);
  ASSERT_TRUE(
      WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(text::NO_CODE_SHOWN)); }));
  EXPECT_TRUE(b.port.HasChatLine(text::NO_PAIRING_WAITING));

  // A wrong guess fails on both sides and withdraws the code: the right one is no good after
  // it, and no other code comes until the user asks again.
  const std::string first = OfferCode(a);
  ASSERT_EQ(first.size(), 6u);
  b.session.security.pair_code = first == "000000" ? "000001" : "000000";
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && b.port.HasChatLine(text::PAIRING_FAILED); }));
  b.session.security.pair_code = first;
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && b.port.HasChatLine(text::NO_PAIRING_WAITING); }));
  EXPECT_EQ(ShownCode(a), first);

  // The code asked for now pairs, and each side remembers the other.
  std::string second;
  ASSERT_TRUE(WaitFor([&] { return (second = OfferCode(a)) != first; }));
  b.session.security.pair_code = second;
  ASSERT_TRUE(Meet(a, b, port));
  EXPECT_TRUE(a.port.HasChatLine(PeerLine(text::PEER_JUST_PAIRED, b)));
  EXPECT_TRUE(b.port.HasChatLine(PeerLine(text::PEER_JUST_PAIRED, a)));
  // Beyond the classic line's 1,023 bytes, and characters cp932 lacks.
  const std::string line = "😀 한 " + std::string(1500, 'x');
  a.Chat(line);
  ASSERT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > " + line); }));
  a.Stop();
  b.Stop();

  // Later sessions know each other by key, without a code, also with only paired peers let in.
  b.session.security.pair_code.clear();
  a.session.security.paired_only = true;
  ASSERT_TRUE(ConnectPair(a, b));
  EXPECT_TRUE(a.port.HasChatLine(PeerLine(text::PEER_PAIRED, b)));
  EXPECT_TRUE(b.port.HasChatLine(PeerLine(text::PEER_PAIRED, a)));
}

TEST(SecureSession, StrangersAreNotVerifiedAndPairedOnlyRefusesThemOnBothSides) {
  TestPeer a, b;
  ASSERT_TRUE(ConnectPair(a, b));
  EXPECT_TRUE(a.port.HasChatLine(PeerLine(text::PEER_NOT_VERIFIED, b)));
  EXPECT_TRUE(b.port.HasChatLine(PeerLine(text::PEER_NOT_VERIFIED, a)));
  a.Stop();
  b.Stop();

  a.session.security.paired_only = true;
  const int port = a.Listen();
  ASSERT_TRUE(TurnedAway(a, b, port, text::PAIRED_ONLY));
  EXPECT_TRUE(b.port.HasChatLine(FormatLine(text::REFUSED_BY_PEER, text::PAIRED_ONLY)));
}

// Under "paired peers only" a classic peer is told why in a chat line it can read. What goes
// to the peer is Japanese, whatever language this side shows.
TEST(SecureSession, PairedOnlyTellsAClassicPeerWhyInAChatLine) {
  const struct EnglishLines {
    EnglishLines() { UseCatalogue(ENGLISH); }
    ~EnglishLines() { UseCatalogue(JAPANESE); }
  } english;
  TestPeer a, b;
  a.session.security.paired_only = true;
  const int port = a.Listen();

  RawPeer classic;
  ASSERT_TRUE(KnockWith(a, classic, port, "127.0.0.1", ""));
  FrameHeader header{};
  std::string payload;
  ASSERT_TRUE(classic.Receive(header, payload));
  EXPECT_EQ(header.type, MSG_HELLO);
  ASSERT_TRUE(classic.Receive(header, payload));
  EXPECT_EQ(header.type, MSG_CHAT);
  EXPECT_EQ(payload, ChatTextToWire(text::PAIRED_ONLY.In(JAPANESE)) + '\0');
  EXPECT_TRUE(classic.WaitForClose());
  EXPECT_TRUE(WaitFor([&] {
    return a.port.HasChatLine("Refused a connection [127.0.0.1]: Only paired peers may connect");
  }));
  // The refusal inside TLS, too; the refused side shows it in its own language.
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return Ended(b); }));
  EXPECT_TRUE(b.port.HasChatLine("Refused by the peer: Only paired peers may connect"));
}

// Strangers holding openings from several addresses: at most two from one address, the
// oldest opening short of TLS makes room for a newcomer, and each refusal or drop is logged
// with the address, once a minute per address. The intended peer still gets in.
TEST(SecureSession, CrowdingConnectionsMakeRoomAndAreLoggedOncePerAddress) {
  TestPeer a, b;
  a.session.security.paired_only = true;
  const int port = a.Listen();
  // One byte of a header: the opening waits for the rest.
  const auto knock = [&](RawPeer& raw, const char* source) {
    return KnockWith(a, raw, port, source, std::string(1, '\xFF'));
  };
  RawPeer first, second, third, fourth, fifth, sixth;
  ASSERT_TRUE(knock(first, "127.0.0.2") && knock(second, "127.0.0.2"));
  ASSERT_TRUE(knock(third, "127.0.0.3") && knock(fourth, "127.0.0.3"));
  ASSERT_TRUE(knock(fifth, "127.0.0.4"));
  EXPECT_TRUE(first.WaitForClose());
  EXPECT_TRUE(
      a.port.HasChatLine(FormatLine(text::CONNECTION_DROPPED, "127.0.0.2", text::MADE_ROOM)));
  ASSERT_TRUE(knock(sixth, "127.0.0.3"));
  EXPECT_TRUE(sixth.WaitForClose());
  EXPECT_TRUE(a.port.HasChatLine(Refused(text::ADDRESS_LIMIT, "127.0.0.3")));

  // The peer with the code takes the place of the oldest stranger, and the session closes
  // the others.
  b.session.security.pair_code = OfferCode(a);
  ASSERT_TRUE(Meet(a, b, port));
  for (RawPeer* raw : {&second, &third, &fourth, &fifth}) EXPECT_TRUE(raw->WaitForClose());
  EXPECT_EQ(
      a.port.CountChatLine(FormatLine(text::CONNECTION_DROPPED, "127.0.0.2", text::MADE_ROOM)), 1);
}

// The waiting side closes a connection whose hello or TLS handshake is not through in time,
// and logs why, OpenSSL's reason included when the handshake failed.
TEST(SecureSession, OpeningsThatStallBeforeTlsAreClosedAndFailuresSayWhy) {
  TestPeer a;
  a.session.options.setup_limit = std::chrono::milliseconds(200);
  const int port = a.Listen();
  RawPeer header, hello, garbage;
  // What each sends is there before the accept, so no grace runs out first.
  ASSERT_TRUE(KnockWith(a, header, port, "127.0.0.5", std::string(3, '\xFF')));
  ASSERT_TRUE(KnockWith(a, hello, port, "127.0.0.6", ExtendedHello("stall")));
  EXPECT_TRUE(header.WaitForClose());
  EXPECT_TRUE(hello.WaitForClose());
  EXPECT_TRUE(WaitFor([&] {
    return a.port.HasChatLine(Refused(text::OPENING_TIMED_OUT, "127.0.0.5")) &&
           a.port.HasChatLine(Refused(text::OPENING_TIMED_OUT, "127.0.0.6"));
  }));

  a.session.options.setup_limit = SETUP_TIME_LIMIT;
  ASSERT_TRUE(
      KnockWith(a, garbage, port, "127.0.0.7", ExtendedHello("garbage") + std::string(64, 'x')));
  EXPECT_TRUE(garbage.WaitForClose());
  const std::string prefix =
      Refused(FormatLine(text::SECURE_FAILED_BECAUSE, "").c_str(), "127.0.0.7");
  EXPECT_TRUE(WaitFor([&] { return a.port.HasChatLineAfter(prefix); }));
}

// What a relay on the wire sees of a session: neither the chat nor the file.
TEST(SecureSession, NeitherChatNorFileCrossesTheWireReadably) {
  TestPeer a, b;
  const std::string secret = PatternBytes(300000, 7);
  WriteFile(b.dir.path() + "secret.bin", secret);
  const int port = a.Listen();
  Relay relay(port);
  b.Drop({b.dir.path() + "secret.bin"});
  ASSERT_TRUE(Meet(a, b, relay.port()));
  b.Chat("a line nobody else reads");
  ASSERT_TRUE(WaitFor([&] {
    return a.port.HasChatLine("recv > a line nobody else reads") &&
           a.port.HasRecvLine(text::RECEIVE_DONE);
  }));
  EXPECT_TRUE(SameContent(a.session.save_dir + "secret.bin", b.dir.path() + "secret.bin"));

  const std::string wire = relay.Seen(Relay::kToTarget);
  for (std::string plain : {std::string("a line nobody else reads"), secret.substr(100000, 64),
                            std::string("secret.bin")}) {
    EXPECT_EQ(wire.find(plain), std::string::npos);
    Complement(plain.data(), static_cast<int>(plain.size()));
    EXPECT_EQ(wire.find(plain), std::string::npos);
  }
}

TEST(SecureSession, BytesAlteredInFlightEndTheSession) {
  TestPeer a, b;
  WriteFile(b.dir.path() + "big.bin", PatternBytes(4 << 20, 9));
  const int port = a.Listen();
  size_t passed = 0;
  Relay relay(port, [&passed](Relay::Direction direction, std::string& bytes) {
    if (direction != Relay::kToTarget) return;
    // One bit, well into the file's data.
    if (passed < (1u << 20) && passed + bytes.size() >= (1u << 20))
      bytes[(1u << 20) - passed - 1] ^= 1;
    passed += bytes.size();
  });
  b.Drop({b.dir.path() + "big.bin"});
  Knock(a, b, relay.port());
  ASSERT_TRUE(WaitFor([&] { return Ended(a) && Ended(b); }, std::chrono::seconds(30)));
  EXPECT_FALSE(a.port.HasRecvLine(text::RECEIVE_DONE));
}

TEST(SecureSession, AStrippedHelloMakesTheSessionClassicWhichAGivenCodeRefuses) {
  TestPeer a, b;
  int port = a.Listen();
  {
    Relay relay(port, StripFirstMessages());
    ASSERT_TRUE(Meet(a, b, relay.port()));
    EXPECT_TRUE(a.port.HasChatLine(text::CLASSIC_SESSION));
    EXPECT_TRUE(b.port.HasChatLine(text::CLASSIC_SESSION));
    a.Stop();
    b.Stop();
  }
  // A side given a code takes only an encrypted, paired session; the waiting side still
  // serves classic peers.
  port = a.Listen();
  Relay stripping(port, StripFirstMessages());
  b.session.security.pair_code = OfferCode(a);
  const int classic_before = b.port.CountChatLine(text::CLASSIC_SESSION);
  Knock(a, b, stripping.port());
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && Ended(a); }));
  EXPECT_TRUE(b.port.HasChatLine(text::PAIRING_NEEDS_ENCRYPTION));
  EXPECT_TRUE(a.port.HasChatLine(text::CLASSIC_SESSION));
  EXPECT_TRUE(a.port.HasChatLine(
      FormatLine(text::CHAT_RECEIVED, text::PAIRING_NEEDS_ENCRYPTION.In(JAPANESE))));
  EXPECT_EQ(b.port.CountChatLine(text::CLASSIC_SESSION), classic_before);
  EXPECT_TRUE(b.session.security.peers->List().empty());
}

// Every encrypted version is a wire of its own: an older or newer build gets a clear line on
// both sides instead of a failed pairing.
TEST(SecureSession, EncryptedVersionsThatDifferSayWhoIsOlderOnBothSides) {
  TestPeer a, b;
  b.session.security.version_cap = FIRST_SECURE_VERSION;
  const int port = a.Listen();
  b.session.security.pair_code = OfferCode(a);
  ASSERT_TRUE(TurnedAway(a, b, port, FormatLine(text::PEER_OLDER, text::CAPTION)));
  EXPECT_TRUE(b.port.HasChatLine(FormatLine(text::PEER_NEWER, text::CAPTION)));
  EXPECT_FALSE(a.Connected());
  EXPECT_FALSE(a.port.HasChatLine(text::PAIRING_FAILED));

  // A side without a key still meets either in the clear.
  b.session.security.version_cap = 1;
  b.session.security.pair_code.clear();
  ASSERT_TRUE(Meet(a, b, port));
  EXPECT_TRUE(b.port.HasChatLine(FormatLine(text::EXTENDED_SESSION, text::CAPTION)));
  a.Stop();
  b.Stop();

  // Two builds of the same older version still meet encrypted, with the frames inside TLS
  // complemented as versions before PLAIN_FRAMES_VERSION have them.
  a.session.security.version_cap = b.session.security.version_cap = FIRST_SECURE_VERSION;
  ASSERT_TRUE(ConnectPair(a, b));
  EXPECT_TRUE(a.port.HasChatLine(FormatLine(text::ENCRYPTED_SESSION, text::CAPTION)));
  a.Chat("older");
  EXPECT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > older"); }));
}

// Two Tovrin peers announce every batch and wait for the answer: a stranger's batch is put to
// the user (chat goes on meanwhile) and written only once accepted; a declined or unanswered
// batch writes nothing and leaves the sender's queue with a line saying why on both sides; a
// paired peer's batch comes in without a question.
TEST(SecureSession, BatchesWaitForTheUsersAnswerUnlessThePeerIsPaired) {
  TestPeer a, b;
  b.session.options.accept.store(AcceptPolicy::kAsk);
  const TempDir src;
  WriteFile(src.path() + "trip/a.txt", "aaa");
  WriteFile(src.path() + "trip/day1/b.txt", "bbbb");
  WriteFile(src.path() + "c.txt", "cc");
  WriteFile(src.path() + "d.txt", "d");
  WriteFile(src.path() + "later/e.txt", "eeeee");
  const std::string save = b.session.save_dir;
  ASSERT_TRUE(ConnectPair(a, b));
  a.Drop({src.path() + "trip", src.path() + "c.txt"});
  ASSERT_TRUE(WaitFor([&] { return b.port.questions().size() == 1; }));
  const IncomingBatch asked = b.port.questions()[0];
  EXPECT_TRUE(asked.announced);
  EXPECT_EQ(asked.files, 3u);
  EXPECT_EQ(asked.bytes, 9u);
  EXPECT_EQ(asked.names, (std::vector<std::string>{"trip", "c.txt"}));
  a.Chat("while asked");
  ASSERT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > while asked"); }));
  // Queued after the batch began: the next batch.
  a.Drop({src.path() + "later/e.txt"});
  EXPECT_FALSE(std::filesystem::exists(save + "c.txt"));
  b.port.Answer(true);
  ASSERT_TRUE(WaitFor([&] { return b.port.questions().size() == 2; }));
  EXPECT_EQ(b.port.questions()[1].files, 1u);
  EXPECT_EQ(b.port.questions()[1].names, std::vector<std::string>{"e.txt"});
  EXPECT_EQ(b.port.received_news().at(0), std::make_pair(uint64_t{3}, save));
  EXPECT_EQ(ReadFile(save + "trip/day1/b.txt"), "bbbb");
  EXPECT_FALSE(std::filesystem::exists(save + "e.txt"));
  b.port.Answer(true);
  ASSERT_TRUE(WaitFor([&] { return b.port.received_news().size() == 2; }));
  EXPECT_EQ(ReadFile(save + "e.txt"), "eeeee");
  EXPECT_EQ(b.port.closed_questions(), (std::vector<uint64_t>{asked.id, b.port.questions()[1].id}));

  // The user declines, or lets the time run out.
  const auto declined = [&](Text<> why, std::size_t question) {
    a.Drop({src.path() + "d.txt"});
    ASSERT_TRUE(WaitFor([&] { return b.port.questions().size() == question; }));
    if (why.id == text::WHY_USER_DECLINED.id) b.port.Answer(false);
    EXPECT_TRUE(WaitFor(
        [&] { return a.port.HasSendLine(FormatLine(text::PEER_DECLINED_BATCH, why.get(), 1LL)); }));
    EXPECT_TRUE(b.port.HasRecvLine(FormatLine(text::BATCH_DECLINED, 1LL, 1LL, why.get())));
    EXPECT_TRUE(a.queue.Entries().empty());
    EXPECT_FALSE(std::filesystem::exists(save + "d.txt"));
  };
  declined(text::WHY_USER_DECLINED, 3);
  a.Stop();
  b.Stop();
  b.session.options.answer_limit = std::chrono::milliseconds(50);
  ASSERT_TRUE(ConnectPair(a, b));
  declined(text::WHY_NO_ANSWER, 4);
  EXPECT_EQ(b.port.closed_questions().size(), 4u);
  a.Stop();
  b.Stop();

  // Paired now: no question.
  const int port = a.Listen();
  b.session.security.pair_code = OfferCode(a);
  ASSERT_TRUE(Meet(a, b, port));
  a.Drop({src.path() + "d.txt"});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(save + "d.txt"); }));
  EXPECT_EQ(b.port.questions().size(), 4u);
}

// A key folder others may change is refused; while paired peers may exist no extended
// session then runs in the clear, and both sides are told why. Classic peers are served as
// before.
TEST(SecureSession, AnUnusableKeyRefusesClearExtendedSessionsButServesClassicPeers) {
  TestPeer a, b;
  WriteFile(a.config_dir() + "/peers", std::string(64, 'a') + " 2026-01-01 tovrin 10.0.0.1\n");
  ASSERT_EQ(chmod(a.config_dir().c_str(), 0777), 0);
  a.session.security.identity = nullptr;
  LoadSecurity(a.session, a.config_dir());
  ASSERT_EQ(a.session.security.identity, nullptr);
  EXPECT_TRUE(a.port.HasChatLineAfter(
      FormatLine(text::NO_IDENTITY, (a.config_dir() + " can be changed by others").c_str())));
  const int port = a.Listen();
  ASSERT_TRUE(TurnedAway(a, b, port, text::KEY_UNUSABLE_REFUSED));
  EXPECT_TRUE(
      b.port.HasChatLine(FormatLine(text::CHAT_RECEIVED, text::KEY_UNUSABLE_REFUSED.In(JAPANESE))));

  RawPeer classic;
  ASSERT_TRUE(KnockWith(a, classic, port, "127.0.0.1", ""));
  FrameHeader header{};
  std::string payload;
  ASSERT_TRUE(classic.Receive(header, payload));
  EXPECT_EQ(header.type, MSG_HELLO);
  EXPECT_EQ(header.value, 1);
  ASSERT_TRUE(classic.Send(MSG_CHAT, 0, 0, std::string("classic") + '\0'));
  ASSERT_TRUE(WaitFor([&] { return a.port.HasChatLine("recv > classic"); }));
  EXPECT_TRUE(a.Connected());
}

// A man in the middle that ends TLS towards each side with keys of its own, passes the
// hellos on, rewrites the hello digests to fit each side and relays everything else, the
// pairing messages included: the pairing fails and nobody is remembered.
class Interceptor final {
 public:
  explicit Interceptor(int target_port, const std::string& config_dir) {
    std::string error;
    identity_ = *LoadOrCreateIdentity(config_dir, error);
    thread_ = std::thread([this, target_port] { Run(target_port); });
  }
  ~Interceptor() {
    ::shutdown(listener_.fd(), SHUT_RDWR);
    for (int fd : {client_.load(), server_.load()}) {
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
    thread_.join();
  }
  [[nodiscard]] int port() const { return listener_.port(); }

 private:
  struct Leg {
    int fd;
    std::unique_ptr<TlsEngine> engine;
    std::string buffer;
  };

  static bool ReadHello(int fd, std::string& hello) {
    hello.assign(HEADER_SIZE, '\0');
    if (recv(fd, hello.data(), HEADER_SIZE, MSG_WAITALL) != HEADER_SIZE) return false;
    std::string header = hello;
    Complement(header.data(), HEADER_SIZE);
    const int length = LoadHeader(header.data()).length;
    hello.resize(HEADER_SIZE + static_cast<size_t>(length));
    return recv(fd, hello.data() + HEADER_SIZE, static_cast<size_t>(length), MSG_WAITALL) == length;
  }

  // The next whole message of `leg`: inside TLS the frames are as they are, not complemented.
  static bool ReadMessage(Leg& leg, std::string& message) {
    char raw[65536];
    for (;;) {
      if (leg.buffer.size() >= HEADER_SIZE) {
        const size_t size = HEADER_SIZE + static_cast<size_t>(LoadHeader(leg.buffer.data()).length);
        if (leg.buffer.size() >= size) {
          message = leg.buffer.substr(0, size);
          leg.buffer.erase(0, size);
          return true;
        }
      }
      const int n = leg.engine->Read(raw, sizeof raw);
      if (n > 0) {
        leg.buffer.append(raw, static_cast<size_t>(n));
        continue;
      }
      if (n != TlsEngine::NEED_MORE) return false;
      const ssize_t got = recv(leg.fd, raw, sizeof raw, 0);
      if (got <= 0) return false;
      leg.engine->Feed(raw, static_cast<size_t>(got));
    }
  }

  static bool WriteMessage(Leg& leg, const std::string& message) {
    std::vector<char> out;
    return leg.engine->Write(message.data(), message.size(), out) &&
           send(leg.fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
  }

  void Forward(Leg& from, Leg& to) {
    std::string message;
    while (ReadMessage(from, message)) {
      if (LoadHeader(message.data()).type == MSG_AUTH) {
        std::array<unsigned char, 32> digest{};
        if (!HelloDigest(*to.engine, client_hello_, server_hello_, digest)) break;
        std::memcpy(message.data() + HEADER_SIZE, digest.data(), digest.size());
      }
      if (!WriteMessage(to, message)) break;
    }
    ::shutdown(to.fd, SHUT_RDWR);
    ::shutdown(from.fd, SHUT_RDWR);
  }

  void Run(int target_port) {
    const Descriptor client_fd(accept4(listener_.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client_fd.valid()) return;
    const Descriptor server_fd = ConnectTo(target_port);
    const int client = client_fd.get(), server = server_fd.get();
    client_.store(client);
    server_.store(server);
    std::string own_hello_client, own_hello_server;
    if (server_fd.valid() && ReadHello(client, own_hello_client) &&
        send(server, own_hello_client.data(), own_hello_client.size(), MSG_NOSIGNAL) > 0 &&
        ReadHello(server, own_hello_server) &&
        send(client, own_hello_server.data(), own_hello_server.size(), MSG_NOSIGNAL) > 0) {
      client_hello_ = own_hello_client;
      server_hello_ = own_hello_server;
      Complement(client_hello_.data(), static_cast<int>(client_hello_.size()));
      Complement(server_hello_.data(), static_cast<int>(server_hello_.size()));
      std::string error;
      Leg towards_client{client, TlsEngine::Create(TlsEngine::Role::kServer, identity_, error), {}};
      Leg towards_server{server, TlsEngine::Create(TlsEngine::Role::kClient, identity_, error), {}};
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      bool client_done = false;
      std::thread handshake(
          [&] { client_done = towards_client.engine->Handshake(client, deadline, error); });
      std::string server_error;
      const bool server_done = towards_server.engine->Handshake(server, deadline, server_error);
      handshake.join();
      if (client_done && server_done) {
        std::thread back([&] { Forward(towards_server, towards_client); });
        Forward(towards_client, towards_server);
        back.join();
      }
    }
    client_.store(-1);
    server_.store(-1);
  }

  Identity identity_;
  Listener listener_;
  std::atomic<int> client_{-1};
  std::atomic<int> server_{-1};
  std::string client_hello_;
  std::string server_hello_;
  std::thread thread_;
};

TEST(SecureSession, AManInTheMiddleCannotPairEvenWithTheRightCode) {
  TestPeer a, b;
  const int port = a.Listen();
  Interceptor middle(port, a.dir.path() + "middle");
  b.session.security.pair_code = OfferCode(a);
  Knock(a, b, middle.port());
  ASSERT_TRUE(
      WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(text::PAIRING_FAILED)); }));
  EXPECT_TRUE(b.port.HasChatLine(text::PAIRING_FAILED));
  EXPECT_TRUE(a.session.security.peers->List().empty());
  EXPECT_TRUE(b.session.security.peers->List().empty());
}

// Names cross inside the opening only, cleaned, and label the paired peer. The connecting
// side then expects the paired key at that address, and any key it was given for an attempt: a
// session there in the clear or with another key is refused, also through a relay that strips
// the hellos or one that runs TLS with each side; forgetting the peer lifts the expectation.
TEST(SecureSession, AnExpectedKeyRefusesAnotherKeyOrTheClearUntilThePeerIsForgotten) {
  TestPeer a, b, c;
  a.session.security.name = "alice\u202E@desk";
  const std::string shown = "alice\uFFFD@desk";
  const int port = a.Listen();
  b.session.security.pair_code = OfferCode(a);
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
  EXPECT_TRUE(
      b.port.HasChatLine(FormatLine(text::ENCRYPTED_SESSION_WITH, text::CAPTION, shown.c_str())));
  ASSERT_EQ(b.session.security.peers->List().size(), 1u);
  EXPECT_EQ(b.session.security.peers->List().front().label, shown);
  EXPECT_EQ(a.session.security.peers->List().front().label, b.session.security.name);
  a.Stop();
  b.Stop();
  b.session.security.pair_code.clear();
  const std::string a_print = Fingerprint(a.session.security.identity->key_hash);
  const std::string c_print = Fingerprint(c.session.security.identity->key_hash);

  // Another installation waits at that address, then the same in the clear.
  c.Connect(OwnAddress() + ":" + std::to_string(port));
  Knock(c, b, port);
  const std::string changed = FormatLine(text::KEY_CHANGED, a_print.c_str(), c_print.c_str());
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && b.port.HasChatLine(changed); }));
  c.session.options.classic.store(true);
  Knock(c, b, port);
  const std::string clear = FormatLine(text::NO_LONGER_ENCRYPTS, a_print.c_str());
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && b.port.HasChatLine(clear); }));
  // The classic side took the connection as a session, which ends as b closes.
  c.Stop();

  // A key given for the attempt, with a man in the middle in front of the right peer.
  int a_port = a.Listen();
  {
    Relay stripping(a_port, StripFirstMessages());
    b.session.security.expected_key = a.session.security.identity->key_hash;
    Knock(a, b, stripping.port());
    ASSERT_TRUE(WaitFor([&] { return Ended(b) && b.port.CountChatLine(clear) == 2; }));
    EXPECT_FALSE(b.session.security.expected_key);  // held for that attempt only
    a.Stop();
  }
  a_port = a.Listen();
  Interceptor middle(a_port, a.dir.path() + "middle");
  b.session.security.expected_key = a.session.security.identity->key_hash;
  Knock(a, b, middle.port());
  std::string error;
  const std::string m_print =
      Fingerprint(LoadOrCreateIdentity(a.dir.path() + "middle", error)->key_hash);
  ASSERT_TRUE(WaitFor([&] {
    return Ended(b) &&
           b.port.HasChatLine(FormatLine(text::KEY_CHANGED, a_print.c_str(), m_print.c_str()));
  }));
  a.Stop();

  // Forgotten, the peer at the address may be anyone again.
  EXPECT_EQ(b.session.security.peers->Forget(a_print), 1);
  c.Connect(OwnAddress() + ":" + std::to_string(port));
  Knock(c, b, port);
  ASSERT_TRUE(WaitFor([&] { return b.Connected() && c.Connected(); }));
  EXPECT_TRUE(b.port.HasChatLine(text::CLASSIC_SESSION));
}

}  // namespace
}  // namespace tovrin::testing
