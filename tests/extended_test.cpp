// Extended sessions between two peers in one process, and against hand-made peers: the
// negotiation, UTF-8 names, 64-bit sizes, hashed resumes, verification and the offer window.

#include "protocol/extended.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <tuple>

#include "port/format.h"
#include "port/texts.h"
#include "protocol/file_hash.h"
#include "support/test_peer.h"

namespace tovrin::testing {
namespace {

// `raw` connects to `a` and says hello as an extended peer.
bool ConnectExtended(TestPeer& a, RawPeer& raw) {
  return a.ConnectRaw(raw) && raw.Send(MSG_HELLO, 0, 1, std::string("raw\0", 4));
}

// Offers a file; the reply's status (-100 without a reply for `id`), and in `held` what the
// receiver already holds.
int32_t Offer(RawPeer& raw, int32_t id, const ExtOffer& offer, int32_t flags = 0,
              int64_t* held = nullptr) {
  FrameHeader reply{};
  std::string payload;
  if (!raw.SendBuilt(Built([&](char* out) { return BuildOffer(out, id, flags, offer); })) ||
      !raw.ReceiveType(MSG_EXT_REPLY, reply, payload) || reply.handle != id) {
    return -100;
  }
  if (held != nullptr) *held = static_cast<int64_t>(LoadU64(payload.data()));
  return reply.value;
}

// Starts file `id` at `from` and sends `data` (nothing when empty).
bool Start(RawPeer& raw, int32_t id, int64_t from, const std::string& data) {
  return raw.SendBuilt(Built([&](char* out) { return BuildStart(out, id, from); })) &&
         (data.empty() || raw.Send(MSG_EXT_DATA, id, 0, data));
}

bool End(RawPeer& raw, int32_t id, int32_t status, const ExtEnd& end) {
  return raw.SendBuilt(Built([&](char* out) { return BuildEnd(out, id, status, end); }));
}

bool Reply(RawPeer& raw, int32_t id, int32_t status) {
  return raw.SendBuilt(Built([&](char* out) { return BuildReply(out, id, status, {}); }));
}

Digest HashOf(const std::string& content) {
  FileHash hash;
  hash.Update(content.data(), content.size());
  return hash.Value();
}

// The next MSG_EXT_DONE's verdict, -1 without one.
int32_t Verdict(RawPeer& raw) {
  FrameHeader done{};
  std::string payload;
  return raw.ReceiveType(MSG_EXT_DONE, done, payload) ? done.value : -1;
}

// `second` directly follows `first` somewhere in `log`.
bool Follows(const std::vector<std::string>& log, const std::string& first,
             const std::string& second) {
  const auto at = std::find(log.begin(), log.end(), first);
  return at != log.end() && at + 1 != log.end() && *(at + 1) == second;
}

int64_t MtimeNs(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
}

// The same session with the extension off (today's wire) and on: a peer that never says
// hello receives one hello, then exactly the same bytes, never an extended message.
TEST(Extended, AClassicPeerSeesOneHelloThenTheClassicBytes) {
  TestPeer a;
  WriteFile(a.dir.path() + "src/f.bin", PatternBytes(70000, 3));
  const auto session = [&](bool classic) {
    std::vector<std::string> messages;
    a.session.options.classic.store(classic);
    a.Drop({a.dir.path() + "src/f.bin"});
    RawPeer raw;
    EXPECT_TRUE(a.ConnectRaw(raw));
    FrameHeader header{};
    std::string payload;
    while (raw.Receive(header, payload)) {
      std::string bytes(HEADER_SIZE, '\0');
      StoreHeader(header, bytes.data());
      messages.push_back(bytes + payload);
      if (header.type == MSG_FILE_OFFER) {
        EXPECT_TRUE(raw.Send(MSG_OFFER_REPLY, 7, 0, ""));
      }
      if (header.type == MSG_BATCH_DONE) break;
    }
    a.Stop();
    return messages;
  };
  const std::vector<std::string> classic = session(true);
  const std::vector<std::string> extended = session(false);
  ASSERT_EQ(extended.size(), classic.size() + 1);
  const FrameHeader hello = LoadHeader(extended[0].data());
  EXPECT_EQ(hello.type, MSG_HELLO);
  EXPECT_EQ(hello.value, EXTENSION_VERSION);
  EXPECT_EQ(extended[0].substr(HEADER_SIZE), std::string(text::CAPTION) + '\0');
  EXPECT_TRUE(std::equal(classic.begin(), classic.end(), extended.begin() + 1));
  for (const std::string& message : classic) {
    EXPECT_FALSE(IsExtendedType(LoadHeader(message.data()).type));
  }
  EXPECT_EQ(a.port.CountChatLine(text::CLASSIC_SESSION), 2);
}

// What the peer already holds is compared by hash: a true prefix is resumed, anything else
// (a changed source, a corrupted or a longer copy) is sent whole again.
// A version 1 peer cannot announce its batches either: while the user is asked, what it sends
// waits in order (folder texts included) and is carried once the user accepted.
TEST(Extended, AClearPeersTransferWaitsInOrderForTheUsersAnswer) {
  TestPeer a;
  a.session.options.accept.store(AcceptPolicy::kAsk);
  a.port.SetSubfoldersChecked(true);
  RawPeer raw;
  ASSERT_TRUE(ConnectExtended(a, raw));
  const std::vector<std::pair<std::string, std::string>> files = {{"one/", "a.txt"},
                                                                  {"two/", "b.txt"}};
  for (int32_t id = 1; id <= 2; ++id) {
    const auto& [folder, name] = files[static_cast<size_t>(id - 1)];
    ASSERT_TRUE(raw.Send(MSG_EXT_FOLDER, 0, 0, folder + '\0'));
    ASSERT_TRUE(raw.SendBuilt(Built([&](char* out) {
      return BuildOffer(out, id, 0, ExtOffer{2, 0, 0644, name});
    })));
  }
  ASSERT_TRUE(WaitFor([&] { return a.port.questions().size() == 1; }));
  EXPECT_EQ(a.port.questions()[0].names, std::vector<std::string>{"a.txt"});
  a.port.Answer(true);
  FrameHeader reply{};
  std::string payload;
  for (int32_t id = 1; id <= 2; ++id) {
    ASSERT_TRUE(raw.ReceiveType(MSG_EXT_REPLY, reply, payload));
    EXPECT_EQ(reply.handle, id);
    EXPECT_EQ(reply.value, OFFER_ACCEPTED);
  }
  for (int32_t id = 1; id <= 2; ++id) {
    ASSERT_TRUE(Start(raw, id, 0, "xy"));
    ASSERT_TRUE(End(raw, id, END_COMPLETE, ExtEnd{2, HashOf("xy")}));
    EXPECT_EQ(Verdict(raw), DONE_VERIFIED);
  }
  EXPECT_EQ(ReadFile(a.session.save_dir + "one/a.txt"), "xy");
  EXPECT_EQ(ReadFile(a.session.save_dir + "two/b.txt"), "xy");
}

TEST(Extended, ResumesOnlyFromAPartThatHashesTheSame) {
  TestPeer a, b;
  const std::string content = PatternBytes(3 << 20, 5);
  const std::string src = a.dir.path() + "src/";
  const std::string save = b.session.save_dir;
  for (const char* name : {"resume", "corrupt", "changed", "same", "longer"}) {
    WriteFile(src + name, content);
  }
  WriteFile(save + "resume", content.substr(0, (1 << 20) + 7));
  std::string corrupt = content.substr(0, 2 << 20);
  corrupt[1 << 20] ^= 1;
  WriteFile(save + "corrupt", corrupt);
  WriteFile(save + "changed", PatternBytes(3 << 20, 6));
  WriteFile(save + "same", content);
  WriteFile(save + "longer", content + "tail");
  a.Drop({src + "resume", src + "corrupt", src + "changed", src + "same", src + "longer"});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::RECEIVE_DONE); }));
  for (const char* name : {"resume", "corrupt", "changed", "same", "longer"}) {
    EXPECT_TRUE(ReadFile(save + name) == content) << name;
  }
  const std::vector<std::string> log = a.port.send_log();
  const auto sending = [](const char* name) {
    return FormatLine(text::SENDING_LONG, name, static_cast<long long>(3 << 20));
  };
  EXPECT_TRUE(Follows(log, sending("resume"), FormatLine(text::RESUMING_LONG, (1LL << 20) + 7)));
  for (const char* name : {"corrupt", "changed", "longer"}) {
    EXPECT_TRUE(Follows(log, sending(name), text::RESTARTING)) << name;
  }
  EXPECT_TRUE(a.port.HasSendLine(FormatLine(text::EXISTS, "same")));
}

