// What a session looks like from outside, compared line by line with the copies recorded in
// tests/recordings/: every message of a scripted classic session as it crossed a relay, and
// the complete output of both consoles for that session and for a scripted extended one.
// What differs from run to run is masked: handle values, temporary paths, ports, fingerprints.
// Each step waits for the lines that end the one before, so the order of the
// lines never varies.
//
// TOVRIN_RECORD=1 writes the copies anew instead of comparing. Only a change of the classic
// bytes or of the console's lines that is meant justifies that; read the diff of the copies.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <utility>

#include "protocol/wire_text.h"
#include "support/cli_process.h"
#include "support/files.h"
#include "support/relay.h"

namespace tovrin::testing {
namespace {

using Masks = std::vector<std::pair<std::string, std::string>>;

std::string Masked(std::string text, const Masks& masks) {
  for (const auto& [from, to] : masks) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
      text.replace(at, from.size(), to);
    }
  }
  static const std::regex port(R"(\(port \d+\))");
  // A batch's summary line: how long it took and its rate.
  static const std::regex pace(R"(, \d+:\d\d(:\d\d)?, [0-9.]+ [kMGT]?B/s$)");
  return std::regex_replace(std::regex_replace(text, port, "(port <port>)"), pace,
                            ", <time>, <rate>");
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Compares `lines` with the recorded copy `name`; with TOVRIN_RECORD=1 writes them there.
void ExpectRecorded(const std::string& name, const std::vector<std::string>& lines) {
  const std::string path = std::string(TOVRIN_RECORDINGS_DIR) + "/" + name;
  const char* record = std::getenv("TOVRIN_RECORD");
  if (record != nullptr && std::string(record) == "1") {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    WriteFile(path, text);
    return;
  }
  const std::vector<std::string> recorded = SplitLines(ReadFile(path));
  size_t first = 0;
  while (first < recorded.size() && first < lines.size() && recorded[first] == lines[first]) {
    ++first;
  }
  if (first == recorded.size() && first == lines.size()) return;
  // The first differing block: what lies between the common start and the common end.
  size_t last = 0;
  while (last + first < recorded.size() && last + first < lines.size() &&
         recorded[recorded.size() - 1 - last] == lines[lines.size() - 1 - last]) {
    ++last;
  }
  constexpr size_t CONTEXT = 3, SHOWN = 12;
  std::string report =
      "--- " + path + " (recorded)\n+++ this run\n@@ line " + std::to_string(first + 1) + " @@\n";
  for (size_t i = first > CONTEXT ? first - CONTEXT : 0; i < first; ++i) {
    report += " " + lines[i] + "\n";
  }
  for (size_t i = first; i < recorded.size() - last && i < first + SHOWN; ++i) {
    report += "-" + recorded[i] + "\n";
  }
  for (size_t i = first; i < lines.size() - last && i < first + SHOWN; ++i) {
    report += "+" + lines[i] + "\n";
  }
  for (size_t i = lines.size() - last; i < lines.size() && i < lines.size() - last + CONTEXT; ++i) {
    report += " " + lines[i] + "\n";
  }
  ADD_FAILURE() << report << "(TOVRIN_RECORD=1 records this run instead)";
}

// The complete standard output and error of both consoles.
std::vector<std::string> ConsoleRecord(const CliProcess& connector, const CliProcess& listener,
                                       const Masks& masks) {
  std::vector<std::string> lines;
  for (const auto& [side, cli] : {std::pair{"connector", &connector}, {"listener", &listener}}) {
    lines.push_back(std::string("== ") + side + " stdout");
    for (const std::string& line : SplitLines(cli->Transcript())) {
      lines.push_back(line == "--- stderr:" ? std::string("== ") + side + " stderr"
                                            : Masked(line, masks));
    }
  }
  return lines;
}

// FNV-1a, 64 bits: enough to tell file contents apart in a recording.
std::string ShortHash(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : bytes) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// A text payload as the program shows it (cp932), with its bytes in hex when one is not
// ASCII, and whatever follows its NUL.
std::string TextField(const std::string& payload) {
  const std::string text = payload.substr(0, payload.find('\0'));
  std::string field = "\"" + Cp932ToUtf8Lossy(text) + "\"";
  if (std::any_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; })) {
    field += " cp932";
    for (const char c : text) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", static_cast<unsigned char>(c));
      field += hex;
    }
  }
  if (text.size() == payload.size()) return field + " (no NUL)";
  if (text.size() + 1 < payload.size()) {
    field += " then " + std::to_string(payload.size() - text.size() - 1) + " bytes";
  }
  return field;
}

