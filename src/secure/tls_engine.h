#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "net/owner_thread.h"
#include "secure/identity.h"

namespace tovrin {

// TLS 1.3 over a connection whose bytes the caller moves itself: the engine never touches
// the socket after the handshake. It keeps its OpenSSL object between two memory buffers and
// takes its own lock for each call, each of them short, so the thread that reads the
// connection never waits for the thread that is sending on it.
//
// Both sides present their certificate; any certificate is accepted by TLS itself, and the
// session decides afterwards whether it knows the key (PeerKeyHash) or proves it by pairing.
class TlsEngine final {
 public:
  enum class Role { kClient, kServer };
  // What Read found.
  static constexpr int NEED_MORE = 0;  // no whole record yet: Feed more
  static constexpr int FAILED = -1;    // a record did not authenticate, or an alert
  static constexpr int CLOSED = -2;    // the peer's orderly close (close_notify)

  // Sets up what every session of `identity` shares, ahead of the first (a front end calls it
  // as it starts, so a session's opening does not wait for it). False with `error` set when
  // OpenSSL refuses the identity.
  static bool Prepare(const Identity& identity, std::string& error);
  // nullptr with `error` set when OpenSSL refuses the identity.
  [[nodiscard]] static std::unique_ptr<TlsEngine> Create(Role role, const Identity& identity,
                                                        std::string& error);
  ~TlsEngine();
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;

  // Runs the whole handshake on the connected blocking socket `fd`, waiting at most until
  // `deadline` (poll before every recv and send). Reads nothing beyond the handshake's last
  // record: what follows stays in the socket. False with `error` set on failure, timeout or
  // a closed socket.
  [[nodiscard]] bool Handshake(int fd, std::chrono::steady_clock::time_point deadline,
                               std::string& error);

  // After the handshake:
  // The peer certificate's key hash.
  [[nodiscard]] KeyHash PeerKeyHash() const;
  // The negotiated cipher suite's standard name, e.g. "TLS_AES_128_GCM_SHA256".
  [[nodiscard]] std::string CipherSuite() const;
  // SSL_export_keying_material with `label` and no context.
  [[nodiscard]] bool Export(std::string_view label, unsigned char* out, std::size_t size);

  // Encrypts `size` bytes and appends the records, and anything else the engine has to
  // send, to `out`. False once the engine has failed.
  [[nodiscard]] bool Write(const void* data, std::size_t size, std::vector<char>& out);
  // Hands received bytes to the engine (any split; never fails).
  void Feed(const void* data, std::size_t size);
  // The same without a copy, for the one thread that reads the connection (asserted): room
  // for `size` bytes to receive into, then how many arrived there. Nothing else may come
  // between.
  [[nodiscard]] char* ReceiveSpace(std::size_t size);
  void Received(std::size_t count);
  // The connection's reading moves to another thread (the opening hands the engine to the
  // receive worker): the next caller of ReceiveSpace is the reading thread from then on.
  void HandOverReading() { reader_.HandOver(); }
  // Up to `capacity` bytes of plaintext from what was fed: the count, or NEED_MORE, FAILED,
  // CLOSED.
  [[nodiscard]] int Read(void* out, int capacity);
  // Appends whatever the engine wants sent on its own (answers to a peer's key update) to
  // `out`; true when it appended anything.
  bool TakeOutput(std::vector<char>& out);
  // True when the engine holds output of its own (see TakeOutput).
  [[nodiscard]] bool HasOutput() const;
  // Appends a close_notify to `out`.
  void Close(std::vector<char>& out);

 private:
  struct State;
  explicit TlsEngine(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
  mutable std::mutex lock_;
  OwnerThread reader_;
};

}  // namespace tovrin