// A file whose hash does not match is emptied and offered once more; a second mismatch is
// reported on both sides. Here each side in turn faces a hand-made peer.
TEST(Extended, AFileThatFailsItsCheckIsEmptiedSentOnceMoreThenReported) {
  {
    TestPeer a;
    RawPeer raw;
    ASSERT_TRUE(ConnectExtended(a, raw));
    const auto verdict = [&](int32_t id, int32_t flags, const Digest& digest) {
      EXPECT_EQ(Offer(raw, id, {5, 0, 0644, "v.txt"}, flags), OFFER_ACCEPTED);
      EXPECT_TRUE(Start(raw, id, 0, "hello") && End(raw, id, END_COMPLETE, {5, digest}));
      return Verdict(raw);
    };
    EXPECT_EQ(verdict(1, 0, Digest{}), DONE_DIFFERS);
    EXPECT_EQ(ReadFile(a.session.save_dir + "v.txt"), "");
    EXPECT_EQ(verdict(2, OFFER_FLAG_RESEND, Digest{}), DONE_DIFFERS);
    EXPECT_EQ(ReadFile(a.session.save_dir + "v.txt"), "");
    EXPECT_TRUE(a.port.HasRecvLine(FormatLine(text::VERIFY_RETRY, "v.txt")));
    EXPECT_TRUE(a.port.HasRecvLine(FormatLine(text::VERIFY_FAILED, "v.txt")));
    EXPECT_EQ(verdict(3, 0, HashOf("hello")), DONE_VERIFIED);
    EXPECT_EQ(ReadFile(a.session.save_dir + "v.txt"), "hello");
  }
  TestPeer a;
  WriteFile(a.dir.path() + "src/f.txt", "content");
  a.Drop({a.dir.path() + "src/f.txt"});
  RawPeer raw;
  ASSERT_TRUE(ConnectExtended(a, raw));
  for (const int32_t flags : {0, OFFER_FLAG_RESEND}) {
    FrameHeader offer{};
    std::string payload;
    ASSERT_TRUE(raw.ReceiveType(MSG_EXT_OFFER, offer, payload));
    // The layout as a peer's author reads it: size, time, mode, then the name.
    EXPECT_EQ(offer.value, flags);
    EXPECT_EQ(LoadU64(payload.data()), 7u);
    EXPECT_EQ(static_cast<int64_t>(LoadU64(payload.data() + 8)),
              MtimeNs(a.dir.path() + "src/f.txt"));
    struct stat info {};
    ASSERT_EQ(stat((a.dir.path() + "src/f.txt").c_str(), &info), 0);
    EXPECT_EQ(LoadU32(payload.data() + 16), info.st_mode & 07777);
    EXPECT_EQ(payload.substr(20), std::string("f.txt\0", 6));
    ASSERT_TRUE(Reply(raw, offer.handle, OFFER_ACCEPTED));
    FrameHeader end{};
    ASSERT_TRUE(raw.ReceiveType(MSG_EXT_END, end, payload));
    EXPECT_EQ(LoadU64(payload.data()), 7u);
    ASSERT_TRUE(raw.Send(MSG_EXT_DONE, offer.handle, DONE_DIFFERS, ""));
  }
  FrameHeader done{};
  std::string payload;
  ASSERT_TRUE(raw.ReceiveType(MSG_BATCH_DONE, done, payload));
  EXPECT_TRUE(Follows(a.port.send_log(), FormatLine(text::VERIFY_RETRY, "f.txt"),
                      FormatLine(text::SENDING_LONG, "f.txt", 7LL)));
  EXPECT_TRUE(a.port.HasSendLine(FormatLine(text::VERIFY_FAILED, "f.txt")));
}

