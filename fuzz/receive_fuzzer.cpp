// Feeds arbitrary bytes to the receiving side as a peer's stream: the real ReceiveWorker
// reads them from one end of a socket pair and stores what they offer below a temporary
// save directory. Every input must end the worker without a crash, a hang, a leaked
// descriptor or a file outside the save directory.
//
// Layout of the scratch area (made once per process, the save directory emptied per input):
//   <root>/                 everything but the save directory's contents must stay as made
//   <root>/1/2/3/4/save/    the save directory, deep enough that a name climbing out of it
//                           with several ".." steps still lands inside <root>
//   <root>/1/marker         a file a stray write would change
//   <root>/sentinel/        a folder that must stay empty
//   <root>/1/2/3/4/save/dirlink -> <root>/sentinel, a link inside the save directory that a
//                           name or a folder text through it would follow out of it

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "port/inline_port.h"
#include "protocol/extended.h"
#include "protocol/frame.h"
#include "queue/send_queue.h"
#include "session/lifecycle.h"
#include "session/opening.h"
#include "transfer/connection.h"
#include "transfer/session.h"
#include "transfer/workers.h"

namespace {

namespace fs = std::filesystem;

// The inline window port, counting what it is shown. The subfolder checkbox flips at every
// look, so both ways of composing a target path are taken.
class FuzzPort final : public tovrin::InlinePort {
 public:
  void SetSendProgress(int percent) override { Check(percent); }
  void SetRecvProgress(int percent) override { Check(percent); }
  bool IsSubfoldersChecked() override { return (looks_++ & 1) == 0; }

  void Reset() { looks_ = 0; }
  [[nodiscard]] std::size_t bytes() const { return bytes_; }

 private:
  void WriteLog(Log, const std::string& text) override {
    bytes_ += text.size();
    if (verbose_) std::fprintf(stderr, "port: %s\n", text.c_str());
  }
  void Check(int percent) {
    if (verbose_) std::fprintf(stderr, "progress: %d\n", percent);
    // A progress bar runs from 0 to 100; anything else is a fault of the meter.
    if (percent < 0 || percent > 100) {
      std::fprintf(stderr, "progress out of range: %d\n", percent);
      std::abort();
    }
  }
  // TOVRIN_FUZZ_VERBOSE=1 prints what the worker shows, for looking at one input.
  const bool verbose_ = std::getenv("TOVRIN_FUZZ_VERBOSE") != nullptr;
  std::atomic<unsigned> looks_{0};
  std::size_t bytes_ = 0;
};

int CountDescriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// Everything below `root` except the save directory's contents, as one text.
std::string Fence(const fs::path& root, const fs::path& save) {
  std::string listing;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    listing += it->path().string();
    if (it->is_regular_file()) listing += " " + std::to_string(it->file_size());
    listing += "\n";
    if (it->path() == save) it.disable_recursion_pending();
  }
  return listing;
}

