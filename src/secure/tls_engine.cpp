#include "secure/tls_engine.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#if defined(__aarch64__)
#include <sys/auxv.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "net/errno_text.h"
#include "net/socket_io.h"

namespace tovrin {
namespace {

// AES-128-GCM first: 10 rounds to AES-256's 14, and no weaker for any session. A CPU without AES
// instructions runs ChaCha20-Poly1305 several times faster than AES in software, so such a side
// lists it first, and a server honours a client that does (SSL_OP_PRIORITIZE_CHACHA).
constexpr const char* AES_FIRST =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* CHACHA_FIRST =
    "TLS_CHACHA20_POLY1305_SHA256:TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384";
constexpr std::size_t RECORD_HEADER = 5;
// The largest TLSCiphertext body a peer may send.
constexpr std::size_t MAX_RECORD_BODY = 16384 + 256;
// Each record adds its header, the content type and the AEAD tag.
constexpr std::size_t RECORD_PAYLOAD = 16384;
constexpr std::size_t RECORD_OVERHEAD = RECORD_HEADER + 1 + 16;
// What one SSL_write or BIO_write call takes at most (their counts are ints).
constexpr std::size_t MAX_CALL = 1 << 30;

// Whether this CPU has AES instructions; where it cannot be told, it is assumed to.
bool HasAesInstructions() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("aes") != 0;
#elif defined(__aarch64__) && defined(HWCAP_AES)
  return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
#else
  return true;
#endif
}

// TLS only proves the peer holds the key of its certificate; the session pins or pairs it.
int AcceptAnyCertificate(int /*preverify_ok*/, X509_STORE_CTX* /*store*/) { return 1; }

// The bytes between OpenSSL and the connection. A memory BIO would zero every byte before
// copying it in and copy it once more on the way out; here OpenSSL appends its records to
// `outbox`, which the caller takes whole (by swapping buffers), and reads the peer's records
// from `inbox`, which the reading thread fills straight from the socket.
struct Pipe {
  std::vector<char> outbox;
  std::unique_ptr<char[]> inbox;
  std::size_t inbox_capacity = 0;
  std::size_t inbox_start = 0;  // the first byte OpenSSL has not read
  std::size_t inbox_end = 0;    // one past the last byte received
};

Pipe& PipeOf(BIO* bio) { return *static_cast<Pipe*>(BIO_get_data(bio)); }

int PipeWrite(BIO* bio, const char* data, int size) {
  if (size <= 0) return 0;
  Pipe& pipe = PipeOf(bio);
  pipe.outbox.insert(pipe.outbox.end(), data, data + size);
  return size;
}

int PipeRead(BIO* bio, char* out, int size) {
  BIO_clear_retry_flags(bio);
  Pipe& pipe = PipeOf(bio);
  const std::size_t available = pipe.inbox_end - pipe.inbox_start;
  if (available == 0) {
    BIO_set_retry_read(bio);
    return -1;
  }
  const std::size_t count = std::min(available, static_cast<std::size_t>(std::max(size, 0)));
  std::memcpy(out, pipe.inbox.get() + pipe.inbox_start, count);
  pipe.inbox_start += count;
  if (pipe.inbox_start == pipe.inbox_end) pipe.inbox_start = pipe.inbox_end = 0;
  return static_cast<int>(count);
}

long PipeControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_PENDING:
      return static_cast<long>(PipeOf(bio).inbox_end - PipeOf(bio).inbox_start);
    case BIO_CTRL_WPENDING:
      return static_cast<long>(PipeOf(bio).outbox.size());
    default:
      return 0;
  }
}

int PipeCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* PipeMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tovrin pipe");
    if (made != nullptr) {
      BIO_meth_set_write(made, PipeWrite);
      BIO_meth_set_read(made, PipeRead);
      BIO_meth_set_ctrl(made, PipeControl);
      BIO_meth_set_create(made, PipeCreate);
    }
    return made;
  }();
  return method;
}