// Only a file this session made or wrote takes the source's time and execute bits: a peer
// that starts at what an existing file holds and sends no byte changes nothing of it.
TEST(Extended, OnlyAFileThisSessionMadeOrWroteTakesTheSourcesTimeAndBits) {
  TestPeer a;
  const std::string save = a.session.save_dir;
  WriteFile(save + "kept.txt", "hello");
  WriteFile(save + "resumed.txt", "hel");
  chmod((save + "kept.txt").c_str(), 0644);
  chmod((save + "resumed.txt").c_str(), 0644);
  const int64_t kept_time = MtimeNs(save + "kept.txt");
  const int64_t source_time = 1000000000123456789;
  RawPeer raw;
  ASSERT_TRUE(ConnectExtended(a, raw));
  int32_t id = 0;
  for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
           {"kept.txt", "hello"}, {"resumed.txt", "hello"}, {"made.txt", ""}}) {
    const auto size = static_cast<int64_t>(content.size());
    int64_t held = -1;
    ASSERT_EQ(Offer(raw, ++id, {size, source_time, 0755, name}, 0, &held), OFFER_ACCEPTED) << name;
    ASSERT_TRUE(Start(raw, id, held, content.substr(static_cast<size_t>(held))));
    ASSERT_TRUE(End(raw, id, END_COMPLETE, {size, HashOf(content)}));
    EXPECT_EQ(Verdict(raw), DONE_VERIFIED) << name;
  }
  struct stat info {};
  ASSERT_EQ(stat((save + "kept.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(MtimeNs(save + "kept.txt"), kept_time);
  for (const char* name : {"resumed.txt", "made.txt"}) {
    ASSERT_EQ(stat((save + name).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0111, 0111u & ((info.st_mode & 0444) >> 2)) << name;
    EXPECT_NE(info.st_mode & 0100, 0u) << name;
    EXPECT_EQ(MtimeNs(save + name), source_time) << name;
  }
  EXPECT_EQ(ReadFile(save + "resumed.txt"), "hello");
}

// Names unsafe by the extension's rules are refused and the session goes on (where a target
// lands, and what refuses it, is one path for both wires: see the classic receiver's test); a
// message that breaks the extension's layout or order ends the session, each in a session of
// its own. Data beyond the offered size is DataBeyondOrShortOfTheOffer...'s.
TEST(Extended, HostileNamesAreRefusedAndBrokenMessagesEndTheSession) {
  TestPeer a;
  const auto offer = [](int32_t id, std::string_view name) {
    return Built([&](char* out) { return BuildOffer(out, id, 0, ExtOffer{1, 0, 0, name}); });
  };
  {
    RawPeer raw;
    ASSERT_TRUE(ConnectExtended(a, raw));
    int32_t id = 1;
    for (const std::string& name :
         std::vector<std::string>{"../x", "/abs", "a/../../x", "bad\x01name", "c1\xc2\x85", "\xff",
                                  "\xc0\xaf", "//", std::string(300, 'n')}) {
      EXPECT_EQ(Offer(raw, id++, {1, 0, 0, name}), OFFER_REFUSED) << name;
    }
    a.Stop();
  }
  EXPECT_TRUE(ListTree(a.dir.path()).empty());

  using Steps = std::function<void(RawPeer&)>;
  const auto send = [](std::string message) {
    return [message](RawPeer& raw) { EXPECT_TRUE(raw.SendBuilt(message)); };
  };
  const Steps hello = send(Built([](char* out) { return BuildHello(out, "raw", 1); }));
  const Steps offer_a = send(offer(1, "a"));
  const Steps start = send(Built([](char* out) { return BuildStart(out, 1, 0); }));
  const auto steps = [](std::initializer_list<Steps> list) {
    return [all = std::vector<Steps>(list)](RawPeer& raw) {
      for (const Steps& step : all) step(raw);
    };
  };
  const std::vector<Steps> broken = {
      send(offer(1, "an offer before the hello")),
      send(Built([](char* out) { return BuildText(out, MSG_HELLO, "version 0"); })),
      [](RawPeer& raw) { raw.Send(MSG_HELLO, 0, 1, std::string(70, 'h') + '\0'); },
      steps({hello, hello}),
      steps({hello, [](RawPeer& raw) { raw.Send(MSG_EXT_CHAT, 0, 0, "no NUL"); }}),
      steps({hello,
             [](RawPeer& raw) {
               raw.SendBytes(Wire({MSG_EXT_DATA, 1, 0, MAX_EXT_PAYLOAD + 1}));
             }}),
      steps({hello, start}),
      steps({hello, offer_a, send(offer(1, "the same id"))}),
      steps({hello, offer_a, send(Built([](char* out) { return BuildStart(out, 1, 5); }))}),
      steps({hello, offer_a, [](RawPeer& raw) { raw.Send(MSG_EXT_DATA, 1, 0, "no start"); }}),
      steps({hello,
             [&](RawPeer& raw) {
               for (int32_t id = 1; id <= OFFER_WINDOW + 1; ++id) {
                 raw.SendBuilt(offer(id, "w" + std::to_string(id)));
               }
             }}),
      steps({hello, send(Built([](char* out) { return BuildReply(out, 9, OFFER_ACCEPTED, {}); }))}),
  };
  const auto violations = [&] {
    const std::vector<std::string> log = a.port.chat_log();
    return std::count_if(log.begin(), log.end(), [](const std::string& line) {
      return line.rfind(FormatLine(text::PEER_VIOLATION, ""), 0) == 0;
    });
  };
  for (size_t i = 0; i < broken.size(); ++i) {
    RawPeer raw;
    ASSERT_TRUE(a.ConnectRaw(raw));
    const auto before = violations();
    broken[i](raw);
    EXPECT_TRUE(raw.WaitForClose()) << "case " << i;
    EXPECT_TRUE(WaitFor([&] { return a.WorkersEnded(); })) << "case " << i;
    // Once the session runs (the first three break its opening), it says why it ended.
    if (i >= 3) {
      EXPECT_EQ(violations(), before + 1) << "case " << i;
    }
  }
}

// The receiver takes exactly the offered size: data beyond it, or a file completed short of
// it, ends the session with the reason, and the target is never made to look complete.
TEST(Extended, DataBeyondOrShortOfTheOfferEndsTheSessionWithItsReason) {
  TestPeer a;
  for (const auto& [size, data] : {std::pair<int64_t, std::string>{1, "xy"}, {5, "abc"}}) {
    RawPeer raw;
    ASSERT_TRUE(ConnectExtended(a, raw));
    const std::string name = "s" + std::to_string(size);
    ASSERT_EQ(Offer(raw, 1, {size, 0, 0644, name}), OFFER_ACCEPTED);
    ASSERT_TRUE(Start(raw, 1, 0, data));
    (void)End(raw, 1, END_COMPLETE, {static_cast<int64_t>(data.size()), HashOf(data)});
    EXPECT_TRUE(raw.WaitForClose()) << name;
    ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded(); })) << name;
    const std::string why =
        FormatLine(size == 1 ? text::WHY_BEYOND_SIZE : text::WHY_SHORT, name.c_str());
    EXPECT_TRUE(a.port.HasChatLine(FormatLine(text::PEER_VIOLATION, why.c_str()))) << name;
    EXPECT_EQ(std::filesystem::file_size(a.session.save_dir + name), size == 1 ? 0u : 3u);
    EXPECT_NE(MtimeNs(a.session.save_dir + name), 0) << name;
  }
}

