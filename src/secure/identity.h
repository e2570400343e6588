#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovrin {

// SHA-256 of a certificate's public key (its DER SubjectPublicKeyInfo): what identifies an
// installation, whatever certificate it wraps the key in.
using KeyHash = std::array<uint8_t, 32>;

// This installation's long-lived key pair and self-signed certificate.
struct Identity {
  std::string key_pem;   // the private key (ECDSA P-256), PEM
  std::string cert_pem;  // the self-signed certificate, PEM
  KeyHash key_hash{};
};

// $XDG_CONFIG_HOME/tovrin, or ~/.config/tovrin when XDG_CONFIG_HOME is unset or empty.
[[nodiscard]] std::string ConfigDir();

// Reads key.pem and cert.pem from `dir`; when either is missing, creates `dir` (mode 0700,
// parents as needed) and a new pair (files 0600, written to a temporary name and renamed).
// nullopt with `error` set (a line for the user) when it can neither read nor create them.
[[nodiscard]] std::optional<Identity> LoadOrCreateIdentity(const std::string& dir,
                                                           std::string& error);

// The short form people compare and type: the first 80 bits of the hash in base32
// (RFC 4648 alphabet), four groups of four, e.g. "K7Q2-M9XD-3FHA-PW6T".
[[nodiscard]] std::string Fingerprint(const KeyHash& hash);
// The same text with dashes and spaces dropped and letters upper-cased, for comparing what a
// user typed; empty when it holds any other character.
[[nodiscard]] std::string NormalizeFingerprint(std::string_view text);

// SHA-256 of the DER SubjectPublicKeyInfo inside a PEM or DER certificate; nullopt when it
// is none.
[[nodiscard]] std::optional<KeyHash> KeyHashOfCertificate(std::string_view cert);

// The paired peers, kept in the file `peers` of the configuration folder (mode 0600), one
// line each: the 64 hex digits of the key hash, a blank, the date of pairing (YYYY-MM-DD),
// a blank and a label (the peer's program and address when paired). Every call reads the
// file afresh, so a second process (tovrin-cli --forget) and the window agree. Thread-safe.
class PeerStore final {
 public:
  struct Entry {
    KeyHash key_hash{};
    std::string paired_on;  // YYYY-MM-DD
    std::string label;
  };

  explicit PeerStore(std::string dir);

  [[nodiscard]] bool Contains(const KeyHash& hash) const;
  // Adds or refreshes the peer. False when the file cannot be written.
  bool Add(const KeyHash& hash, std::string_view label);
  // Removes every peer whose fingerprint matches `fingerprint` (any spelling that
  // NormalizeFingerprint accepts; the full 64 hex digits of a key hash match too). Returns
  // how many were removed; -1 when the file cannot be written.
  int Forget(std::string_view fingerprint);
  [[nodiscard]] std::vector<Entry> List() const;

 private:
  const std::string path_;
  mutable std::mutex lock_;
};

}  // namespace tovrin