fs::path MakeRoot() {
  std::string pattern = (fs::temp_directory_path() / "tovrin-fuzz-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// Members are made in this order: the save directory exists and is known before the
// session that writes below it.
struct Fixture {
  Fixture() {
    fs::create_directories(save);
    std::FILE* marker = std::fopen((root / "1" / "marker").c_str(), "wb");
    if (marker == nullptr) std::abort();
    std::fputs("unchanged", marker);
    std::fclose(marker);
    fs::create_directories(sentinel);
    fs::create_directory_symlink(sentinel, save / LINK);
    fence = Fence(root, save);
    if (session.save_dir != save.string() + "/") std::abort();
  }
  ~Fixture() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }

  // Everything but the link.
  void EmptySaveDir() {
    for (const auto& entry : fs::directory_iterator(save)) {
      if (entry.path().filename() != LINK) fs::remove_all(entry.path());
    }
  }

  static constexpr char LINK[] = "dirlink";
  const fs::path root = MakeRoot();
  const fs::path save = root / "1" / "2" / "3" / "4" / "save";
  const fs::path sentinel = root / "sentinel";
  std::string fence;
  FuzzPort port;
  tovrin::SendQueue queue{port};
  tovrin::Session session{port, queue, save.string() + "/"};
};

Fixture& TheFixture() {
  static auto* fixture = new Fixture;  // lives as long as the process; removed at exit
  static const bool cleanup = (std::atexit([] { delete fixture; }), true);
  (void)cleanup;
  return *fixture;
}

// The peer's side of the socket pair: writes the stream and ends it, reading the worker's
// replies all along so that neither side can block the other.
void PlayPeer(int fd, const uint8_t* data, std::size_t size) {
  std::size_t sent = 0;
  bool writing = true;
  char sink[4096];
  for (;;) {
    if (writing && sent == size) {
      ::shutdown(fd, SHUT_WR);
      writing = false;
    }
    pollfd watch{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (::poll(&watch, 1, -1) < 0) continue;
    if ((watch.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
    if (writing && (watch.revents & POLLOUT) != 0) {
      const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        writing = false;  // the worker ended early: the rest is never read
      }
    }
  }
}


// The messages of an encrypted session's opening, read from the same stream: every MSG_AUTH
// and MSG_AUTH_RESULT in it goes through the decoders the opening uses.
void ParseOpeningMessages(const uint8_t* data, std::size_t size) {
  std::vector<char> bytes(data, data + size);
  tovrin::Complement(bytes.data(), static_cast<int>(bytes.size()));
  std::size_t at = 0;
  while (bytes.size() - at >= tovrin::HEADER_SIZE) {
    const tovrin::FrameHeader header = tovrin::LoadHeader(bytes.data() + at);
    at += tovrin::HEADER_SIZE;
    if (header.length < 0 || static_cast<std::size_t>(header.length) > bytes.size() - at) return;
    const char* payload = bytes.data() + at;
    at += static_cast<std::size_t>(header.length);
    if (header.type == tovrin::MSG_AUTH) {
      tovrin::AuthMessage auth;
      (void)tovrin::ParseAuth(header.value, payload, header.length, auth);
    } else if (header.type == tovrin::MSG_AUTH_RESULT) {
      std::string refusal;
      std::string name;
      (void)tovrin::ParseAuthResult(header.value, payload, header.length, refusal, &name);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ParseOpeningMessages(data, size);
  Fixture& f = TheFixture();
  const int descriptors = CountDescriptors();

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  f.port.Reset();
  f.session.idle.store(0);
  f.session.reply_handle.store(tovrin::REPLY_PENDING);
  const uint32_t attempt = f.session.attempt.fetch_add(1) + 1;

  std::thread peer(PlayPeer, pair[1], data, size);
  {
    auto connection = std::make_shared<tovrin::Connection>(pair[0]);
    // The opening as a peer without keys has it: a hello first makes the session extended,
    // anything else classic.
    tovrin::OpeningParams params;
    params.server = true;
    params.grace = std::chrono::milliseconds(50);
    if (!tovrin::OpenConnection(*connection, params).session) connection->Shutdown();
    // The worker owns its arguments; it runs here on the fuzzing thread and closes the
    // connection (its last reference) as it ends, which ends the peer's reading.
    auto* args =
        new tovrin::WorkerArgs{&f.session, std::move(connection), attempt, tovrin::SessionExits()};
    tovrin::ReceiveWorker(args);
  }
  peer.join();
  ::close(pair[1]);

  if (f.session.idle.load() != 1) {
    std::fprintf(stderr, "the worker ended without tearing the session down\n");
    std::abort();
  }
  if (CountDescriptors() != descriptors) {
    std::fprintf(stderr, "descriptors before %d, after %d\n", descriptors, CountDescriptors());
    std::abort();
  }
  if (!fs::is_empty(f.sentinel) || fs::read_symlink(f.save / Fixture::LINK) != f.sentinel) {
    std::fprintf(stderr, "something was written through the link in the save directory\n");
    std::abort();
  }
  if (Fence(f.root, f.save) != f.fence) {
    std::fprintf(stderr, "something was written outside the save directory:\n%s",
                 Fence(f.root, f.save).c_str());
    std::abort();
  }
  f.EmptySaveDir();
  return 0;
}
