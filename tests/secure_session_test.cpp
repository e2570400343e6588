// Encrypted sessions between two peers: pairing, remembered peers, and what a man in the
// middle can and cannot do.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstring>
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

// `b` connects to `port` (`a`'s, or a relay's in front of it) and `a` takes the connection.
void Knock(TestPeer& a, TestPeer& b, int port) {
  b.Connect("127.0.0.1:" + std::to_string(port));
  // A relay in between connects on its own time.
  pollfd incoming{a.port.watched_socket(), POLLIN, 0};
  poll(&incoming, 1, 10000);
  a.Accept();
}

std::string PeerLine(Text<const char*> format, TestPeer& peer) {
  return FormatLine(format, Fingerprint(peer.session.security.identity->key_hash).c_str());
}

bool Ended(TestPeer& peer) { return peer.session.idle.load() == 1; }

// The waiting side's line for a connection it refused.
std::string Refused(const char* reason, const char* address = "127.0.0.1") {
  return FormatLine(text::CONNECTION_REFUSED, address, reason);
}

TEST(SecureSession, PairingWithTheShownCodeIsRememberedAndEveryCodeAllowsOneGuess) {
  TestPeer a, b;
  const int port = a.Listen();
  const std::string first = ShownCode(a);
  ASSERT_EQ(first.size(), 6u);

  // A wrong guess fails on both sides and spends the code: the right one is no good after it.
  b.session.security.pair_code = first == "000000" ? "000001" : "000000";
  Knock(a, b, port);
  ASSERT_TRUE(
      WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(text::PAIRING_FAILED)); }));
  EXPECT_TRUE(b.port.HasChatLine(text::PAIRING_FAILED));
  // The spent code is replaced as the waiting side's UI thread hears of the failure.
  std::string second;
  ASSERT_TRUE(WaitFor([&] { return (second = ShownCode(a)) != first; }));
  b.session.security.pair_code = first;
  Knock(a, b, port);
  // The waiting side logs a refusal once a minute per address: only the connecting side
  // tells this one.
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && b.port.CountChatLine(text::PAIRING_FAILED) == 2; }));
  EXPECT_EQ(a.port.CountChatLine(Refused(text::PAIRING_FAILED)), 1);

  // The code shown now pairs, and each side remembers the other.
  std::string third;
  ASSERT_TRUE(WaitFor([&] { return (third = ShownCode(a)) != second; }));
  b.session.security.pair_code = third;
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
  EXPECT_TRUE(a.port.HasChatLine(PeerLine(text::PEER_JUST_PAIRED, b)));
  EXPECT_TRUE(b.port.HasChatLine(PeerLine(text::PEER_JUST_PAIRED, a)));
  a.Chat("hello inside");
  ASSERT_TRUE(WaitFor([&] { return b.port.HasChatLine("recv > hello inside"); }));
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
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(text::PAIRED_ONLY)); }));
  EXPECT_TRUE(b.port.HasChatLine(FormatLine(text::REFUSED_BY_PEER, text::PAIRED_ONLY)));

  // A code given to a side that shows none fails on both sides, each saying why (a minute
  // later, as far as the waiting side's log of refusals is concerned).
  a.session.security.codes.Stop();
  a.port.RunOnUiThread([&] { a.session.refusals_logged.clear(); });
  b.session.security.pair_code = "123456";
  Knock(a, b, port);
  ASSERT_TRUE(
      WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(text::NO_CODE_SHOWN)); }));
  EXPECT_TRUE(b.port.HasChatLine(text::NO_PAIRING_WAITING));
}