int32_t LittleEndian(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= uint32_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
  return static_cast<int32_t>(value);
}

// The classic types by name; others (an extended type would be one) by number.
std::string TypeName(int32_t type) {
  static const std::map<int32_t, std::string> names = {
      {0x01, "NAME"},
      {0x02, "CHAT"},
      {0x10, "FILE_OFFER"},
      {0x11, "FILE_SEEK"},
      {0x12, "FILE_DATA"},
      {0x13, "FILE_CLOSE"},
      {0x14, "FOLDER"},
      {0x15, "BATCH_DONE"},
      {static_cast<int32_t>(0x80000010u), "OFFER_REPLY"}};
  const auto it = names.find(type);
  return it != names.end() ? it->second : "TYPE_" + std::to_string(type);
}

// The classic wire through the relay, decoded here rather than by the code under test. Each
// message passes whole and is written down as it passes, in one order for both directions.
// A side's file messages (folder, offer, seek, data, close, batch end) wait in the relay until
// that side's first chat line has passed, so the script decides when each side's files go
// (a classic sender has one offer outstanding, so it waits for its answer meanwhile); chat
// lines and answers pass at once.
class WireLog final {
 public:
  explicit WireLog(Masks masks) : masks_(std::move(masks)) {}

  Relay::Alter Alter() {
    return [this](Relay::Direction direction, std::string& bytes) { Pass(direction, bytes); };
  }
  std::vector<std::string> Lines() {
    const std::lock_guard<std::mutex> lock(lock_);
    return lines_;
  }

 private:
  void Pass(Relay::Direction from, std::string& bytes) {
    const std::lock_guard<std::mutex> lock(lock_);
    std::string& pending = pending_[from];
    for (char& c : bytes) pending += static_cast<char>(~c);
    bytes.clear();
    while (pending.size() >= 16) {
      const std::string type = TypeName(LittleEndian(pending, 0));
      const size_t size = 16 + static_cast<size_t>(std::max(LittleEndian(pending, 12), 0));
      if (pending.size() < size) break;
      std::string message = pending.substr(0, size);
      pending.erase(0, size);
      if (!open_[from] && type != "CHAT" && type != "OFFER_REPLY" && type != "NAME") {
        held_[from].push_back(std::move(message));
        continue;
      }
      Forward(from, message, bytes);
      if (type != "CHAT" || open_[from]) continue;
      open_[from] = true;
      for (const std::string& held : held_[from]) Forward(from, held, bytes);
    }
  }

  void Forward(Relay::Direction from, const std::string& message, std::string& bytes) {
    for (const char c : message) bytes += static_cast<char>(~c);
    const std::string type = TypeName(LittleEndian(message, 0));
    const int32_t handle = LittleEndian(message, 4);
    const std::string payload = message.substr(16);
    // A receiver's handle is named anew by each answer that hands one out, and the sender's
    // messages for that file use the name: values are opaque to peers and may be reused.
    std::string handle_text = std::to_string(handle);
    std::map<int32_t, std::string>& handles = handles_[from == Relay::kToTarget ? 1 : 0];
    if (type == "OFFER_REPLY" && handle >= 0) {
      handle_text = handles_[from][handle] = "h" + std::to_string(++named_);
    } else if ((type == "FILE_SEEK" || type == "FILE_DATA" || type == "FILE_CLOSE") &&
               handle >= 0) {
      const auto it = handles.find(handle);
      handle_text = it == handles.end() ? "h?" : it->second;
    }
    std::string line = std::string(from == Relay::kToTarget ? "C>L " : "L>C ") + type +
                       " handle=" + handle_text +
                       " value=" + std::to_string(LittleEndian(message, 8)) +
                       " length=" + std::to_string(LittleEndian(message, 12));
    if (type == "NAME" || type == "CHAT" || type == "FILE_OFFER" || type == "FOLDER") {
      line += " " + TextField(payload);
    } else if (!payload.empty()) {
      line += " #" + ShortHash(payload);
    }
    lines_.push_back(Masked(line, masks_));
  }