// A source that changes while it is sent: exactly the offered bytes go out, the file is
// abandoned and offered once more as it is now. A session that ends mid-file says so on
// the sending side with the bytes sent.
TEST(Extended, ASourceThatChangesWhileSentIsOfferedOnceMore) {
  TestPeer a;
  const std::string path = a.dir.path() + "src/grows.txt";
  WriteFile(path, "0123456789");
  a.Drop({path});
  RawPeer raw;
  ASSERT_TRUE(ConnectExtended(a, raw));
  FrameHeader header{};
  std::string payload;
  ASSERT_TRUE(raw.ReceiveType(MSG_EXT_QUEUE, header, payload));
  EXPECT_EQ(header.value, QUEUE_SENDING);
  const std::string grown = "0123456789" + PatternBytes(100000, 9);
  const auto answer = [&](uint64_t offered, int32_t status, int32_t verdict) {
    ASSERT_TRUE(raw.ReceiveType(MSG_EXT_OFFER, header, payload));
    EXPECT_EQ(LoadU64(payload.data()), offered);
    const int32_t id = header.handle;
    if (offered == 10) WriteFile(path, grown);  // after the offer, before it is read
    ASSERT_TRUE(Reply(raw, id, OFFER_ACCEPTED));
    uint64_t data = 0;
    while (raw.Receive(header, payload) && header.type != MSG_EXT_END) {
      if (header.type == MSG_EXT_DATA) data += payload.size();
    }
    EXPECT_EQ(header.value, status);
    EXPECT_EQ(data, offered);
    EXPECT_EQ(LoadU64(payload.data()), offered);
    ASSERT_TRUE(raw.Send(MSG_EXT_DONE, id, verdict, ""));
  };
  answer(10, END_ABANDONED, DONE_NOT_STORED);
  answer(grown.size(), END_COMPLETE, DONE_VERIFIED);
  ASSERT_TRUE(raw.ReceiveType(MSG_EXT_QUEUE, header, payload));
  EXPECT_EQ(header.value, QUEUE_EMPTY);
  EXPECT_TRUE(a.port.HasSendLine(FormatLine(text::CHANGED_RETRY, "grows.txt")));
  EXPECT_FALSE(a.port.HasSendLine(FormatLine(text::CANNOT_SEND, "grows.txt")));
  EXPECT_EQ(a.session.batch.undelivered.load(), 0);

  WriteFile(a.dir.path() + "src/big.bin", PatternBytes(3 << 20, 2));
  a.Drop({a.dir.path() + "src/big.bin"});
  ASSERT_TRUE(raw.ReceiveType(MSG_EXT_OFFER, header, payload));
  ASSERT_TRUE(Reply(raw, header.handle, OFFER_ACCEPTED));
  ASSERT_TRUE(raw.ReceiveType(MSG_EXT_DATA, header, payload));
  raw.Close();
  ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded(); }));
  const std::vector<std::string> log = a.port.send_log();
  EXPECT_EQ(std::count_if(
                log.begin(), log.end(),
                [](const std::string& line) { return line.rfind("送信中断 [big.bin] (", 0) == 0; }),
            1);
}

