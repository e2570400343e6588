#include "secure/identity.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <utility>

#include "storage/descriptor.h"

namespace tovrin {
namespace {

constexpr char BASE32_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr int FINGERPRINT_BYTES = 10;
constexpr int CERT_VALIDITY_DAYS = 36525;
constexpr mode_t DIR_MODE = 0700;
constexpr mode_t FILE_MODE = 0600;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* object) const { Free(object); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

std::string ErrnoText() { return std::strerror(errno); }  // NOLINT(concurrency-mt-unsafe)

std::string DirPath(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

// The folder holding `path`, with its trailing slash.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// Creates `dir` and its missing parents; a folder this call creates gets exactly DIR_MODE,
// whatever the umask. An existing folder keeps its mode.
bool MakeDirs(const std::string& dir, std::string& error) {
  for (std::size_t end = 1; end <= dir.size(); ++end) {
    if (end != dir.size() && dir[end] != '/') continue;
    const std::string part = dir.substr(0, end);
    if (::mkdir(part.c_str(), DIR_MODE) == 0) {
      if (::chmod(part.c_str(), DIR_MODE) != 0) {
        error = "Cannot set the mode of " + part + ": " + ErrnoText();
        return false;
      }
    } else if (errno != EEXIST) {
      error = "Cannot create " + part + ": " + ErrnoText();
      return false;
    }
  }
  struct stat info {};
  if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = dir + " is not a folder";
    return false;
  }
  return true;
}

bool WriteAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces `path` with `content` as a whole: a reader sees the old file or the new one, and a
// crash leaves no half-written file under the name. The file gets exactly FILE_MODE.
bool WriteFileAtomic(const std::string& path, const std::string& content, std::string& error) {
  unsigned char random[6] = {};
  RAND_bytes(random, sizeof random);
  std::string temp = path + ".tmp-";
  for (const unsigned char byte : random) temp += BASE32_ALPHABET[byte % 32];
  Descriptor fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, FILE_MODE));
  if (!fd.valid()) {
    error = "Cannot create " + temp + ": " + ErrnoText();
    return false;
  }
  const bool written = ::fchmod(fd.get(), FILE_MODE) == 0 && WriteAll(fd.get(), content) &&
                       ::fsync(fd.get()) == 0 && ::close(fd.Release()) == 0;
  if (!written || ::rename(temp.c_str(), path.c_str()) != 0) {
    error = "Cannot write " + path + ": " + ErrnoText();
    ::unlink(temp.c_str());
    return false;
  }
  const Descriptor dir_fd(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.valid()) ::fsync(dir_fd.get());
  return true;
}

// The whole file; nullopt with errno set when it cannot be read. A file that others may read
// is narrowed to FILE_MODE on the way.
std::optional<std::string> ReadSecretFile(const std::string& path) {
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::nullopt;
  if ((info.st_mode & 077) != 0) ::fchmod(fd.get(), FILE_MODE);
  std::string content;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return content;
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

// Holds an exclusive lock on the folder for its lifetime, so that two processes creating the
// identity or rewriting the peers never interleave.
class DirLock final {
 public:
  explicit DirLock(const std::string& dir)
      : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_.valid()) {
      while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }

 private:
  Descriptor fd_;
};

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

// A new ECDSA P-256 key and its self-signed certificate, as PEM; nullopt when OpenSSL fails.
std::optional<Identity> NewIdentity() {
  const PkeyPtr key(EVP_EC_gen("P-256"));
  const X509Ptr cert(X509_new());
  if (!key || !cert) return std::nullopt;
  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) return std::nullopt;
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
      X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1 &&
      AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
      AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature") &&
      AddExtension(cert.get(), NID_subject_key_identifier, "hash") &&
      X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!built) return std::nullopt;
  const BioPtr key_bio(BIO_new(BIO_s_mem()));
  const BioPtr cert_bio(BIO_new(BIO_s_mem()));
  if (!key_bio || !cert_bio ||
      PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1 ||
      PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1) {
    return std::nullopt;
  }
  const std::optional<KeyHash> hash = KeyHashOfX509(cert.get());
  if (!hash) return std::nullopt;
  return Identity{BioText(key_bio.get()), BioText(cert_bio.get()), *hash};
}

// The pair read back: both parse and the certificate holds the key's public half.
std::optional<Identity> CheckIdentity(std::string key_pem, std::string cert_pem) {
  const BioPtr key_bio(BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size())));
  const BioPtr cert_bio(BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size())));
  if (!key_bio || !cert_bio) return std::nullopt;
  const PkeyPtr key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
  const X509Ptr cert(PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr));
  if (!key || !cert || X509_check_private_key(cert.get(), key.get()) != 1) return std::nullopt;
  const std::optional<KeyHash> hash = KeyHashOfX509(cert.get());
  if (!hash) return std::nullopt;
  return Identity{std::move(key_pem), std::move(cert_pem), *hash};
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

std::string Today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