  const Masks masks_;
  std::mutex lock_;
  std::string pending_[2];
  std::vector<std::string> held_[2];
  bool open_[2] = {false, false};
  std::map<int32_t, std::string> handles_[2];  // by the side that handed them out
  int named_ = 0;
  std::vector<std::string> lines_;
};

::testing::AssertionResult Shows(const CliProcess& cli, const std::string& line) {
  if (cli.WaitForLine(line)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no line \"" << line << "\" in:\n" << cli.Transcript();
}

// Chat both ways, files both ways, one side at a time: a tree into the listener's subfolders
// (a cp932 name with a 0x5C trail byte, an empty file), and to the connector a file it holds in
// part (resumed), one it holds whole, and a new one; each batch ends. A terminate ends both.
TEST(ConsoleRecording, ClassicSessionBytesAndConsoleLines) {
  const TempDir dir;
  const std::string& d = dir.path();
  WriteFile(d + "c-src/tree/a.txt", "alpha\n");
  WriteFile(d + "c-src/tree/sub/b.bin", PatternBytes(40000, 1));
  WriteFile(d + "c-src/tree/sub/deeper/表ソ.txt", "表ソ");
  WriteFile(d + "c-src/empty", "");
  const std::string resumed = PatternBytes(70000, 2);
  WriteFile(d + "l-src/resumed.bin", resumed);
  WriteFile(d + "l-src/whole.txt", "held whole\n");
  WriteFile(d + "l-src/new.txt", "new\n");
  WriteFile(d + "c/resumed.bin", resumed.substr(0, 30000));
  WriteFile(d + "c/whole.txt", "held whole\n");

  std::string wire_dir = d;
  std::replace(wire_dir.begin(), wire_dir.end(), '/', '\\');
  const Masks masks = {{d, "<tmp>/"}, {d.substr(1), "<tmp-relative>/"}, {wire_dir, "<tmp>\\"}};
  int port = 0;
  auto listener =
      StartListener({"--classic", "--subfolders", "--save-dir", d + "l", d + "l-src/resumed.bin",
                     d + "l-src/whole.txt", d + "l-src/new.txt"},
                    port);
  ASSERT_NE(listener, nullptr);
  WireLog wire(masks);
  Relay relay(port, wire.Alter());
  CliProcess connector({"--classic", "--connect", "127.0.0.1:" + std::to_string(relay.port()),
                        "--save-dir", d + "c", d + "c-src/tree", d + "c-src/empty"});
  ASSERT_TRUE(Shows(connector, "chat: 標準セッション (暗号化されていません)"));
  ASSERT_TRUE(Shows(*listener, "chat: 標準セッション (暗号化されていません)"));

  connector.WriteLine("こんにちは 表ソ");
  ASSERT_TRUE(Shows(*listener, "chat: recv > こんにちは 表ソ"));
  ASSERT_TRUE(Shows(connector, "send: 送信完了"));
  ASSERT_TRUE(Shows(*listener, "recv: 受信完了"));
  listener->WriteLine("thanks");
  ASSERT_TRUE(Shows(connector, "chat: recv > thanks"));
  ASSERT_TRUE(Shows(*listener, "send: 送信完了"));
  ASSERT_TRUE(Shows(connector, "recv: 受信完了"));
  connector.WriteLine("bye");
  ASSERT_TRUE(Shows(*listener, "chat: recv > bye"));
  listener->WriteLine("see you");
  ASSERT_TRUE(Shows(connector, "chat: recv > see you"));

  connector.Signal(SIGTERM);
  for (CliProcess* cli : {&connector, listener.get()}) {
    ASSERT_TRUE(cli->WaitExit());
    EXPECT_EQ(cli->exit_code(), 0) << cli->Transcript();
  }
  EXPECT_EQ(ReadFile(d + "c/resumed.bin"), resumed);
  EXPECT_EQ(ListTree(d + "l/" + d.substr(1) + "c-src"), ListTree(d + "c-src"));
  ExpectRecorded("classic_wire.txt", wire.Lines());
  ExpectRecorded("classic_console.txt", ConsoleRecord(connector, *listener, masks));
}

// The fingerprint of a new installation whose keys are in `config`.
std::string NewFingerprint(const std::string& config) {
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  CliProcess key({"--fingerprint"});
  EXPECT_TRUE(key.WaitExit());
  const std::vector<std::string> lines = key.Lines();
  return lines.empty() ? std::string("none") : lines[0];
}

// An encrypted session between two installations that have not paired: the connector sends a
// tree into the listener's subfolders, a file the listener holds in part (resumed), one it
// holds with other content (sent from the start), one it holds whole and an empty one; then
// chat both ways and a terminate. Only the connector sends files: the extended wire streams
// both ways at once, which would mix the lines of the two directions.
TEST(ConsoleRecording, ExtendedSessionConsoleLines) {
  CliProcess::KeepKeysAway();
  const TempDir dir;
  const std::string& d = dir.path();
  const std::string fingerprint_l = NewFingerprint(d + "keys-l");
  const std::string fingerprint_c = NewFingerprint(d + "keys-c");
  WriteFile(d + "c-src/tree/a.txt", "alpha\n");
  WriteFile(d + "c-src/tree/sub/deeper/表ソ.txt", "表ソ");
  const std::string resumed = PatternBytes(70000, 2);
  WriteFile(d + "c-src/resumed.bin", resumed);
  WriteFile(d + "c-src/changed.txt", "the sender's version\n");
  WriteFile(d + "c-src/whole.txt", "held whole\n");
  WriteFile(d + "c-src/empty", "");
  WriteFile(d + "l/c-src/resumed.bin", resumed.substr(0, 30000));
  WriteFile(d + "l/c-src/changed.txt", "the receiver's");
  WriteFile(d + "l/c-src/whole.txt", "held whole\n");

  int port = 0;
  setenv("XDG_CONFIG_HOME", (d + "keys-l").c_str(), 1);
  auto listener =
      StartListener({"--subfolders", "--name", "はな@listener", "--save-dir", d + "l"}, port);
  ASSERT_NE(listener, nullptr);
  setenv("XDG_CONFIG_HOME", (d + "keys-c").c_str(), 1);
  CliProcess connector({"--connect", PeerAddress(port), "--name", "taro@connector", "--save-dir",
                        d + "c", d + "c-src/tree",
                        d + "c-src/resumed.bin", d + "c-src/changed.txt", d + "c-src/whole.txt",
                        d + "c-src/empty"});
  ASSERT_TRUE(Shows(connector, "send: 送信完了"));
  ASSERT_TRUE(Shows(*listener, "recv: 受信完了"));
  connector.WriteLine("こんにちは 表ソ");
  ASSERT_TRUE(Shows(*listener, "chat: recv > こんにちは 表ソ"));
  listener->WriteLine("thanks");
  ASSERT_TRUE(Shows(connector, "chat: recv > thanks"));

  connector.Signal(SIGTERM);
  for (CliProcess* cli : {&connector, listener.get()}) {
    ASSERT_TRUE(cli->WaitExit());
    EXPECT_EQ(cli->exit_code(), 0) << cli->Transcript();
  }
  EXPECT_EQ(ReadFile(d + "l/c-src/resumed.bin"), resumed);
  EXPECT_EQ(ReadFile(d + "l/c-src/changed.txt"), "the sender's version\n");
  const Masks masks = {
      {d, "<tmp>/"}, {fingerprint_l, "<fingerprint-l>"}, {fingerprint_c, "<fingerprint-c>"}};
  ExpectRecorded("extended_console.txt", ConsoleRecord(connector, *listener, masks));
}

}  // namespace
}  // namespace tovrin::testing