// A file the sender abandons, and one the session cuts off, are reported with what the
// receiver holds; the batch they belong to does not end as complete.
TEST(Extended, IncompleteFilesAreReportedWithWhatTheyHold) {
  TestPeer a;
  RawPeer raw;
  ASSERT_TRUE(ConnectExtended(a, raw));
  ASSERT_EQ(Offer(raw, 1, {10, 0, 0644, "x"}), OFFER_ACCEPTED);
  ASSERT_TRUE(Start(raw, 1, 0, "abcd") && End(raw, 1, END_ABANDONED, {4, {}}));
  ASSERT_TRUE(raw.Send(MSG_BATCH_DONE, 0, 0, ""));
  ASSERT_TRUE(WaitFor([&] { return a.port.HasRecvLine(FormatLine(text::RECEIVE_INCOMPLETE, 1)); }));
  EXPECT_TRUE(a.port.HasRecvLine(FormatLine(text::RECEIVE_ABORTED, "x", 4LL)));
  EXPECT_FALSE(a.port.HasRecvLine(text::RECEIVE_DONE));
  ASSERT_EQ(Offer(raw, 2, {10, 0, 0644, "y"}), OFFER_ACCEPTED);
  ASSERT_TRUE(Start(raw, 2, 0, "ab"));
  raw.Close();
  ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded(); }));
  EXPECT_TRUE(a.port.HasRecvLine(FormatLine(text::RECEIVE_ABORTED, "y", 2LL)));
}