// The raw lines of the peers file; false when it exists but cannot be read.
bool ReadLines(const std::string& path, std::vector<std::string>& lines) {
  const std::optional<std::string> content = ReadSecretFile(path);
  if (!content) return errno == ENOENT;
  std::istringstream in(*content);
  for (std::string line; std::getline(in, line);) lines.push_back(std::move(line));
  return true;
}

bool WriteLines(const std::string& path, const std::vector<std::string>& lines) {
  std::string content;
  for (const std::string& line : lines) content += line + '\n';
  std::string ignored;
  return WriteFileAtomic(path, content, ignored);
}

}  // namespace

std::string ConfigDir() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");  // NOLINT(concurrency-mt-unsafe)
  if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/tovrin";
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home != nullptr && *home != '\0') return std::string(home) + "/.config/tovrin";
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return std::string(found->pw_dir) + "/.config/tovrin";
  }
  return ".config/tovrin";
}

std::optional<Identity> LoadOrCreateIdentity(const std::string& dir, std::string& error) {
  if (!MakeDirs(dir, error)) return std::nullopt;
  const std::string base = DirPath(dir);
  const std::string key_path = base + "key.pem";
  const std::string cert_path = base + "cert.pem";
  const DirLock lock(dir);
  std::optional<std::string> key_pem = ReadSecretFile(key_path);
  const int key_errno = errno;
  std::optional<std::string> cert_pem = ReadSecretFile(cert_path);
  const int cert_errno = errno;
  if (key_pem && cert_pem) {
    std::optional<Identity> identity = CheckIdentity(std::move(*key_pem), std::move(*cert_pem));
    if (!identity) {
      error = key_path + " and " + cert_path +
              " are not a matching key and certificate; remove both to make a new identity";
    }
    return identity;
  }
  if ((!key_pem && key_errno != ENOENT) || (!cert_pem && cert_errno != ENOENT)) {
    error = "Cannot read the identity in " + dir + ": " +
            std::strerror(key_pem ? cert_errno : key_errno);  // NOLINT(concurrency-mt-unsafe)
    return std::nullopt;
  }
  std::optional<Identity> identity = NewIdentity();
  if (!identity) {
    error = "Cannot generate a key pair";
    return std::nullopt;
  }
  // A lone certificate goes before the new key is written: a crash at any point then leaves
  // no certificate, and the next start makes a new pair rather than matching a certificate
  // with the wrong key.
  if (::unlink(cert_path.c_str()) != 0 && errno != ENOENT) {
    error = "Cannot replace " + cert_path + ": " + ErrnoText();
    return std::nullopt;
  }
  if (!WriteFileAtomic(key_path, identity->key_pem, error) ||
      !WriteFileAtomic(cert_path, identity->cert_pem, error)) {
    return std::nullopt;
  }
  return identity;
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

PeerStore::PeerStore(std::string dir) : path_(DirPath(std::move(dir)) + "peers") {}

bool PeerStore::Contains(const KeyHash& hash) const {
  for (const Entry& entry : List()) {
    if (entry.key_hash == hash) return true;
  }
  return false;
}

bool PeerStore::Add(const KeyHash& hash, std::string_view label) {
  const std::lock_guard<std::mutex> guard(lock_);
  const std::string dir = FolderOf(path_);
  std::string error;
  if (!MakeDirs(dir, error)) return false;
  const DirLock lock(dir);
  std::vector<std::string> lines;
  if (!ReadLines(path_, lines)) return false;
  std::erase_if(lines, [&](const std::string& line) {
    const std::optional<Entry> entry = ParseLine(line);
    return entry && entry->key_hash == hash;
  });
  // The label comes from the peer: control characters become blanks, so that it can never
  // end its line and start one of its own.
  std::string line = Hex(hash) + ' ' + Today() + ' ';
  for (const char c : label) line += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  lines.push_back(std::move(line));
  return WriteLines(path_, lines);
}

int PeerStore::Forget(std::string_view fingerprint) {
  const std::lock_guard<std::mutex> guard(lock_);
  const std::optional<KeyHash> full = ParseHex(fingerprint);
  const std::string wanted = NormalizeFingerprint(fingerprint);
  if (!full && wanted.size() != 16) return 0;
  const DirLock lock(FolderOf(path_));
  std::vector<std::string> lines;
  if (!ReadLines(path_, lines)) return -1;
  const std::size_t before = lines.size();
  std::erase_if(lines, [&](const std::string& line) {
    const std::optional<Entry> entry = ParseLine(line);
    if (!entry) return false;
    return full ? entry->key_hash == *full
                : NormalizeFingerprint(Fingerprint(entry->key_hash)) == wanted;
  });
  const int removed = static_cast<int>(before - lines.size());
  if (removed == 0) return 0;
  return WriteLines(path_, lines) ? removed : -1;
}

std::vector<PeerStore::Entry> PeerStore::List() const {
  const std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> lines;
  std::vector<Entry> entries;
  if (!ReadLines(path_, lines)) return entries;
  for (const std::string& line : lines) {
    if (std::optional<Entry> entry = ParseLine(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

}  // namespace tovrin
