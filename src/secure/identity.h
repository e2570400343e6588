#pragma once

#include <openssl/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovrin {

// SHA-256 of a certificate's public key (its DER SubjectPublicKeyInfo): what identifies an
// installation, whatever certificate it wraps the key in.
using KeyHash = std::array<uint8_t, 32>;

// This installation's long-lived key pair and self-signed certificate. The private key is
// held parsed only: no text of it stays in memory once it is loaded.
struct Identity {
  std::shared_ptr<EVP_PKEY> key;  // the private key (ECDSA P-256)
  std::string cert_pem;           // the self-signed certificate, PEM
  KeyHash key_hash{};
};

// $XDG_CONFIG_HOME/tovrin, or ~/.config/tovrin when XDG_CONFIG_HOME is unset or empty.
[[nodiscard]] std::string ConfigDir();

// "login@host" for the user running this process (the login or the host alone when the other
// is unknown): what an installation is called until its user names it.
[[nodiscard]] std::string DefaultInstallationName();

// Reads key.pem and cert.pem from the configuration folder `dir`, creating the folder (mode
// 0700, parents as needed) and what is missing (files 0600, written to a temporary name and
// renamed). As ssh treats its own folder, the folder and the files are opened without
// following a symbolic link and must belong to the user and not be writable by group or
// others; anything else is refused. An existing key is never overwritten or deleted:
//  - a certificate that is missing, damaged or not the key's is made anew from the key;
//  - a key.pem that holds no key is moved aside to key.pem.broken-YYYYMMDD-HHMMSS and a new
//    pair is made;
//  - a key that others could read is narrowed to 0600, with a warning.
// What it did besides loading is added to `notices` (lines for the user). nullopt with
// `error` set (a line for the user) when it can neither read nor create a usable pair.
[[nodiscard]] std::optional<Identity> LoadOrCreateIdentity(
    const std::string& dir, std::string& error, std::vector<std::string>* notices = nullptr);

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
// a blank and a label (the peer's name, as its last encrypted session gave it; the program and
// address for a peer that gave none). Beside them, the connecting side keeps where it met
// which paired key, one line each: "address", a blank, the address as A.B.C.D:PORT, a blank
// and the 64 hex digits. Lines of any other form are kept as they are. Every call reads the
// file afresh, so a second process (tovrin-cli --forget) and the window agree. The folder and
// the file are checked as LoadOrCreateIdentity checks them (never following a symbolic link):
// a file that fails the checks counts as unreadable. Thread-safe.
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
  // A paired peer's label becomes `label`; its date of pairing stays. Nothing is written when
  // the label is the same or the peer is not listed. False when the file cannot be written.
  bool Relabel(const KeyHash& hash, std::string_view label);
  // The connecting side, after an encrypted session at `address` (A.B.C.D:PORT): `hash` when
  // the session was with a paired key, nullopt when with any other. False when the file
  // cannot be written.
  bool RememberAddress(std::string_view address, const std::optional<KeyHash>& hash);
  // The key the last encrypted session at `address` was with, while it is still paired.
  [[nodiscard]] std::optional<KeyHash> ExpectedAt(std::string_view address) const;
  // Removes every peer whose fingerprint matches `fingerprint` (any spelling that
  // NormalizeFingerprint accepts; the full 64 hex digits of a key hash match too), and where it
  // was met. Returns how many peers were removed; -1 when the file cannot be read or written,
  // with `error` set.
  int Forget(std::string_view fingerprint, std::string* error = nullptr);
  [[nodiscard]] std::vector<Entry> List() const;
  // True when the file lists a peer, or when it exists but cannot be read safely (then it
  // may): what decides whether an installation without a usable key must refuse sessions
  // in the clear.
  [[nodiscard]] bool MayHavePeers() const;

 private:
  // The file's lines; none when it cannot be read.
  [[nodiscard]] std::vector<std::string> Lines() const;
  // Reads the lines, lets `change` edit them and writes them when it says it did. False when
  // the file cannot be read or written.
  bool Change(const std::function<bool(std::vector<std::string>&)>& change);

  const std::string dir_;
  mutable std::mutex lock_;
};

}  // namespace tovrin