// Two sides that end after their batch send to each other at once, with both streams full so
// that offers and replies cross the other side's data (a receive worker that stops reading
// while its reply waits for the send lock stops both for good): the one done first waits for
// the other's batch instead of cutting it off, and each delivers all of its files.
TEST(Extended, SidesThatEndAfterTheirBatchWaitForThePeersBatch) {
  TestPeer a, b;
  WriteFile(a.dir.path() + "src/one.txt", "one");
  for (uint32_t i = 0; i < 4; ++i) {
    WriteFile(a.dir.path() + "src/out/f" + std::to_string(i), PatternBytes(4 << 20, 20 + i));
  }
  for (int i = 0; i < 300; ++i) {
    WriteFile(b.dir.path() + "src/many/f" + std::to_string(i), PatternBytes(20000, i));
  }
  WriteFile(b.dir.path() + "src/many/zz.bin", PatternBytes(8 << 20, 7));
  a.Drop({a.dir.path() + "src/one.txt", a.dir.path() + "src/out"});
  b.Drop({b.dir.path() + "src/many"});
  a.session.options.close_after_batch.store(true);
  b.session.options.close_after_batch.store(true);
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(
      WaitFor([&] { return a.WorkersEnded() && b.WorkersEnded(); }, std::chrono::seconds(60)));
  EXPECT_EQ(ListTree(a.session.save_dir + "many"), ListTree(b.dir.path() + "src/many"));
  EXPECT_EQ(ReadFile(b.session.save_dir + "one.txt"), "one");
  for (uint32_t i = 0; i < 4; ++i) {
    const std::string name = "out/f" + std::to_string(i);
    EXPECT_TRUE(SameContent(b.session.save_dir + name, a.dir.path() + "src/" + name)) << name;
  }
  for (TestPeer* peer : {&a, &b}) {
    EXPECT_TRUE(peer->queue.Entries().empty());
    EXPECT_EQ(peer->session.batch.undelivered.load(), 0);
    EXPECT_TRUE(peer->port.HasSendLine(text::SEND_DONE));
  }
}

