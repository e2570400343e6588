#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <thread>

#include "secure/identity.h"
#include "secure/pairing.h"
#include "secure/tls_engine.h"
#include "storage/descriptor.h"
#include "support/files.h"

namespace tovrin::testing {
namespace {

using std::chrono::steady_clock;

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 0;
}

TEST(SecureIdentity, CreatedOncePrivatelyThenLoadedUnchanged) {
  const TempDir temp;
  const std::string dir = temp.path() + "config/tovrin";
  std::string error;
  const std::optional<Identity> first = LoadOrCreateIdentity(dir, error);
  ASSERT_TRUE(first) << error;
  EXPECT_EQ(KeyHashOfCertificate(first->cert_pem), first->key_hash);
  EXPECT_EQ(ModeOf(dir), 0700u);
  EXPECT_EQ(ModeOf(dir + "/key.pem"), 0600u);
  EXPECT_EQ(ModeOf(dir + "/cert.pem"), 0600u);
  EXPECT_EQ(CountEntries(dir), 2);
  EXPECT_TRUE(ListTree(dir).contains("cert.pem") && ListTree(dir).contains("key.pem"));

  // A folder opened up by hand stays so; a key opened up is narrowed again.
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir + "/key.pem").c_str(), 0644), 0);
  const std::optional<Identity> second = LoadOrCreateIdentity(dir, error);
  ASSERT_TRUE(second) << error;
  EXPECT_EQ(second->key_pem, first->key_pem);
  EXPECT_EQ(second->cert_pem, first->cert_pem);
  EXPECT_EQ(ModeOf(dir), 0755u);
  EXPECT_EQ(ModeOf(dir + "/key.pem"), 0600u);

  // A damaged certificate is reported, never replaced by a new identity behind the user.
  WriteFile(dir + "/cert.pem", "not a certificate");
  EXPECT_FALSE(LoadOrCreateIdentity(dir, error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadFile(dir + "/key.pem"), first->key_pem);
  EXPECT_FALSE(KeyHashOfCertificate("not a certificate"));
}

TEST(SecureIdentity, FingerprintIsBase32OfTheFirstEightyBits) {
  KeyHash hash{};
  hash.fill(0xff);
  const uint8_t low[] = {0x00, 0x44, 0x32, 0x14, 0xc7, 0x42, 0x54, 0xb6, 0x35, 0xcf};
  std::copy(std::begin(low), std::end(low), hash.begin());
  EXPECT_EQ(Fingerprint(hash), "ABCD-EFGH-IJKL-MNOP");
  const uint8_t high[] = {0x84, 0x65, 0x3a, 0x56, 0xd7, 0xc6, 0x75, 0xbe, 0x77, 0xdf};
  std::copy(std::begin(high), std::end(high), hash.begin());
  EXPECT_EQ(Fingerprint(hash), "QRST-UVWX-YZ23-4567");
  EXPECT_EQ(NormalizeFingerprint("qrst-uvwx yz23-4567"), "QRSTUVWXYZ234567");
  EXPECT_EQ(NormalizeFingerprint("QRST-UVWX-YZ23-4561"), "");
}

std::string Hex(const KeyHash& hash) {
  std::string text;
  for (const uint8_t byte : hash) {
    text += "0123456789abcdef"[byte >> 4];
    text += "0123456789abcdef"[byte & 15];
  }
  return text;
}

TEST(SecurePeerStore, AddsAndForgetsAnySpellingAndSurvivesHandEdits) {
  const TempDir temp;
  const std::string path = temp.path() + "peers";
  KeyHash a{}, b{}, forged{};
  a.fill(0x11);
  b.fill(0xab);
  forged.fill(0x77);
  PeerStore store(temp.path());
  EXPECT_FALSE(store.Contains(a));
  ASSERT_TRUE(store.Add(a, "tovrin 10.0.0.1"));
  // A label comes from the peer: a line break in it must not smuggle in a second peer.
  ASSERT_TRUE(store.Add(b, "tovrin-cli\n" + Hex(forged) + " 2024-01-01 forged"));
  ASSERT_TRUE(store.Add(a, "tovrin 10.0.0.3"));
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_FALSE(store.Contains(forged));

  WriteFile(path, "garbage\n" + ReadFile(path) + std::string(64, 'z') + " 2024-01-01 z\n\n");
  const PeerStore other(temp.path());
  const std::vector<PeerStore::Entry> entries = other.List();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key_hash, b);
  EXPECT_EQ(entries[1].key_hash, a);
  EXPECT_EQ(entries[1].label, "tovrin 10.0.0.3");
  EXPECT_EQ(entries[1].paired_on.size(), 10u);

  std::string typed = Fingerprint(a);
  std::erase(typed, '-');
  std::transform(typed.begin(), typed.end(), typed.begin(), ::tolower);
  EXPECT_EQ(store.Forget(typed), 1);
  EXPECT_EQ(store.Forget(Fingerprint(a)), 0);
  EXPECT_FALSE(other.Contains(a));
  EXPECT_TRUE(other.Contains(b));
  std::string hex = Hex(b);
  std::transform(hex.begin(), hex.end(), hex.begin(), ::toupper);
  EXPECT_EQ(store.Forget(hex), 1);
  EXPECT_TRUE(store.List().empty());
  EXPECT_EQ(ReadFile(path).rfind("garbage\n", 0), 0u);
}