std::string OpenSslText() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "no further detail";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// True when a handshake transfer is done; otherwise false with `error` set to why.
bool HandshakeIo(IoEnd end, std::chrono::steady_clock::time_point deadline, std::string& error) {
  switch (end) {
    case IoEnd::kDone:
      return true;
    case IoEnd::kWaitFailed:
      error = std::chrono::steady_clock::now() >= deadline ? "TLS handshake timed out"
                                                           : "TLS handshake: " + ErrnoText(errno);
      return false;
    case IoEnd::kClosed:
      error = "The peer closed the connection during the TLS handshake";
      return false;
    case IoEnd::kFailed:
      break;
  }
  error = "TLS handshake: " + ErrnoText(errno);
  return false;
}

}  // namespace

struct TlsEngine::State {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* network_in = nullptr;   // what the peer sent, for OpenSSL to read
  BIO* network_out = nullptr;  // what OpenSSL wrote, for the caller to send
  Pipe pipe;
  bool handshake_done = false;
  bool failed = false;
  KeyHash peer_key_hash{};

  State() = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;
  ~State() {
    SSL_free(ssl);  // frees both BIOs
    SSL_CTX_free(ctx);
  }

  // Moves everything OpenSSL has written to the end of `out`; true when there was any.
  bool Drain(std::vector<char>& out) {
    if (pipe.outbox.empty()) return false;
    if (out.empty()) {
      out.swap(pipe.outbox);
    } else {
      out.insert(out.end(), pipe.outbox.begin(), pipe.outbox.end());
    }
    pipe.outbox.clear();
    return true;
  }

  // Room for `size` more received bytes at the end of the inbox.
  char* InboxSpace(std::size_t size) {
    if (pipe.inbox_capacity - pipe.inbox_end < size) {
      const std::size_t kept = pipe.inbox_end - pipe.inbox_start;
      if (pipe.inbox_capacity - kept < size) {
        const std::size_t capacity = std::max(kept + size, 2 * pipe.inbox_capacity);
        std::unique_ptr<char[]> larger(new char[capacity]);
        if (kept > 0) std::memcpy(larger.get(), pipe.inbox.get() + pipe.inbox_start, kept);
        pipe.inbox = std::move(larger);
        pipe.inbox_capacity = capacity;
      } else if (kept > 0) {
        std::memmove(pipe.inbox.get(), pipe.inbox.get() + pipe.inbox_start, kept);
      }
      pipe.inbox_start = 0;
      pipe.inbox_end = kept;
    }
    return pipe.inbox.get() + pipe.inbox_end;
  }

  void Append(const void* data, std::size_t size) {
    std::memcpy(InboxSpace(size), data, size);
    pipe.inbox_end += size;
  }
};

namespace {

// Makes the context all sessions of one identity share: TLS 1.3 only, both sides present
// their certificate, no tickets. nullptr with `error` set when OpenSSL refuses the identity.
SSL_CTX* MakeContext(const Identity& identity, std::string& error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_method());
  if (ctx == nullptr) {
    error = "Cannot set up TLS: " + OpenSslText();
    return nullptr;
  }
  BIO* cert_bio =
      BIO_new_mem_buf(identity.cert_pem.data(), static_cast<int>(identity.cert_pem.size()));
  X509* cert = cert_bio ? PEM_read_bio_X509(cert_bio, nullptr, nullptr, nullptr) : nullptr;
  const bool identity_ok =
      identity.key != nullptr && cert != nullptr && SSL_CTX_use_certificate(ctx, cert) == 1 &&
      SSL_CTX_use_PrivateKey(ctx, identity.key.get()) == 1 && SSL_CTX_check_private_key(ctx) == 1;
  X509_free(cert);
  BIO_free(cert_bio);
  if (!identity_ok) {
    error = "TLS refuses this installation's key or certificate: " + OpenSslText();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, AcceptAnyCertificate);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  // The server's order decides, whatever a client lists first, except that a client listing
  // ChaCha20 first (one without AES instructions) gets it.
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_ciphersuites(ctx, HasAesInstructions() ? AES_FIRST : CHACHA_FIRST) != 1 ||
      SSL_CTX_set_num_tickets(ctx, 0) != 1) {
    error = "Cannot set up TLS: " + OpenSslText();
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

// Setting up a context costs milliseconds (OpenSSL's first use, parsing the key): it is made
// once per identity (a process has one; a few are kept for tests that run several) and each
// session takes a reference. Returns a new reference.
SSL_CTX* SharedContext(const Identity& identity, std::string& error) {
  constexpr std::size_t KEPT = 4;
  static std::mutex lock;
  // Never destroyed: sessions may still be ending while the process exits.
  static auto* const contexts = new std::vector<std::pair<std::string, SSL_CTX*>>;  // newest last
  const std::lock_guard<std::mutex> guard(lock);
  auto found = std::find_if(contexts->begin(), contexts->end(),
                            [&](const auto& entry) { return entry.first == identity.cert_pem; });
  if (found == contexts->end()) {
    SSL_CTX* made = MakeContext(identity, error);
    if (made == nullptr) return nullptr;
    if (contexts->size() == KEPT) {
      SSL_CTX_free(contexts->front().second);
      contexts->erase(contexts->begin());
    }
    contexts->emplace_back(identity.cert_pem, made);
    found = contexts->end() - 1;
  }
  SSL_CTX_up_ref(found->second);
  return found->second;
}

}  // namespace

