#include "secure/identity.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <sstream>
#include <utility>

#include "net/descriptor.h"
#include "storage/config_files.h"

namespace tovrin {
namespace {

constexpr char BASE32_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr int FINGERPRINT_BYTES = 10;
constexpr int CERT_VALIDITY_DAYS = 36525;
constexpr char KEY_FILE[] = "key.pem";
constexpr char CERT_FILE[] = "cert.pem";
constexpr char PEERS_FILE[] = "peers";
// Larger files are no key, certificate or list of peers Tovrin wrote.
constexpr off_t MAX_PEM_SIZE = 64 * 1024;
constexpr off_t MAX_PEERS_SIZE = 16 * 1024 * 1024;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

std::optional<KeyHash> KeyHashOfX509(X509* cert) {
  unsigned char* der = nullptr;
  const int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
  if (size <= 0) return std::nullopt;
  KeyHash hash{};
  const bool ok = EVP_Digest(der, static_cast<std::size_t>(size), hash.data(), nullptr,
                             EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  if (!ok) return std::nullopt;
  return hash;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  const ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
  return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

// A self-signed certificate for `key`, as PEM; empty when OpenSSL fails.
std::string MakeCertificate(EVP_PKEY* key) {
  const X509Ptr cert(X509_new());
  if (!cert) return {};
  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) return {};
  serial_bytes[0] &= 0x7f;
  const BignumPtr serial(BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr));
  X509_NAME* name = X509_get_subject_name(cert.get());
  const bool built =
      serial && X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) != nullptr &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400) != nullptr &&
      X509_time_adj_ex(X509_getm_notAfter(cert.get()), CERT_VALIDITY_DAYS, 0, nullptr) != nullptr &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Tovrin"), -1, -1,
                                 0) == 1 &&
      X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key) == 1 &&
      AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
      AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
      AddExtension(cert.get(), NID_subject_key_identifier, "hash") &&
      X509_sign(cert.get(), key, EVP_sha256()) > 0;
  if (!built) return {};
  const BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) return {};
  return BioText(bio.get());
}

// The private key in `text`; the text is wiped whatever it held.
PkeyPtr ParseKey(std::string& text) {
  PkeyPtr key;
  {
    const BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (bio) key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  }
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
  return key;
}

// The key hash of the certificate `cert_pem` when it holds `key`'s public half.
std::optional<KeyHash> CertificateOfKey(const std::string& cert_pem, EVP_PKEY* key) {
  const BioPtr bio(BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size())));
  if (!bio) return std::nullopt;
  const X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert || X509_check_private_key(cert.get(), key) != 1) return std::nullopt;
  return KeyHashOfX509(cert.get());
}

// Writes `key` as key.pem, never replacing one; the PEM text lives only in OpenSSL's memory
// buffer, which is wiped as it is freed.
bool WriteKey(int dir_fd, const std::string& dir, EVP_PKEY* key, std::string& error) {
  const BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    error = "Cannot write a key pair";
    return false;
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 &&
         WriteConfigFile(dir_fd, dir, KEY_FILE, data, static_cast<std::size_t>(size), true, error);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<KeyHash> ParseHex(std::string_view text) {
  if (text.size() != 2 * sizeof(KeyHash)) return std::nullopt;
  KeyHash hash{};
  for (std::size_t i = 0; i < hash.size(); ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    hash[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return hash;
}

std::string Hex(const KeyHash& hash) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * hash.size());
  for (const uint8_t byte : hash) {
    text += DIGITS[byte >> 4];
    text += DIGITS[byte & 15];
  }
  return text;
}

bool IsDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != 4 && i != 7 && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

// One line of the peers file; nullopt for anything else, which the store leaves alone.
std::optional<PeerStore::Entry> ParseLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.size() < 75 || line[64] != ' ' || (line.size() > 75 && line[75] != ' ')) {
    return std::nullopt;
  }
  const std::optional<KeyHash> hash = ParseHex(line.substr(0, 64));
  const std::string_view date = line.substr(65, 10);
  if (!hash || !IsDate(date)) return std::nullopt;
  const std::string_view label = line.size() > 76 ? line.substr(76) : std::string_view();
  return PeerStore::Entry{*hash, std::string(date), std::string(label)};
}