// Each batch ends with one summary line in both logs, counting its files and bytes; the
// batch's words reach the window on both sides with the announced totals.
TEST(Extended, EachBatchEndsWithItsSummaryOnBothSides) {
  TestPeer a, b;
  // The summary line up to its time and rate, which vary.
  const auto summary = [](const char* files, const char* bytes) {
    const std::string line = FormatLine(text::BATCH_SUMMARY, files, bytes, "\x01", "");
    return line.substr(0, line.find('\x01'));
  };
  const auto count = [](const std::vector<std::string>& log, const std::string& start) {
    return std::count_if(log.begin(), log.end(),
                         [&](const auto& l) { return l.starts_with(start); });
  };
  ASSERT_TRUE(ConnectPair(a, b));
  for (const auto& [files, size, bytes] : {std::tuple{3, 6, "18 B"}, {2, 1000, "2.0 kB"}}) {
    std::vector<std::string> paths;
    for (int i = 0; i < files; ++i) {
      paths.push_back(a.dir.path() + "src" + std::to_string(size) + "/f" + std::to_string(i));
      WriteFile(paths.back(), PatternBytes(size, i));
    }
    a.Drop(paths);
    const std::string line = summary(std::to_string(files).c_str(), bytes);
    ASSERT_TRUE(WaitFor([&] { return count(b.port.recv_log(), line) == 1; })) << line;
    ASSERT_TRUE(WaitFor([&] { return count(a.port.send_log(), line) == 1; })) << line;
  }
  const std::string words = FormatLine(text::BATCH_FILES_OF, "3", "3") + " · 18 / 18 B";
  EXPECT_GT(count(a.port.batch_texts(true), words), 0);
  EXPECT_GT(count(b.port.batch_texts(false), words), 0);
}