bool TlsEngine::Prepare(const Identity& identity, std::string& error) {
  ERR_clear_error();
  SSL_CTX* ctx = SharedContext(identity, error);
  SSL_CTX_free(ctx);
  return ctx != nullptr;
}

std::unique_ptr<TlsEngine> TlsEngine::Create(Role role, const Identity& identity,
                                             std::string& error) {
  ERR_clear_error();
  auto state = std::make_unique<State>();
  state->ctx = SharedContext(identity, error);
  if (state->ctx == nullptr) return nullptr;
  state->ssl = SSL_new(state->ctx);
  state->network_in = PipeMethod() != nullptr ? BIO_new(PipeMethod()) : nullptr;
  state->network_out = PipeMethod() != nullptr ? BIO_new(PipeMethod()) : nullptr;
  if (state->ssl == nullptr || state->network_in == nullptr || state->network_out == nullptr) {
    BIO_free(state->network_in);
    BIO_free(state->network_out);
    error = "Cannot set up TLS: " + OpenSslText();
    return nullptr;
  }
  BIO_set_data(state->network_in, &state->pipe);
  BIO_set_data(state->network_out, &state->pipe);
  SSL_set_bio(state->ssl, state->network_in, state->network_out);
  if (role == Role::kClient) {
    SSL_set_connect_state(state->ssl);
  } else {
    SSL_set_accept_state(state->ssl);
  }
  return std::unique_ptr<TlsEngine>(new TlsEngine(std::move(state)));
}

TlsEngine::TlsEngine(std::unique_ptr<State> state) : state_(std::move(state)) {}

TlsEngine::~TlsEngine() = default;

// Each pass lets OpenSSL advance, sends all it wrote, and when it needs input reads exactly
// one record: its header first, then its body. The client's Finished is written by the pass
// that completes its handshake, so the flush comes before the check for completion.
bool TlsEngine::Handshake(int fd, std::chrono::steady_clock::time_point deadline,
                          std::string& error) {
  const std::lock_guard<std::mutex> guard(lock_);
  State& s = *state_;
  if (s.handshake_done || s.failed) {
    error = "TLS handshake already run";
    return false;
  }
  std::vector<char> outgoing;
  std::vector<unsigned char> record(RECORD_HEADER + MAX_RECORD_BODY);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(s.ssl);
    const int reason = result == 1 ? SSL_ERROR_NONE : SSL_get_error(s.ssl, result);
    const std::string detail = reason == SSL_ERROR_NONE ? std::string() : OpenSslText();
    outgoing.clear();
    s.Drain(outgoing);
    // An alert explaining a failure is worth sending, but the failure is what gets reported.
    std::string send_error;
    const bool sent =
        HandshakeIo(SendAll(fd, outgoing.data(), outgoing.size(), deadline), deadline, send_error);
    if (result == 1 && sent) break;
    if (reason != SSL_ERROR_NONE && reason != SSL_ERROR_WANT_READ) {
      s.failed = true;
      error = "TLS handshake failed: " + detail;
      return false;
    }
    if (!sent) {
      s.failed = true;
      error = send_error;
      return false;
    }
    if (!HandshakeIo(ReceiveAll(fd, record.data(), RECORD_HEADER, deadline), deadline, error)) {
      s.failed = true;
      return false;
    }
    const std::size_t body = (std::size_t{record[3]} << 8) | record[4];
    if (body > MAX_RECORD_BODY) {
      s.failed = true;
      error = "TLS handshake failed: the peer sent an oversized record";
      return false;
    }
    if (!HandshakeIo(ReceiveAll(fd, record.data() + RECORD_HEADER, body, deadline), deadline,
                     error)) {
      s.failed = true;
      return false;
    }
    s.Append(record.data(), RECORD_HEADER + body);
  }
  X509* peer = SSL_get0_peer_certificate(s.ssl);
  unsigned char* der = nullptr;
  const int der_size = peer != nullptr ? i2d_X509(peer, &der) : 0;
  const std::optional<KeyHash> hash =
      der_size > 0 ? KeyHashOfCertificate(std::string_view(reinterpret_cast<char*>(der),
                                                           static_cast<std::size_t>(der_size)))
                   : std::nullopt;
  OPENSSL_free(der);
  if (!hash) {
    s.failed = true;
    error = "TLS handshake failed: the peer presented no usable certificate";
    return false;
  }
  s.peer_key_hash = *hash;
  s.handshake_done = true;
  return true;
}