// The connecting side's record of the key it met at an address: "address A.B.C.D:PORT HEX".
// No line of a peer starts so (its first 64 characters are hex digits), so a build that
// knows only peers' lines leaves these alone, and keeps them when it rewrites the file.
constexpr std::string_view ADDRESS_PREFIX = "address ";

struct AddressLine {
  std::string_view address;
  KeyHash key_hash{};
};

std::optional<AddressLine> ParseAddressLine(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (!line.starts_with(ADDRESS_PREFIX)) return std::nullopt;
  line.remove_prefix(ADDRESS_PREFIX.size());
  const std::size_t blank = line.find(' ');
  if (blank == 0 || blank == std::string_view::npos) return std::nullopt;
  const std::optional<KeyHash> hash = ParseHex(line.substr(blank + 1));
  if (!hash) return std::nullopt;
  return AddressLine{line.substr(0, blank), *hash};
}

// A label comes from the peer: control characters become blanks, so that it can never end
// its line and start one of its own.
std::string LabelText(std::string_view label) {
  std::string text;
  for (const char c : label) text += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  return text;
}

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

// The raw lines of the peers file (none when it is missing); false with `error` set when it
// exists but cannot be read safely.
bool ReadLines(int dir_fd, const std::string& dir, std::vector<std::string>& lines,
               std::string& error) {
  std::string content;
  const ConfigRead read = ReadConfigFile(dir_fd, dir, PEERS_FILE, MAX_PEERS_SIZE, content, error);
  if (read == ConfigRead::kFailed) return false;
  std::istringstream in(content);
  for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));
  return true;
}

bool WriteLines(int dir_fd, const std::string& dir, const std::vector<std::string>& lines,
                std::string& error) {
  std::string content;
  for (const std::string& line : lines) content += line + '\n';
  return WriteConfigFile(dir_fd, dir, PEERS_FILE, content.data(), content.size(), false, error);
}

// A field of this user's account entry (login name, home folder); "" when there is none.
std::string OwnAccount(char* passwd::*field) {
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return {};
  }
  return found->*field != nullptr ? std::string(found->*field) : std::string();
}

}  // namespace

std::string ConfigDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/tovrin";
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && *home != '\0') return std::string(home) + "/.config/tovrin";
  const std::string account_home = OwnAccount(&passwd::pw_dir);
  return account_home.empty() ? ".config/tovrin" : account_home + "/.config/tovrin";
}

std::string DefaultInstallationName() {
  const std::string login = OwnAccount(&passwd::pw_name);
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  if (login.empty()) return host[0] != '\0' ? std::string(host) : std::string("Tovrin");
  return host[0] != '\0' ? login + "@" + host : login;
}

std::optional<Identity> LoadOrCreateIdentity(const std::string& dir, std::string& error,
                                             std::vector<std::string>* notices) {
  std::vector<std::string> unused;
  std::vector<std::string>& notes = notices != nullptr ? *notices : unused;
  const Descriptor dir_fd = OpenConfigDir(dir, true, error);
  if (!dir_fd.valid()) return std::nullopt;
  const DirLock lock(dir_fd.get());
  const std::string key_path = DirPath(dir) + KEY_FILE;
  const std::string cert_path = DirPath(dir) + CERT_FILE;

  std::string text;
  bool was_readable = false;
  const ConfigRead key_read =
      ReadConfigFile(dir_fd.get(), dir, KEY_FILE, MAX_PEM_SIZE, text, error, &was_readable);
  if (key_read == ConfigRead::kFailed) return std::nullopt;
  PkeyPtr key;
  if (key_read == ConfigRead::kDone) {
    key = ParseKey(text);
    if (was_readable) {
      notes.push_back(key_path +
                      " could be read by others; it is now yours alone (mode 0600). "
                      "If others use this computer, make a new key: move it aside and start again");
    }
    if (!key) {
      const std::string moved = MoveAside(dir_fd.get(), dir, KEY_FILE, error);
      if (moved.empty()) return std::nullopt;
      notes.push_back(key_path + " holds no usable key: it was moved to " + DirPath(dir) + moved +
                      " and a new key is made; paired peers have to pair again");
    }
  }

  std::string cert_pem;
  std::optional<KeyHash> hash;
  if (key) {
    const ConfigRead cert_read =
        ReadConfigFile(dir_fd.get(), dir, CERT_FILE, MAX_PEM_SIZE, cert_pem, error);
    if (cert_read == ConfigRead::kFailed) return std::nullopt;
    if (cert_read == ConfigRead::kDone) hash = CertificateOfKey(cert_pem, key.get());
    if (!hash) {
      notes.push_back(
          cert_path +
          (cert_read == ConfigRead::kMissing ? " was missing" : " did not fit the key") +
          ": it is made anew from " + key_path);
    }
  } else {
    key.reset(EVP_EC_gen("P-256"));
    if (!key || !WriteKey(dir_fd.get(), dir, key.get(), error)) {
      if (error.empty()) error = "Cannot generate a key pair";
      return std::nullopt;
    }
  }
  if (!hash) {
    cert_pem = MakeCertificate(key.get());
    hash = cert_pem.empty() ? std::nullopt : CertificateOfKey(cert_pem, key.get());
    if (!hash) {
      error = "Cannot make a certificate for " + key_path;
      return std::nullopt;
    }
    if (!WriteConfigFile(dir_fd.get(), dir, CERT_FILE, cert_pem.data(), cert_pem.size(), false,
                         error)) {
      return std::nullopt;
    }
  }
  return Identity{std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free), std::move(cert_pem),
                  *hash};
}