// Under "paired peers only" a classic peer is told why in a chat line it can read, and a
// connection that stalls in its opening does not keep the intended peer out. What goes to the
// peer is Japanese, whatever language this side shows.
TEST(SecureSession, PairedOnlyRefusesClassicPeersAndNoStalledConnectionKeepsThePeerOut) {
  const struct EnglishLines {
    EnglishLines() { UseCatalogue(ENGLISH); }
    ~EnglishLines() { UseCatalogue(JAPANESE); }
  } english;
  TestPeer a, b;
  a.session.security.paired_only = true;
  const int port = a.Listen();

  RawPeer classic;
  ASSERT_TRUE(classic.ConnectTo(port));
  a.Accept();
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

  RawPeer stalled;
  ASSERT_TRUE(stalled.ConnectTo(port));
  a.Accept();
  ASSERT_TRUE(stalled.Send(MSG_HELLO, 0, EXTENSION_VERSION, std::string("stall") + '\0'));
  b.session.security.pair_code = ShownCode(a);
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
  EXPECT_TRUE(stalled.WaitForClose());
}

// Strangers holding openings from several addresses: at most two from one address, the
// oldest opening short of TLS makes room for a newcomer, and each refusal or drop is logged
// with the address, once a minute per address. The intended peer still gets in.
TEST(SecureSession, CrowdingConnectionsMakeRoomAndAreLoggedOncePerAddress) {
  TestPeer a, b;
  a.session.security.paired_only = true;
  const int port = a.Listen();
  const auto knock = [&](RawPeer& raw, const char* source) {
    // One byte of a header, there before the accept: the opening waits for the rest.
    const bool knocked = raw.ConnectFrom(source, port) && raw.SendBytes(std::string(1, '\xFF'));
    a.Accept();
    return knocked;
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
  b.session.security.pair_code = ShownCode(a);
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
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
  ASSERT_TRUE(header.ConnectFrom("127.0.0.5", port));
  ASSERT_TRUE(header.SendBytes(std::string(3, '\xFF')));
  a.Accept();
  ASSERT_TRUE(hello.ConnectFrom("127.0.0.6", port));
  ASSERT_TRUE(hello.Send(MSG_HELLO, 0, EXTENSION_VERSION, std::string("stall") + '\0'));
  a.Accept();
  EXPECT_TRUE(header.WaitForClose());
  EXPECT_TRUE(hello.WaitForClose());
  EXPECT_TRUE(WaitFor([&] {
    return a.port.HasChatLine(Refused(text::OPENING_TIMED_OUT, "127.0.0.5")) &&
           a.port.HasChatLine(Refused(text::OPENING_TIMED_OUT, "127.0.0.6"));
  }));

  a.session.options.setup_limit = SETUP_TIME_LIMIT;
  ASSERT_TRUE(garbage.ConnectFrom("127.0.0.7", port));
  ASSERT_TRUE(garbage.Send(MSG_HELLO, 0, EXTENSION_VERSION, std::string("garbage") + '\0'));
  ASSERT_TRUE(garbage.SendBytes(std::string(64, 'x')));
  a.Accept();
  EXPECT_TRUE(garbage.WaitForClose());
  const std::string prefix =
      Refused(FormatLine(text::SECURE_FAILED_BECAUSE, "").c_str(), "127.0.0.7");
  EXPECT_TRUE(WaitFor([&] {
    for (const std::string& line : a.port.chat_log()) {
      if (line.rfind(prefix, 0) == 0 && line.size() > prefix.size()) return true;
    }
    return false;
  }));
}

// What a relay on the wire sees of a session: neither the chat nor the file.
TEST(SecureSession, NeitherChatNorFileCrossesTheWireReadably) {
  TestPeer a, b;
  const std::string secret = PatternBytes(300000, 7);
  WriteFile(b.dir.path() + "secret.bin", secret);
  const int port = a.Listen();
  Relay relay(port);
  b.Drop({b.dir.path() + "secret.bin"});
  Knock(a, b, relay.port());
  ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
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

TEST(SecureSession, AStrippedHelloMakesTheSessionClassicWhichPairedOnlyAndAGivenCodeRefuse) {
  TestPeer a, b;
  int port = a.Listen();
  {
    Relay relay(port, StripFirstMessages());
    Knock(a, b, relay.port());
    ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
    EXPECT_TRUE(a.port.HasChatLine(text::CLASSIC_SESSION));
    EXPECT_TRUE(b.port.HasChatLine(text::CLASSIC_SESSION));
    a.Stop();
    b.Stop();
  }
  a.session.security.paired_only = true;
  port = a.Listen();
  Relay relay(port, StripFirstMessages());
  Knock(a, b, relay.port());
  ASSERT_TRUE(WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(text::PAIRED_ONLY)); }));
  EXPECT_TRUE(b.port.HasChatLine(FormatLine(text::CHAT_RECEIVED, text::PAIRED_ONLY.In(JAPANESE))));
  a.Stop();

  // A side given a code takes only an encrypted, paired session; the waiting side still
  // serves classic peers.
  a.session.security.paired_only = false;
  port = a.Listen();
  Relay stripping(port, StripFirstMessages());
  b.session.security.pair_code = ShownCode(a);
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
  b.session.security.pair_code = ShownCode(a);
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] {
    return Ended(b) &&
           a.port.HasChatLine(Refused(FormatLine(text::PEER_OLDER, text::CAPTION).c_str()));
  }));
  EXPECT_TRUE(b.port.HasChatLine(FormatLine(text::PEER_NEWER, text::CAPTION)));
  EXPECT_FALSE(a.Connected());
  EXPECT_FALSE(a.port.HasChatLine(text::PAIRING_FAILED));

  // A side without a key still meets either in the clear.
  b.session.security.version_cap = 1;
  b.session.security.pair_code.clear();
  Knock(a, b, port);
  ASSERT_TRUE(WaitFor([&] { return a.Connected() && b.Connected(); }));
  EXPECT_TRUE(b.port.HasChatLine(FormatLine(text::EXTENDED_SESSION, text::CAPTION)));
  a.Stop();
  b.Stop();

  // Two builds of the same older version still meet encrypted.
  a.session.security.version_cap = b.session.security.version_cap = FIRST_SECURE_VERSION;
  ASSERT_TRUE(ConnectPair(a, b));
  EXPECT_TRUE(a.port.HasChatLine(FormatLine(text::ENCRYPTED_SESSION, text::CAPTION)));
}