std::string TlsEngine::CipherSuite() const {
  const std::lock_guard<std::mutex> guard(lock_);
  const SSL_CIPHER* cipher = SSL_get_current_cipher(state_->ssl);
  return cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "";
}

KeyHash TlsEngine::PeerKeyHash() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return state_->peer_key_hash;
}

bool TlsEngine::Export(std::string_view label, unsigned char* out, std::size_t size) {
  const std::lock_guard<std::mutex> guard(lock_);
  if (!state_->handshake_done) return false;
  ERR_clear_error();
  return SSL_export_keying_material(state_->ssl, out, size, label.data(), label.size(), nullptr, 0,
                                    0) == 1;
}

bool TlsEngine::Write(const void* data, std::size_t size, std::vector<char>& out) {
  const std::lock_guard<std::mutex> guard(lock_);
  State& s = *state_;
  if (!s.handshake_done || s.failed) return false;
  // The records go to the outbox, which Drain hands over whole.
  s.pipe.outbox.reserve(s.pipe.outbox.size() + size + (size / RECORD_PAYLOAD + 1) * RECORD_OVERHEAD);
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const int chunk = static_cast<int>(std::min(size, MAX_CALL));
    ERR_clear_error();
    const int n = SSL_write(s.ssl, bytes, chunk);
    if (n <= 0) {
      s.failed = true;
      s.Drain(out);
      return false;
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  s.Drain(out);
  return true;
}

void TlsEngine::Feed(const void* data, std::size_t size) {
  const std::lock_guard<std::mutex> guard(lock_);
  state_->Append(data, size);
}

char* TlsEngine::ReceiveSpace(std::size_t size) {
  reader_.Check();
  const std::lock_guard<std::mutex> guard(lock_);
  return state_->InboxSpace(size);
}

void TlsEngine::Received(std::size_t count) {
  reader_.Check();
  const std::lock_guard<std::mutex> guard(lock_);
  state_->pipe.inbox_end += count;
}

int TlsEngine::Read(void* out, int capacity) {
  const std::lock_guard<std::mutex> guard(lock_);
  State& s = *state_;
  if (!s.handshake_done || s.failed) return FAILED;
  if (capacity <= 0) return NEED_MORE;
  ERR_clear_error();
  const int n = SSL_read(s.ssl, out, capacity);
  if (n > 0) return n;
  switch (SSL_get_error(s.ssl, n)) {
    case SSL_ERROR_WANT_READ:
      return NEED_MORE;
    case SSL_ERROR_ZERO_RETURN:
      return CLOSED;
    default:
      ERR_clear_error();
      s.failed = true;
      return FAILED;
  }
}

bool TlsEngine::TakeOutput(std::vector<char>& out) {
  const std::lock_guard<std::mutex> guard(lock_);
  return state_->Drain(out);
}

bool TlsEngine::HasOutput() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return !state_->pipe.outbox.empty();
}

void TlsEngine::Close(std::vector<char>& out) {
  const std::lock_guard<std::mutex> guard(lock_);
  State& s = *state_;
  if (s.handshake_done && !s.failed) {
    ERR_clear_error();
    SSL_shutdown(s.ssl);
    ERR_clear_error();
  }
  s.Drain(out);
}

}  // namespace tovrin
