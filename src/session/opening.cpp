#include "session/opening.h"

#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "nearby/txt_records.h"
#include "net/socket_io.h"
#include "port/catalogue.h"
#include "port/format.h"
#include "port/texts.h"
#include "protocol/ext_text.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "protocol/wire_text.h"
#include "secure/pairing.h"
#include "secure/tls_engine.h"
#include "transfer/connection.h"

namespace tovrin {

int HelloVersion(bool classic, const SecuritySettings& security) {
  int version = classic ? 0 : (security.identity ? EXTENSION_VERSION : 1);
  if (security.version_cap > 0) version = std::min(version, security.version_cap);
  return version;
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr char HELLO_LABEL[] = "EXPORTER-tovrin-hellos";
constexpr char PAIRING_LABEL[] = "EXPORTER-tovrin-pairing";
// CPace's ADa and ADb: both empty, since CI already binds the keys and the hellos.
constexpr std::string_view NO_ASSOCIATED_DATA;
// Received bytes taken in one recv while the opening reads inside TLS.
constexpr std::size_t RECORD_ROOM = 16 * 1024 + 512;
// The longest message of the opening inside TLS: a refusal's line.
constexpr int MAX_OPENING_MESSAGE = HEADER_SIZE + MAX_TEXT;

// Reads exactly `count` bytes as they are on the wire: the first by `first_deadline`, the
// rest by `deadline`.
enum class Got { kAll, kNothing, kFailed };
Got ReadRaw(int fd, char* out, int count, Clock::time_point first_deadline,
            Clock::time_point deadline) {
  if (count <= 0) return Got::kAll;
  const IoEnd first = ReceiveAll(fd, out, 1, first_deadline);
  if (first != IoEnd::kDone) return first == IoEnd::kWaitFailed ? Got::kNothing : Got::kFailed;
  const auto rest = static_cast<std::size_t>(count - 1);
  return ReceiveAll(fd, out + 1, rest, deadline) == IoEnd::kDone ? Got::kAll : Got::kFailed;
}

// The messages of the opening inside TLS, framed as every message is, and complemented when
// the session's version complements what TLS carries.
class SecureChannel final {
 public:
  SecureChannel(TlsEngine& engine, int fd, Clock::time_point deadline, bool complemented)
      : engine_(engine), fd_(fd), deadline_(deadline), complemented_(complemented) {}

  bool Send(char* message, int count) {
    if (complemented_) Complement(message, count);
    out_.clear();
    return engine_.Write(message, static_cast<std::size_t>(count), out_) &&
           SendAll(fd_, out_.data(), out_.size(), deadline_) == IoEnd::kDone;
  }

  // The next message; its payload stays valid until the next call. Reads nothing beyond it.
  bool Receive(FrameHeader& header, const char*& payload) {
    if (!ReadPlain(buffer_.data(), HEADER_SIZE)) return false;
    header = LoadHeader(buffer_.data());
    if (header.length < 0 || header.length > MAX_OPENING_MESSAGE - HEADER_SIZE) return false;
    if (!ReadPlain(buffer_.data() + HEADER_SIZE, header.length)) return false;
    payload = buffer_.data() + HEADER_SIZE;
    return true;
  }

 private:
  bool ReadPlain(char* out, int count) {
    int got = 0;
    while (got < count) {
      const int n = engine_.Read(out + got, count - got);
      if (n > 0) {
        got += n;
        continue;
      }
      if (n != TlsEngine::NEED_MORE || !WaitReady(fd_, POLLIN, deadline_)) return false;
      const ssize_t raw = ::recv(fd_, engine_.ReceiveSpace(RECORD_ROOM), RECORD_ROOM, 0);
      if (raw <= 0 && !(raw < 0 && errno == EINTR)) return false;
      engine_.Received(raw > 0 ? static_cast<std::size_t>(raw) : 0);
    }
    if (complemented_) Complement(out, count);
    return true;
  }

  TlsEngine& engine_;
  const int fd_;
  const Clock::time_point deadline_;
  const bool complemented_;
  std::vector<char> out_;
  std::array<char, MAX_OPENING_MESSAGE> buffer_{};
};

// An acceptance carries this side's name from FIRST_NAMED_VERSION on.
int BuildResult(char* out, bool accepted, std::string_view line, bool named,
                std::string_view name) {
  if (accepted) return BuildAcceptance(out, named, name);
  const int count = BuildText(out, MSG_AUTH_RESULT, line.substr(0, MAX_TEXT - 1));
  StoreHeader(FrameHeader{MSG_AUTH_RESULT, 0, AUTH_REFUSED, count - HEADER_SIZE}, out);
  return count;
}

std::string Bytes(const KeyHash& hash) {
  return std::string(reinterpret_cast<const char*>(hash.data()), hash.size());
}

// The line for the peer's refusal: Tovrin's own refusals travel in Japanese and are shown in
// this side's language; any other reason as it came.
std::string RefusedByPeer(const std::string& refusal) {
  for (const Text<> known :
       {text::PAIRED_ONLY, text::KEY_UNUSABLE_REFUSED, text::PAIRING_NEEDS_ENCRYPTION}) {
    if (refusal == known.In(JAPANESE)) return FormatLine(text::REFUSED_BY_PEER, known.get());
  }
  return FormatLine(text::REFUSED_BY_PEER, refusal.c_str());
}

// Tells a peer in the clear why it is refused: as chat, in the form its kind of session reads
// (in Japanese, whatever this side shows).
void RefuseInTheClear(int fd, bool extended, const char* line) {
  std::array<char, HEADER_SIZE + MAX_TEXT> message{};
  const int count = extended ? BuildText(message.data(), MSG_EXT_CHAT, line)
                             : BuildText(message.data(), MSG_CHAT, ChatTextToWire(line));
  (void)SendBlock(fd, message.data(), count);
}

class Opening final {
 public:
  Opening(Connection& connection, const OpeningParams& params)
      : connection_(connection),
        params_(params),
        fd_(connection.fd()),
        deadline_(Clock::now() + OPENING_TIME_LIMIT),
        setup_deadline_(params.server ? std::min(deadline_, Clock::now() + params.setup_limit)
                                      : deadline_) {}

  OpeningResult Run() {
    PeerLink& link = connection_.link();
    const int own_version = HelloVersion(params_.classic, params_.security);
    link.SetOwnVersion(own_version);
    if (own_version == 0) {
      link.SettleClassic();
      return Finish(text::CLASSIC_SESSION);
    }
    // Both hellos as they are before complementing: what the authentication binds.
    std::array<char, HEADER_SIZE + MAX_HELLO_PAYLOAD> own_hello{};
    const int own_size = BuildHello(own_hello.data(), text::CAPTION.In(JAPANESE), own_version);
    own_hello_.assign(own_hello.data(), static_cast<std::size_t>(own_size));
    if (!SendBlock(fd_, own_hello.data(), own_size)) return Failed();

    // The peer's first message: its hello, or anything else from a classic peer, which may
    // also say nothing at all.
    std::array<char, HEADER_SIZE + MAX_HELLO_PAYLOAD> hello{};
    const Got got =
        ReadRaw(fd_, hello.data(), HEADER_SIZE,
                std::min(setup_deadline_, Clock::now() + params_.grace), setup_deadline_);
    if (got == Got::kFailed) return SetupFailed();
    if (got == Got::kNothing) {
      link.SettleClassic();
      return Finish(text::CLASSIC_SESSION);
    }
    Complement(hello.data(), HEADER_SIZE);
    const FrameHeader header = LoadHeader(hello.data());
    if (header.type != MSG_HELLO) {
      connection_.PutBack(hello.data(), HEADER_SIZE);
      link.SettleClassic();
      return Finish(text::CLASSIC_SESSION);
    }
    std::string program;
    if (header.length <= 0 || header.length > MAX_HELLO_PAYLOAD || header.value < 1 ||
        ReadRaw(fd_, hello.data() + HEADER_SIZE, header.length, setup_deadline_, setup_deadline_) !=
            Got::kAll) {
      return SetupFailed();
    }
    Complement(hello.data() + HEADER_SIZE, header.length);
    if (!ParseHello(hello.data() + HEADER_SIZE, header.length, program)) return Failed();
    peer_hello_.assign(hello.data(), HEADER_SIZE + static_cast<std::size_t>(header.length));

    // Each encrypted version is a wire of its own: two of them never make a session, and
    // both sides say why instead of failing somewhere in the opening.
    if (own_version >= FIRST_SECURE_VERSION && header.value >= FIRST_SECURE_VERSION &&
        header.value != own_version) {
      return Failed(FormatLine(header.value < own_version ? text::PEER_OLDER : text::PEER_NEWER,
                               program.c_str()));
    }
    link.SettleExtended(header.value);
    if (link.version() < FIRST_SECURE_VERSION) {
      return Finish(FormatLine(text::EXTENDED_SESSION, program.c_str()));
    }
    return Secure(program);
  }

 private:
  OpeningResult Secure(const std::string& program) {
    std::string error;
    std::unique_ptr<TlsEngine> engine = TlsEngine::Create(
        params_.server ? TlsEngine::Role::kServer : TlsEngine::Role::kClient,
        *params_.security.identity, error);
    if (!engine || !engine->Handshake(fd_, setup_deadline_, error)) {
      return Clock::now() >= setup_deadline_
                 ? Failed(text::OPENING_TIMED_OUT)
                 : Failed(FormatLine(text::SECURE_FAILED_BECAUSE, error.c_str()));
    }
    if (params_.set_up) params_.set_up->store(true);
    const KeyHash own_key = params_.security.identity->key_hash;
    const KeyHash peer_key = engine->PeerKeyHash();
    // As ssh with a known host: another key where a known one is expected ends the opening
    // before anything is said to it, unless a code given for this connection pairs anew.
    const std::optional<KeyHash> expected = ExpectedKey();
    if (expected && *expected != peer_key && params_.security.pair_code.empty()) {
      return Failed(FormatLine(text::KEY_CHANGED, Fingerprint(*expected).c_str(),
                               Fingerprint(peer_key).c_str()));
    }
    const std::string& client_hello = params_.server ? peer_hello_ : own_hello_;
    const std::string& server_hello = params_.server ? own_hello_ : peer_hello_;

    AuthMessage own{};
    if (!HelloDigest(*engine, client_hello, server_hello, own.digest)) return Failed(text::SECURE_FAILED);
    std::array<unsigned char, 32> session_id{};
    if (!engine->Export(PAIRING_LABEL, session_id.data(), session_id.size())) {
      return Failed(text::SECURE_FAILED);
    }
    const std::string channel = (params_.server ? Bytes(peer_key) + Bytes(own_key)
                                                : Bytes(own_key) + Bytes(peer_key)) +
                                client_hello + server_hello;
    const std::string sid(reinterpret_cast<const char*>(session_id.data()), session_id.size());
    const bool known = params_.security.peers && params_.security.peers->Contains(peer_key);

    const bool complemented = ComplementsInsideTls(connection_.link().version());
    SecureChannel secure(*engine, fd_, deadline_, complemented);
    std::array<char, MAX_OPENING_MESSAGE> message{};
    FrameHeader header{};
    const char* payload = nullptr;
    AuthMessage peer{};
    std::optional<Cpace> cpace;
    bool paired = false;

    if (!params_.server) {
      SecretText code = params_.security.pair_code;
      if (code.empty() && !known && params_.ask_code) {
        std::optional<std::string> typed = params_.ask_code(Fingerprint(peer_key));
        // Given up: the attempt ends as Disconnect would end it, and nothing is sent.
        if (!typed) return Failed();
        code = SecretText(std::move(*typed));
      }
      if (!code.empty()) {
        cpace.emplace(true, code.get(), channel, sid, NO_ASSOCIATED_DATA);
        code.clear();
        own.flags = AUTH_FLAG_PAIRING;
        std::memcpy(own.share.data(), cpace->OwnShare().data(), AUTH_SHARE_SIZE);
      }
      if (!secure.Send(message.data(), BuildAuth(message.data(), own))) return Failed();
      if (!ReceiveAuth(secure, header, payload, peer)) return Failed();
      if (peer.digest != own.digest) return Failed(text::TAMPERED);
      if (cpace) {
        if ((peer.flags & AUTH_FLAG_PAIRING) == 0) return Failed(text::NO_PAIRING_WAITING);
        Cpace::Share share{};
        std::memcpy(share.data(), peer.share.data(), AUTH_SHARE_SIZE);
        if (!cpace->Finish(share, NO_ASSOCIATED_DATA) || !secure.Receive(header, payload) ||
            header.type != MSG_AUTH_CONFIRM || header.length != AUTH_CONFIRM_SIZE ||
            !CheckConfirmation(*cpace, payload)) {
          return Failed(text::PAIRING_FAILED);
        }
        if (!SendConfirmation(secure, *cpace, message.data())) return Failed();
        paired = true;
      }
    } else {
      if (!ReceiveAuth(secure, header, payload, peer)) return Failed();
      if (peer.digest != own.digest) return Failed(text::TAMPERED);
      if ((peer.flags & AUTH_FLAG_PAIRING) != 0) {
        // The one guess this code allows is taken now, whatever comes of it.
        SecretText code = params_.codes ? params_.codes->Take() : SecretText();
        if (!code.empty()) {
          cpace.emplace(false, code.get(), channel, sid, NO_ASSOCIATED_DATA);
          code.clear();
          own.flags = AUTH_FLAG_PAIRING;
          std::memcpy(own.share.data(), cpace->OwnShare().data(), AUTH_SHARE_SIZE);
        }
      }
      Cpace::Share share{};
      std::memcpy(share.data(), peer.share.data(), AUTH_SHARE_SIZE);
      if (cpace && !cpace->Finish(share, NO_ASSOCIATED_DATA)) return Failed(text::PAIRING_FAILED);
      if (!secure.Send(message.data(), BuildAuth(message.data(), own))) return Failed();
      if ((peer.flags & AUTH_FLAG_PAIRING) != 0) {
        if (!cpace) return Failed(text::NO_CODE_SHOWN);
        if (!SendConfirmation(secure, *cpace, message.data()) || !secure.Receive(header, payload) ||
            header.type != MSG_AUTH_CONFIRM || header.length != AUTH_CONFIRM_SIZE ||
            !CheckConfirmation(*cpace, payload)) {
          return Failed(text::PAIRING_FAILED);
        }
        paired = true;
      }
    }

    const Trust trust = paired ? Trust::kJustPaired : known ? Trust::kPaired : Trust::kStranger;
    const bool accept = !params_.security.paired_only || trust != Trust::kStranger;

    // Both sides say whether they take the session; the connecting side speaks first. Only a
    // side that takes the session gives its name.
    const bool named = connection_.link().version() >= FIRST_NAMED_VERSION;
    const std::string own_name = InstallationName(params_.security.name);
    const auto result = [&] {
      return BuildResult(message.data(), accept, text::PAIRED_ONLY.In(JAPANESE), named, own_name);
    };
    std::string peer_name;
    if (params_.server) {
      if (!secure.Receive(header, payload) || header.type != MSG_AUTH_RESULT) return Failed();
      const std::string refusal = ResultRefusal(header, payload, peer_name);
      if (!secure.Send(message.data(), result())) return Failed();
      if (!refusal.empty()) return Failed(RefusedByPeer(refusal));
    } else {
      if (!secure.Send(message.data(), result()) || !secure.Receive(header, payload) ||
          header.type != MSG_AUTH_RESULT) {
        return Failed();
      }
      const std::string refusal = ResultRefusal(header, payload, peer_name);
      if (!refusal.empty()) return Failed(RefusedByPeer(refusal));
    }
    if (!accept) return Failed(text::PAIRED_ONLY);
    peer_name = InstallationName(peer_name);
    Remember(trust, peer_key, program, peer_name);

    connection_.Secure(std::move(engine), complemented);
    result_.session = true;
    result_.trust = trust;
    result_.peer_name = peer_name;
    result_.lines.push_back(
        peer_name.empty()
            ? FormatLine(text::ENCRYPTED_SESSION, program.c_str())
            : FormatLine(text::ENCRYPTED_SESSION_WITH, program.c_str(), peer_name.c_str()));
    result_.lines.push_back(FormatLine(text::OWN_FINGERPRINT, Fingerprint(own_key).c_str()));
    const Text<const char*> peer_line = trust == Trust::kJustPaired ? text::PEER_JUST_PAIRED
                                        : trust == Trust::kPaired   ? text::PEER_PAIRED
                                                                    : text::PEER_NOT_VERIFIED;
    result_.lines.push_back(FormatLine(peer_line, Fingerprint(peer_key).c_str()));
    return std::move(result_);
  }

  static bool ReceiveAuth(SecureChannel& secure, FrameHeader& header, const char*& payload,
                          AuthMessage& auth) {
    return secure.Receive(header, payload) && header.type == MSG_AUTH &&
           ParseAuth(header.value, payload, header.length, auth);
  }

  static bool SendConfirmation(SecureChannel& secure, const Cpace& cpace, char* message) {
    const Cpace::Confirmation confirmation = cpace.OwnConfirmation();
    std::memcpy(message + HEADER_SIZE, confirmation.data(), confirmation.size());
    StoreHeader(FrameHeader{MSG_AUTH_CONFIRM, 0, 0, AUTH_CONFIRM_SIZE}, message);
    return secure.Send(message, HEADER_SIZE + AUTH_CONFIRM_SIZE);
  }

  static bool CheckConfirmation(const Cpace& cpace, const char* payload) {
    Cpace::Confirmation peer{};
    std::memcpy(peer.data(), payload, peer.size());
    return cpace.CheckPeerConfirmation(peer);
  }

  // The peer's refusal line; empty when it accepted, with the name it gave in `name`.
  static std::string ResultRefusal(const FrameHeader& header, const char* payload,
                                   std::string& name) {
    std::string refusal;
    if (ParseAuthResult(header.value, payload, header.length, refusal, &name)) return {};
    return refusal;
  }

  // The key the connecting side expects the peer to have: the one it was given for this
  // attempt, else the one last met at this address while it is paired. A side that speaks
  // only the classic wire or cannot encrypt expects nothing.
  std::optional<KeyHash> ExpectedKey() const {
    const SecuritySettings& security = params_.security;
    if (params_.server || params_.classic || !security.identity) return std::nullopt;
    if (security.expected_key) return security.expected_key;
    if (!security.peers || params_.address.empty()) return std::nullopt;
    return security.peers->ExpectedAt(params_.address);
  }

  // Once both sides have taken an encrypted session: a new pairing is added to the paired
  // peers, labelled with the peer's name (its program and address when it gave none), a
  // paired peer's label follows its name, and the connecting side notes which key it met at
  // the address (none for a stranger).
  void Remember(Trust trust, const KeyHash& peer_key, const std::string& program,
                const std::string& peer_name) const {
    PeerStore* peers = params_.security.peers.get();
    if (peers == nullptr) return;
    if (trust == Trust::kJustPaired) {
      (void)peers->Add(peer_key, peer_name.empty() ? program + " " + params_.peer_label : peer_name);
    } else if (trust == Trust::kPaired && !peer_name.empty()) {
      (void)peers->Relabel(peer_key, peer_name);
    }
    if (!params_.server && !params_.address.empty()) {
      (void)peers->RememberAddress(params_.address, trust == Trust::kStranger
                                                        ? std::nullopt
                                                        : std::optional<KeyHash>(peer_key));
    }
  }

  // A session in the clear (classic, or version 1): taken, unless the connecting side was
  // given a code to pair with, the key is unusable while paired peers may exist (version 1
  // only), or only paired peers may come.
  OpeningResult Finish(const std::string& line) {
    const bool extended = connection_.link().extended();
    const std::optional<Text<>> refusal =
        !params_.server && !params_.security.pair_code.empty() ? text::PAIRING_NEEDS_ENCRYPTION
        : extended && params_.security.key_unusable_with_peers ? text::KEY_UNUSABLE_REFUSED
        : params_.security.paired_only ? std::optional<Text<>>(text::PAIRED_ONLY)
                                       : std::nullopt;
    if (refusal) {
      RefuseInTheClear(fd_, extended, refusal->In(JAPANESE));
      return Failed(*refusal);
    }
    // Where a key is expected, a peer in the clear may be anyone: nothing is said to it.
    if (const std::optional<KeyHash> expected = ExpectedKey()) {
      return Failed(FormatLine(text::NO_LONGER_ENCRYPTS, Fingerprint(*expected).c_str()));
    }
    result_.session = true;
    result_.lines.push_back(line);
    return std::move(result_);
  }

  // Before the TLS handshake is through: a peer that ran out of time is told apart.
  OpeningResult SetupFailed() {
    return Clock::now() >= setup_deadline_ ? Failed(text::OPENING_TIMED_OUT) : Failed();
  }

  OpeningResult Failed(const std::string& line = {}) {
    result_.session = false;
    if (!line.empty()) result_.lines.push_back(line);
    return std::move(result_);
  }

  Connection& connection_;
  const OpeningParams& params_;
  const int fd_;
  const Clock::time_point deadline_;
  // The peer's hello and the TLS handshake: sooner on the waiting side (see SETUP_TIME_LIMIT).
  const Clock::time_point setup_deadline_;
  std::string own_hello_;
  std::string peer_hello_;
  OpeningResult result_;
};

}  // namespace

bool HelloDigest(TlsEngine& engine, const std::string& client_hello,
                        const std::string& server_hello,
                        std::array<unsigned char, 32>& digest) {
  std::array<unsigned char, 32> exported{};
  if (!engine.Export(HELLO_LABEL, exported.data(), exported.size())) return false;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  crypto_hash_sha256_update(&state, exported.data(), exported.size());
  for (const std::string* hello : {&client_hello, &server_hello}) {
    crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(hello->data()),
                              hello->size());
  }
  crypto_hash_sha256_final(&state, digest.data());
  return true;
}

std::string InstallationName(std::string_view name) {
  return CutUtf8(CleanName(name), MAX_INSTALLATION_NAME);
}

OpeningResult OpenConnection(Connection& connection, const OpeningParams& params) {
  return Opening(connection, params).Run();
}

}  // namespace tovrin