struct TlsPeers {
  TempDir dir;
  std::unique_ptr<TlsEngine> client, server;
  KeyHash client_key{}, server_key{};
  int client_fds[2]{-1, -1};  // the client engine's end, the relay's end
  int server_fds[2]{-1, -1};
  TlsPeers() {
    std::string error;
    const std::optional<Identity> c = LoadOrCreateIdentity(dir.path() + "client", error);
    const std::optional<Identity> s = LoadOrCreateIdentity(dir.path() + "server", error);
    if (!c || !s) return;
    client_key = c->key_hash;
    server_key = s->key_hash;
    client = TlsEngine::Create(TlsEngine::Role::kClient, *c, error);
    server = TlsEngine::Create(TlsEngine::Role::kServer, *s, error);
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client_fds);
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, server_fds);
  }
  ~TlsPeers() {
    for (const int fd : {client_fds[0], client_fds[1], server_fds[0], server_fds[1]}) ::close(fd);
  }
  TlsPeers(const TlsPeers&) = delete;
  TlsPeers& operator=(const TlsPeers&) = delete;
};

// Forwards what `from` holds now (waiting for the first byte) to `to` in one send.
void Forward(int from, int to) {
  std::vector<char> buffer(1 << 16);
  ssize_t n = ::recv(from, buffer.data(), buffer.size(), 0);
  if (n <= 0) return;
  for (ssize_t more = 0; n < ssize_t(buffer.size()); n += more) {
    more = ::recv(from, buffer.data() + n, buffer.size() - n, MSG_DONTWAIT);
    if (more <= 0) break;
  }
  ASSERT_EQ(::send(to, buffer.data(), n, MSG_NOSIGNAL), n);
}

// Both handshakes, through a relay that holds the client's second flight back until the
// client has also sent `early` as data: the server's last reads then find both waiting. True
// when both sides succeeded.
bool Handshake(TlsPeers& p, const std::string& early) {
  if (!p.client || !p.server) return false;
  bool client_ok = false, server_ok = false;
  const auto deadline = steady_clock::now() + std::chrono::seconds(20);
  std::atomic<bool> client_done{false};
  std::thread client([&] {
    std::string error;
    std::vector<char> out;
    client_ok = p.client->Handshake(p.client_fds[0], deadline, error) &&
                p.client->Write(early.data(), early.size(), out) &&
                ::send(p.client_fds[0], out.data(), out.size(), 0) == ssize_t(out.size());
    client_done = true;
  });
  std::thread server([&] {
    std::string error;
    server_ok = p.server->Handshake(p.server_fds[0], deadline, error);
    EXPECT_TRUE(server_ok) << error;
  });
  Forward(p.client_fds[1], p.server_fds[1]);
  while (!client_done) {
    pollfd entry{p.server_fds[1], POLLIN, 0};
    if (::poll(&entry, 1, 10) > 0) Forward(p.server_fds[1], p.client_fds[1]);
  }
  if (client_ok) Forward(p.client_fds[1], p.server_fds[1]);
  client.join();
  server.join();
  return client_ok && server_ok;
}

// Hands `records` to `engine` in pieces of `piece` bytes, reading the plaintext as it comes;
// `last` is the final Read result.
std::string Deliver(TlsEngine& engine, const std::vector<char>& records, std::size_t piece,
                    int& last) {
  std::string plain;
  std::vector<char> buffer(1 << 16);
  for (std::size_t at = 0; at < records.size(); at += piece) {
    engine.Feed(records.data() + at, std::min(piece, records.size() - at));
    while ((last = engine.Read(buffer.data(), static_cast<int>(buffer.size()))) > 0) {
      plain.append(buffer.data(), last);
    }
  }
  return plain;
}

TEST(SecureTls, HandshakeAuthenticatesBothKeysAndLeavesLaterBytesInTheSocket) {
  TlsPeers p;
  ASSERT_TRUE(Handshake(p, "first words"));
  EXPECT_EQ(p.client->PeerKeyHash(), p.server_key);
  EXPECT_EQ(p.server->PeerKeyHash(), p.client_key);
  unsigned char client_secret[32], server_secret[32], other[32];
  ASSERT_TRUE(p.client->Export("tovrin pairing", client_secret, sizeof client_secret));
  ASSERT_TRUE(p.server->Export("tovrin pairing", server_secret, sizeof server_secret));
  ASSERT_TRUE(p.server->Export("another label", other, sizeof other));
  EXPECT_EQ(0, std::memcmp(client_secret, server_secret, sizeof client_secret));
  EXPECT_NE(0, std::memcmp(other, server_secret, sizeof other));

  std::vector<char> left(4096);
  pollfd entry{p.server_fds[0], POLLIN, 0};
  ASSERT_EQ(::poll(&entry, 1, 10000), 1);
  const ssize_t n = ::recv(p.server_fds[0], left.data(), left.size(), 0);
  ASSERT_GT(n, 0);
  left.resize(n);
  int last = 0;
  EXPECT_EQ(Deliver(*p.server, left, 1, last), "first words");
  EXPECT_EQ(last, TlsEngine::NEED_MORE);
}