// Files offered but not known to be complete go back to the front of the queue when the
// session ends, in order, each behind the folder header it needs, before what was never
// offered.
TEST(Extended, FilesInFlightReturnToTheQueueInOrder) {
  TestPeer a;
  std::vector<std::string> expected{">" + a.dir.path() + "one/"};
  for (int i = 0; i < 20; ++i) {
    const std::string name = "f" + std::to_string(100 + i);
    WriteFile(a.dir.path() + "one/d/" + name, name);
    WriteFile(a.dir.path() + "two/z/" + name, name);
    expected.push_back("d/" + name);
  }
  expected.push_back(">" + a.dir.path() + "two/");
  for (int i = 0; i < 20; ++i) expected.push_back("z/f" + std::to_string(100 + i));
  a.Drop({a.dir.path() + "one/d"});
  a.Drop({a.dir.path() + "two/z"});
  RawPeer raw;
  ASSERT_TRUE(ConnectExtended(a, raw));
  FrameHeader header{};
  std::string payload;
  for (int offers = 0; offers < OFFER_WINDOW; ++offers) {
    ASSERT_TRUE(raw.ReceiveType(MSG_EXT_OFFER, header, payload));
  }
  raw.Close();
  ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded(); }));
  EXPECT_EQ(a.queue.Entries(), expected);
}

// 64-bit sizes and offsets: a sparse source whose data lies around 2 GiB and at its end.
TEST(Extended, FilesBeyondTwoGigabytesArriveWhole) {
  TestPeer a, b;
  const std::string source = a.dir.path() + "src/big.bin";
  const int64_t size = SANITIZED ? 48LL << 20 : 3LL << 30;
  {
    WriteFile(source, "");
    std::FILE* file = std::fopen(source.c_str(), "r+b");
    ASSERT_NE(file, nullptr);
    for (const int64_t at : {int64_t{0}, size / 3 * 2 - 4096, size - 5000}) {
      const std::string piece = PatternBytes(5000, static_cast<uint32_t>(at));
      ASSERT_EQ(fseeko(file, at, SEEK_SET), 0);
      ASSERT_EQ(std::fwrite(piece.data(), 1, piece.size(), file), piece.size());
    }
    std::fclose(file);
  }
  a.Drop({source});
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(
      WaitFor([&] { return b.port.HasRecvLine(text::RECEIVE_DONE); }, std::chrono::seconds(240)));
  EXPECT_TRUE(b.port.HasRecvLine(
      FormatLine(text::RECEIVING_LONG, "big.bin", static_cast<long long>(size))));
  EXPECT_EQ(std::filesystem::file_size(b.session.save_dir + "big.bin"),
            static_cast<uint64_t>(size));
  EXPECT_TRUE(SameContent(b.session.save_dir + "big.bin", source));
}

}  // namespace
}  // namespace tovrin::testing