// Without a usable key, while paired peers may exist, no extended session runs in the clear;
// classic peers are served as before.
TEST(SecureSession, AnUnusableKeyRefusesClearExtendedSessionsButServesClassicPeers) {
  TestPeer a, b;
  a.session.security.identity = nullptr;
  a.session.security.key_unusable_with_peers = true;
  const int port = a.Listen();
  Knock(a, b, port);
  ASSERT_TRUE(
      WaitFor([&] { return Ended(b) && a.port.HasChatLine(Refused(text::KEY_UNUSABLE_REFUSED)); }));
  EXPECT_TRUE(
      b.port.HasChatLine(FormatLine(text::CHAT_RECEIVED, text::KEY_UNUSABLE_REFUSED.In(JAPANESE))));

  RawPeer classic;
  ASSERT_TRUE(classic.ConnectTo(port));
  a.Accept();
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
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, target_port] { Run(target_port); });
  }
  ~Interceptor() {
    ::shutdown(listener_, SHUT_RDWR);
    for (int fd : {client_.load(), server_.load()}) {
      if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
    thread_.join();
  }
  [[nodiscard]] int port() const { return port_; }

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

  // The next whole message of `leg`, complemented back.
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
        Complement(raw, n);
        leg.buffer.append(raw, static_cast<size_t>(n));
        continue;
      }
      if (n != TlsEngine::NEED_MORE) return false;
      const ssize_t got = recv(leg.fd, raw, sizeof raw, 0);
      if (got <= 0) return false;
      leg.engine->Feed(raw, static_cast<size_t>(got));
    }
  }

  static bool WriteMessage(Leg& leg, std::string message) {
    Complement(message.data(), static_cast<int>(message.size()));
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
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    client_.store(client);
    server_.store(server);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(target_port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string own_hello_client, own_hello_server;
    if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ReadHello(client, own_hello_client) &&
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
    ::close(client);
    ::close(server);
  }

  Identity identity_;
  int listener_ = -1;
  int port_ = -1;
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
  b.session.security.pair_code = ShownCode(a);
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
  b.session.security.pair_code = ShownCode(a);
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