TEST(SecureTls, DataRoundTripsAndTamperingOrCloseIsReported) {
  TlsPeers p;
  ASSERT_TRUE(Handshake(p, ""));

  const std::string big = PatternBytes((3 << 20) + 123, 7);
  std::vector<char> records;
  ASSERT_TRUE(p.client->Write(big.data(), big.size(), records));
  int last = 0;
  EXPECT_TRUE(Deliver(*p.server, records, 7001, last) == big);
  EXPECT_EQ(last, TlsEngine::NEED_MORE);

  records.clear();
  ASSERT_TRUE(p.server->Write("reply", 5, records));
  p.server->Close(records);
  EXPECT_EQ(Deliver(*p.client, records, records.size(), last), "reply");
  EXPECT_EQ(last, TlsEngine::CLOSED);

  records.clear();
  ASSERT_TRUE(p.client->Write("secret", 6, records));
  records[records.size() - 3] ^= 1;
  EXPECT_EQ(Deliver(*p.server, records, records.size(), last), "");
  EXPECT_EQ(last, TlsEngine::FAILED);
  EXPECT_FALSE(p.server->Write("more", 4, records));
}

TEST(SecureTls, HandshakeGivesUpOnTimeoutOrClose) {
  TlsPeers p;
  ASSERT_TRUE(p.client && p.server);
  std::string error;
  EXPECT_FALSE(p.server->Handshake(p.server_fds[0],
                                   steady_clock::now() + std::chrono::milliseconds(50), error));
  EXPECT_FALSE(error.empty());
  error.clear();
  ::shutdown(p.client_fds[1], SHUT_WR);
  EXPECT_FALSE(
      p.client->Handshake(p.client_fds[0], steady_clock::now() + std::chrono::seconds(20), error));
  EXPECT_FALSE(error.empty());
}

struct CpaceInputs {
  std::string code = "123456", channel = "tovrin 10.0.0.1:5000", session_id = "sid-1";
};

// Runs the exchange; true when both sides accept the other's confirmation.
bool Agree(const CpaceInputs& i, const CpaceInputs& r) {
  Cpace initiator(true, i.code, i.channel, i.session_id);
  Cpace responder(false, r.code, r.channel, r.session_id);
  return initiator.Finish(responder.OwnShare()) && responder.Finish(initiator.OwnShare()) &&
         initiator.CheckPeerConfirmation(responder.OwnConfirmation()) &&
         responder.CheckPeerConfirmation(initiator.OwnConfirmation());
}

TEST(SecurePairing, OnlyTheSameCodeChannelAndSessionAgree) {
  const CpaceInputs same;
  EXPECT_TRUE(Agree(same, same));
  CpaceInputs other = same;
  other.code = "123457";
  EXPECT_FALSE(Agree(same, other));
  other = same;
  other.channel = "tovrin 10.0.0.2:5000";
  EXPECT_FALSE(Agree(same, other));
  other = same;
  other.session_id = "sid-2";
  EXPECT_FALSE(Agree(same, other));

  // A confirmation reflected back is no proof: each role signs its own name.
  Cpace a(true, same.code, same.channel, same.session_id);
  Cpace b(true, same.code, same.channel, same.session_id);
  EXPECT_NE(a.OwnShare(), b.OwnShare());
  ASSERT_TRUE(a.Finish(b.OwnShare()));
  EXPECT_FALSE(a.CheckPeerConfirmation(a.OwnConfirmation()));
}

TEST(SecurePairing, RefusesTheIdentityAndInvalidShares) {
  const CpaceInputs in;
  Cpace::Share zero{}, invalid{};
  invalid.fill(0xff);
  Cpace a(false, in.code, in.channel, in.session_id);
  EXPECT_FALSE(a.Finish(zero));
  EXPECT_FALSE(a.Finish(invalid));
  EXPECT_FALSE(a.CheckPeerConfirmation(a.OwnConfirmation()));

  const std::string code = NewPairingCode();
  EXPECT_TRUE(IsPairingCode(code)) << code;
  for (const char* bad : {"12345", "1234567", "12345a", "12 345", ""}) {
    EXPECT_FALSE(IsPairingCode(bad)) << bad;
  }
}

}  // namespace
}  // namespace tovrin::testing