std::string Fingerprint(const KeyHash& hash) {
  std::string text;
  uint32_t bits = 0;
  int count = 0;
  for (int i = 0; i < FINGERPRINT_BYTES; ++i) {
    bits = (bits << 8) | hash[i];
    count += 8;
    while (count >= 5) {
      count -= 5;
      if (!text.empty() && text.size() % 5 == 4) text += '-';
      text += BASE32_ALPHABET[(bits >> count) & 31];
    }
  }
  return text;
}

std::string NormalizeFingerprint(std::string_view text) {
  std::string normal;
  for (char c : text) {
    if (c == '-' || c == ' ') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (!((c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7'))) return {};
    normal += c;
  }
  return normal;
}

std::optional<KeyHash> KeyHashOfCertificate(std::string_view cert) {
  const BioPtr bio(BIO_new_mem_buf(cert.data(), static_cast<int>(cert.size())));
  if (!bio) return std::nullopt;
  const X509Ptr x509(cert.substr(0, 10) == "-----BEGIN"
                         ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                         : d2i_X509_bio(bio.get(), nullptr));
  if (!x509) return std::nullopt;
  return KeyHashOfX509(x509.get());
}

PeerStore::PeerStore(std::string dir) : dir_(std::move(dir)) {}

bool PeerStore::Contains(const KeyHash& hash) const {
  for (const Entry& entry : List()) {
    if (entry.key_hash == hash) return true;
  }
  return false;
}

bool PeerStore::Add(const KeyHash& hash, std::string_view label) {
  const std::string added = Hex(hash) + ' ' + Today() + ' ' + LabelText(label);
  return Change([&](std::vector<std::string>& lines) {
    std::erase_if(lines, [&](const std::string& line) {
      const std::optional<Entry> entry = ParseLine(line);
      return entry && entry->key_hash == hash;
    });
    lines.push_back(added);
    return true;
  });
}

bool PeerStore::Change(const std::function<bool(std::vector<std::string>&)>& change) {
  const std::lock_guard<std::mutex> guard(lock_);
  std::string error;
  const Descriptor dir_fd = OpenConfigDir(dir_, true, error);
  if (!dir_fd.valid()) return false;
  const DirLock lock(dir_fd.get());
  std::vector<std::string> lines;
  if (!ReadLines(dir_fd.get(), dir_, lines, error)) return false;
  return !change(lines) || WriteLines(dir_fd.get(), dir_, lines, error);
}

bool PeerStore::Relabel(const KeyHash& hash, std::string_view label) {
  const std::string text = LabelText(label);
  return Change([&](std::vector<std::string>& lines) {
    for (std::string& line : lines) {
      const std::optional<Entry> entry = ParseLine(line);
      if (!entry || entry->key_hash != hash) continue;
      if (entry->label == text) return false;
      line = Hex(hash) + ' ' + entry->paired_on + ' ' + text;
      return true;
    }
    return false;
  });
}

bool PeerStore::RememberAddress(std::string_view address, const std::optional<KeyHash>& hash) {
  const std::string wanted =
      hash ? std::string(ADDRESS_PREFIX) + std::string(address) + ' ' + Hex(*hash) : std::string();
  return Change([&](std::vector<std::string>& lines) {
    const std::size_t before = lines.size();
    bool kept = false;
    std::erase_if(lines, [&](const std::string& line) {
      const std::optional<AddressLine> known = ParseAddressLine(line);
      if (!known || known->address != address) return false;
      if (kept || line != wanted) return true;
      kept = true;
      return false;
    });
    const bool removed = lines.size() != before;
    if (!hash || kept) return removed;
    lines.push_back(wanted);
    return true;
  });
}

std::vector<std::string> PeerStore::Lines() const {
  const std::lock_guard<std::mutex> guard(lock_);
  std::string error;
  const Descriptor dir_fd = OpenConfigDir(dir_, false, error);
  std::vector<std::string> lines;
  if (!dir_fd.valid() || !ReadLines(dir_fd.get(), dir_, lines, error)) lines.clear();
  return lines;
}

std::optional<KeyHash> PeerStore::ExpectedAt(std::string_view address) const {
  const std::vector<std::string> lines = Lines();
  std::optional<KeyHash> met;
  bool paired = false;
  for (const std::string& line : lines) {
    if (const std::optional<AddressLine> known = ParseAddressLine(line)) {
      if (known->address == address) met = known->key_hash;
    }
  }
  for (const std::string& line : lines) {
    const std::optional<Entry> entry = ParseLine(line);
    paired = paired || (met && entry && entry->key_hash == *met);
  }
  return paired ? met : std::nullopt;
}

int PeerStore::Forget(std::string_view fingerprint, std::string* error) {
  const std::lock_guard<std::mutex> guard(lock_);
  const std::optional<KeyHash> full = ParseHex(fingerprint);
  const std::string wanted = NormalizeFingerprint(fingerprint);
  if (!full && wanted.size() != 16) return 0;
  std::string failure;
  bool missing = false;
  const Descriptor dir_fd = OpenConfigDir(dir_, false, failure, &missing);
  if (!dir_fd.valid()) {
    if (missing) return 0;
    if (error != nullptr) *error = failure;
    return -1;
  }
  const DirLock lock(dir_fd.get());
  std::vector<std::string> lines;
  if (!ReadLines(dir_fd.get(), dir_, lines, failure)) {
    if (error != nullptr) *error = failure;
    return -1;
  }
  const std::size_t before = lines.size();
  std::vector<KeyHash> forgotten;
  std::erase_if(lines, [&](const std::string& line) {
    const std::optional<Entry> entry = ParseLine(line);
    if (!entry) return false;
    const bool match = full ? entry->key_hash == *full
                            : NormalizeFingerprint(Fingerprint(entry->key_hash)) == wanted;
    if (match) forgotten.push_back(entry->key_hash);
    return match;
  });
  const int removed = static_cast<int>(before - lines.size());
  if (removed == 0) return 0;
  // Where the forgotten peers were met, nothing is expected any more.
  std::erase_if(lines, [&](const std::string& line) {
    const std::optional<AddressLine> known = ParseAddressLine(line);
    return known &&
           std::find(forgotten.begin(), forgotten.end(), known->key_hash) != forgotten.end();
  });
  if (WriteLines(dir_fd.get(), dir_, lines, failure)) return removed;
  if (error != nullptr) *error = failure;
  return -1;
}

std::vector<PeerStore::Entry> PeerStore::List() const {
  std::vector<Entry> entries;
  for (const std::string& line : Lines()) {
    if (std::optional<Entry> entry = ParseLine(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

bool PeerStore::MayHavePeers() const {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    std::string error;
    bool missing = false;
    const Descriptor dir_fd = OpenConfigDir(dir_, false, error, &missing);
    if (!dir_fd.valid()) return !missing;
    std::vector<std::string> lines;
    if (!ReadLines(dir_fd.get(), dir_, lines, error)) return true;
  }
  return !List().empty();
}

}  // namespace tovrin
