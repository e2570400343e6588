// Files between two instances in-process, or from a hand-driven peer: whole trees, resumes,
// refusals, disk trouble, and a long run of sessions (TOVRIN_LONG=1 makes it five times
// longer).

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "port/catalogue.h"
#include "port/format.h"
#include "port/texts.h"
#include "protocol/wire_text.h"
#include "support/test_peer.h"

namespace tovrin::testing {
namespace {

namespace fs = std::filesystem;

void ExpectSameTree(const std::string& source, const std::string& copy) {
  auto expected = ListTree(source);
  expected.erase(".hidden");
  ASSERT_EQ(ListTree(copy), expected);
  for (const auto& [file, size] : expected) {
    EXPECT_EQ(ReadFile(copy + file), ReadFile(source + file)) << file;
  }
}

// A tree with nested folders, names whose cp932 form holds a 0x5C trail byte, an empty file,
// sizes around the chunk boundary and links: one to a folder ("." or a parent would loop) is
// not entered and says so, one to a file is sent as that file. Over the extended wire, which
// carries any name, and over the classic one, which cannot carry some entries: those are
// logged and skipped.
TEST(Transfer, AFolderTreeArrivesByteForByteWithOrWithoutSubfolders) {
  for (const bool classic : {false, true}) {
    SCOPED_TRACE(classic ? "classic" : "extended");
    TestPeer a, b;
    b.session.options.classic.store(classic);
    const std::string src = a.dir.path() + "src/";
    const std::string root = src + "tree表/";
    WriteFile(root + "empty.bin", "");
    WriteFile(root + "one.bin", "x");
    WriteFile(root + "ソース/chunk.bin", PatternBytes(32768, 1));
    WriteFile(root + "ソース/深い/chunk+1.bin", PatternBytes(32769, 2));
    WriteFile(root + "a/b/c/d.txt", "deep");
    WriteFile(root + ".hidden", "never sent");
    fs::create_directory_symlink(".", root + "loop");
    fs::create_directory_symlink("..", root + "a/up");
    fs::create_symlink("one.bin", root + "file-link");
    a.Drop({src + "tree表", src + "missing.txt"});
    for (const char* name : {"emoji😀 한.txt", "back\\slash:colon.txt"}) {
      WriteFile(src + name, name);
      a.Drop({src + name});
    }
    if (classic) {
      // 2 GiB does not fit the classic signed 32-bit sizes (a sparse file costs no disk).
      WriteFile(src + "huge.bin", "");
      fs::resize_file(src + "huge.bin", 1ull << 31);
      a.Drop({src + "huge.bin"});
    }
    WriteFile(src + "single.txt", "single");
    a.Drop({src + "single.txt"});
    ASSERT_TRUE(ConnectPair(a, b));
    ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(text::RECEIVE_DONE); }));
    EXPECT_TRUE(a.port.HasSendLine(text::SEND_DONE));
    ExpectSameTree(root, b.session.save_dir + "tree表/");
    EXPECT_EQ(ReadFile(b.session.save_dir + "single.txt"), "single");
    EXPECT_EQ(ListTree(b.session.save_dir).size(), classic ? 7u : 9u);
    EXPECT_TRUE(b.port.HasRecvLine("受信中 [tree表/ソース/chunk.bin] (32768 bytes)"));
    // The window opens a received file's folder from its line.
    EXPECT_EQ(b.port.RecvLineFolder("受信中 [tree表/ソース/chunk.bin] (32768 bytes)"),
              b.session.save_dir + "tree表/ソース/");
    EXPECT_TRUE(a.port.HasSendLine("送信中 [tree表/ソース/深い/chunk+1.bin] (32769 bytes)"));
    // The batch's end draws the receiving user's eye, and only theirs.
    EXPECT_TRUE(WaitFor([&] { return b.port.attention_requests() == 1; }));
    EXPECT_EQ(a.port.attention_requests(), 0);
    for (const char* line :
         {"フォルダへのリンクは送信しません [tree表/loop]",
          "フォルダへのリンクは送信しません [tree表/a/up]", "ファイルを開けません [missing.txt]"}) {
      EXPECT_TRUE(a.port.HasSendLine(line)) << line;
    }
    if (classic) {
      for (const char* line : {"ファイル名を送信できません [emoji😀 한.txt]",
                               "ファイル名を送信できません [back\\slash:colon.txt]",
                               "2GB以上のファイルは送信できません [huge.bin]"}) {
        EXPECT_TRUE(a.port.HasSendLine(line)) << line;
      }
    } else {
      EXPECT_EQ(ReadFile(b.session.save_dir + "emoji😀 한.txt"), "emoji😀 한.txt");
      EXPECT_EQ(ReadFile(b.session.save_dir + "back\\slash:colon.txt"), "back\\slash:colon.txt");
    }
    EXPECT_EQ(a.queue.Count(), 0);
    EXPECT_EQ(b.port.controls().recv_progress, 0);
    EXPECT_EQ(b.port.controls().status_text, "0K(0:00)/0K(0:00)");

    // With subfolders the tree lands below the folder that holds it: on the classic wire the
    // sender's whole directory without its leading '/', on the extended wire only its name.
    b.port.SetSubfoldersChecked(true);
    a.Drop({src + "tree表"});
    ASSERT_TRUE(WaitFor([&] { return CountLine(b.port.recv_log(), text::RECEIVE_DONE) == 2; }));
    ExpectSameTree(root, b.session.save_dir + (classic ? src.substr(1) : "src/") + "tree表/");
  }
}

// The session (extended, then classic) ends in the middle of a file: the file goes back to
// the front of the queue under its folder header, and a later classic session resumes it one
// byte before what the peer holds (a wrong last byte is sent again). A file the peer holds
// whole, or larger, is left alone.
TEST(Transfer, AnInterruptedFileResumesOneByteBeforeWhatThePeerHolds) {
  TestPeer a, b;
  const std::string content = PatternBytes(40 << 20, 3);
  WriteFile(a.dir.path() + "src/big.bin", content);
  WriteFile(a.dir.path() + "src/whole.txt", "already there");
  WriteFile(b.session.save_dir + "whole.txt", "already there, and more");
  a.Drop({a.dir.path() + "src/big.bin", a.dir.path() + "src/whole.txt"});
  const std::vector<std::string> queued{">" + a.dir.path() + "src/", "big.bin", "whole.txt"};
  const std::string target = b.session.save_dir + "big.bin";
  for (const bool classic : {false, true}) {
    a.session.options.classic.store(classic);
    const auto held = ListTree(b.session.save_dir)["big.bin"];
    ASSERT_TRUE(ConnectPair(a, b));
    ASSERT_TRUE(
        WaitFor([&] { return ListTree(b.session.save_dir)["big.bin"] > held + (1 << 20); }));
    a.Disconnect();
    ASSERT_TRUE(WaitFor([&] { return a.WorkersEnded() && b.WorkersEnded(); }));
    EXPECT_EQ(a.queue.Entries(), queued) << classic;
  }

  std::string partial = ReadFile(target);
  partial.back() = static_cast<char>(~partial.back());
  WriteFile(target, partial);
  ASSERT_TRUE(ConnectPair(a, b));
  ASSERT_TRUE(
      WaitFor([&] { return b.port.HasRecvLine(text::RECEIVE_DONE); }, std::chrono::seconds(60)));
  EXPECT_TRUE(ReadFile(target) == content);
  EXPECT_EQ(ReadFile(b.session.save_dir + "whole.txt"), "already there, and more");
}

// The receive worker takes the peer's stream in large pieces and cuts messages out of it.
// However the bytes arrive (a header split across sends, many messages in one send, a
// message lying across the end of the worker's buffer), every message must be carried out
// whole and in order.
TEST(ReceiveStream, MessagesAreCutExactlyHoweverTheBytesArrive) {
  TestPeer a;
  RawPeer raw;
  ASSERT_TRUE(a.ConnectRaw(raw));
  ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 0, std::string("s.bin\0", 6)));
  FrameHeader reply{};
  ASSERT_TRUE(raw.ReceiveReply(reply));
  ASSERT_GE(reply.handle, 0);

  // More than the worker's buffer holds, in chunks of every awkward size, then a close, a
  // chat text without its NUL, a message of an unknown type, a name and a chat line, all sent
  // at once in pieces that split headers and payloads.
  std::string expected, stream;
  int fill = 0;
  for (const int size : {1, MAX_PAYLOAD, 3, CHUNK_SIZE, 0, 17, MAX_PAYLOAD, MAX_PAYLOAD, 5000,
                         MAX_PAYLOAD, 1, CHUNK_SIZE}) {
    std::string chunk(static_cast<size_t>(size), '\0');
    for (char& c : chunk) c = static_cast<char>(++fill * 7 % 251);
    stream += Wire({MSG_FILE_DATA, reply.handle, 0, size}, chunk);
    expected += chunk;
  }
  stream += Wire({MSG_FILE_CLOSE, reply.handle, 0, 0}) + Wire({MSG_CHAT, 0, 0, 6}, "no NUL") +
            Wire({0x77, 0, 0, 5000}, std::string(5000, 'z')) +
            Wire({MSG_NAME, 0, 0, 9}, std::string("peer\0tail", 9)) +
            Wire({MSG_CHAT, 0, 0, 5}, std::string("done\0", 5));
  ASSERT_TRUE(raw.SendBytes(stream, {1, 15, 7, 9, 65536, 100003, 3, 200000}));
  ASSERT_TRUE(WaitFor([&] { return a.port.HasChatLine(FormatLine(text::CHAT_RECEIVED, "done")); }));
  const std::string received = ReadFile(a.session.save_dir + "s.bin");
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(a.port.HasChatLine("recv > no NUL"));
  EXPECT_TRUE(a.port.HasChatLine("name > peer"));

  // A length no buffer could hold, right behind a good message in the same send: the good one
  // is still carried out, then the session ends without reading on.
  ASSERT_TRUE(raw.SendBytes(Wire({MSG_CHAT, 0, 0, 5}, std::string("last\0", 5)) +
                            Wire({MSG_CHAT, 0, 0, MAX_PAYLOAD + 1})));
  EXPECT_TRUE(raw.WaitForClose());
  EXPECT_TRUE(a.port.HasChatLine(FormatLine(text::CHAT_RECEIVED, "last")));
  EXPECT_TRUE(WaitFor([&] { return a.port.HasChatLine(text::DISCONNECTED); }));
  // So does a negative length, in the next session.
  RawPeer next;
  ASSERT_TRUE(a.ConnectRaw(next));
  ASSERT_TRUE(next.SendBytes(Wire({MSG_FILE_DATA, 0, 0, -5})));
  EXPECT_TRUE(next.WaitForClose());
  EXPECT_TRUE(WaitFor([&] { return a.port.CountChatLine(text::DISCONNECTED) == 2; }));
}

// A peer that names files outside the save directory, uses handles it was never given or
// seeks before the start gets refusals, and so does a target too large for the protocol's
// sizes. Each refusal gets handle -1 and a refusal line, never a "receiving" line; nothing is
// written outside the save directory and the session goes on. Which names and targets are
// refused is WireText's and SaveDir's to show; here one of each kind reaches the receiver.
TEST(Transfer, TheReceiverRefusesWhatItCannotOrMustNotWrite) {
  TestPeer a;
  const std::string save = a.session.save_dir;
  WriteFile(save + "huge.bin", "");
  fs::resize_file(save + "huge.bin", 1ull << 31);
  const std::string outside = a.dir.path() + "outside/";
  fs::create_directories(outside);
  fs::create_directory_symlink(outside, save + "dirlink");
  RawPeer raw;
  ASSERT_TRUE(a.ConnectRaw(raw));
  FrameHeader reply{};
  for (const std::string name : {"..\\outside.txt", "huge.bin", "dirlink\\escaped.txt"}) {
    ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 10, name + '\0'));
    ASSERT_TRUE(raw.ReceiveReply(reply));
    EXPECT_EQ(reply.handle, -1) << name;
    EXPECT_EQ(reply.value, -1) << name;
    ASSERT_TRUE(raw.Send(MSG_FILE_DATA, -1, 0, "data"));
    EXPECT_FALSE(a.port.HasRecvLine(FormatLine(text::RECEIVING, name.c_str(), 10))) << name;
  }
  EXPECT_TRUE(a.port.HasRecvLine(FormatLine(text::CANNOT_CREATE, (save + "huge.bin").c_str())));
  EXPECT_TRUE(
      a.port.HasRecvLine(FormatLine(text::CANNOT_CREATE, (save + "dirlink/escaped.txt").c_str())));
  // A folder text with ".." or through a link makes every offer under it fail while
  // subfolders are on.
  a.port.SetSubfoldersChecked(true);
  for (const std::string folder : {"..\\..\\", "dirlink\\"}) {
    ASSERT_TRUE(raw.Send(MSG_FOLDER, 0, 0, folder + '\0'));
    ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 3, std::string("in.txt\0", 7)));
    ASSERT_TRUE(raw.ReceiveReply(reply));
    EXPECT_EQ(reply.handle, -1) << folder;
  }
  EXPECT_EQ(CountEntries(outside), 0);
  a.port.SetSubfoldersChecked(false);

  // A folder removed between two offers into it is made again.
  ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 1, std::string("d\\a.txt\0", 8)));
  ASSERT_TRUE(raw.ReceiveReply(reply));
  EXPECT_GE(reply.handle, 3);
  const int32_t earlier = reply.handle;
  fs::remove_all(save + "d");
  // A good offer: data for any other handle (an earlier file's too) is ignored, a seek before
  // the start stops the file.
  ASSERT_TRUE(raw.Send(MSG_FILE_OFFER, 0, 6, std::string("d\\good.txt\0", 11)));
  ASSERT_TRUE(raw.ReceiveReply(reply));
  ASSERT_GE(reply.handle, 3);
  EXPECT_EQ(reply.value, 0);
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, earlier, 0, "stale"));
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle + 1, 0, "wrong"));
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, 1, 0, "stdout"));
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle, 0, "abc"));
  ASSERT_TRUE(raw.Send(MSG_FILE_SEEK, reply.handle, -10, ""));
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle, 0, "def"));
  ASSERT_TRUE(raw.Send(MSG_FILE_CLOSE, reply.handle, 0, ""));
  ASSERT_TRUE(raw.Send(MSG_BATCH_DONE, 0, 0, ""));
  // The batch says how many of its files did not arrive: the refusals, the write failure
  // and d/a.txt, left open with nothing in it when the next offer came.
  ASSERT_TRUE(WaitFor([&] { return a.port.HasRecvLine(FormatLine(text::RECEIVE_INCOMPLETE, 7)); }));
  EXPECT_FALSE(a.port.HasRecvLine(text::RECEIVE_DONE));
  EXPECT_TRUE(a.port.HasRecvLine(FormatLine(text::RECEIVE_ABORTED, "d/a.txt", 0LL)));
  EXPECT_TRUE(a.port.HasRecvLine("書き込みに失敗しました [d/good.txt]"));
  EXPECT_EQ(ListTree(a.dir.path()), (std::map<std::string, std::uintmax_t>{
                                        {"save/d/good.txt", 3}, {"save/huge.bin", 1ull << 31}}));
  const auto log = a.port.recv_log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.rfind("ファイルが作成できません", 0) == 0;
                          }),
            5);
}

// A classic peer cannot announce its batches. When the user is asked, its first offer waits
// for the answer while the reader goes on reading, and the answer holds for the session; a
// refusal (the user's, or a side that takes no files) refuses every offer, is logged once and
// told to the peer once as a chat line.
TEST(Transfer, AClassicPeersFirstOfferWaitsForTheUserWhoseAnswerHoldsForTheSession) {
  TestPeer a;
  a.session.options.accept.store(AcceptPolicy::kAsk);
  FrameHeader reply{};
  std::string payload;
  const auto offer = [&](RawPeer& raw, const std::string& name) {
    return raw.Send(MSG_FILE_OFFER, 0, 3, name + '\0');
  };
  RawPeer raw;
  ASSERT_TRUE(a.ConnectRaw(raw));
  ASSERT_TRUE(offer(raw, "a.txt"));
  ASSERT_TRUE(WaitFor([&] { return a.port.questions().size() == 1; }));
  EXPECT_FALSE(a.port.questions()[0].announced);
  EXPECT_EQ(a.port.questions()[0].names, std::vector<std::string>{"a.txt"});
  ASSERT_TRUE(raw.Send(MSG_CHAT, 0, 0, std::string("hi\0", 3)));
  ASSERT_TRUE(WaitFor([&] { return a.port.HasChatLine("recv > hi"); }));
  EXPECT_EQ(a.port.chat_news(), std::vector<std::string>{"hi"});
  a.port.Answer(true);
  ASSERT_TRUE(raw.ReceiveReply(reply));
  EXPECT_GE(reply.handle, 3);
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle, 0, "abc"));
  ASSERT_TRUE(raw.Send(MSG_FILE_CLOSE, reply.handle, 0, ""));
  ASSERT_TRUE(offer(raw, "b.txt"));
  ASSERT_TRUE(raw.ReceiveReply(reply));
  EXPECT_GE(reply.handle, 3);
  ASSERT_TRUE(raw.Send(MSG_FILE_DATA, reply.handle, 0, "def"));
  ASSERT_TRUE(raw.Send(MSG_FILE_CLOSE, reply.handle, 0, ""));
  ASSERT_TRUE(raw.Send(MSG_BATCH_DONE, 0, 0, ""));
  ASSERT_TRUE(WaitFor([&] { return !a.port.received_news().empty(); }));
  EXPECT_EQ(a.port.received_news()[0], std::make_pair(uint64_t{2}, a.session.save_dir));
  EXPECT_EQ(a.port.questions().size(), 1u);
  EXPECT_EQ(a.port.closed_questions(), std::vector<uint64_t>{a.port.questions()[0].id});
  a.Stop();

  const std::string why = FormatLine(text::PEER_FILES_REFUSED, text::WHY_USER_DECLINED.get());
  const std::string told =
      ChatTextToWire(FormatLine(text::FILES_REFUSED_CHAT, text::WHY_USER_DECLINED.In(JAPANESE))) +
      '\0';
  RawPeer declined;
  ASSERT_TRUE(a.ConnectRaw(declined));
  ASSERT_TRUE(offer(declined, "c.txt"));
  ASSERT_TRUE(WaitFor([&] { return a.port.questions().size() == 2; }));
  a.port.Answer(false);
  ASSERT_TRUE(declined.ReceiveType(MSG_CHAT, reply, payload));
  EXPECT_EQ(payload, told);
  ASSERT_TRUE(declined.ReceiveReply(reply));
  EXPECT_EQ(reply.handle, -1);
  ASSERT_TRUE(offer(declined, "d.txt"));
  ASSERT_TRUE(declined.ReceiveReply(reply));
  EXPECT_EQ(reply.handle, -1);
  EXPECT_EQ(a.port.questions().size(), 2u);
  EXPECT_EQ(CountLine(a.port.recv_log(), why), 1);
  a.Stop();

  // A session that ends while the user is asked takes the question away.
  RawPeer gone;
  ASSERT_TRUE(a.ConnectRaw(gone));
  ASSERT_TRUE(offer(gone, "f.txt"));
  ASSERT_TRUE(WaitFor([&] { return a.port.questions().size() == 3; }));
  a.Stop();
  EXPECT_EQ(a.port.closed_questions().size(), 3u);

  // Taking no files refuses at once, without a question.
  a.session.options.accept.store(AcceptPolicy::kNone);
  RawPeer refused;
  ASSERT_TRUE(a.ConnectRaw(refused));
  ASSERT_TRUE(offer(refused, "e.txt"));
  ASSERT_TRUE(refused.ReceiveReply(reply));
  EXPECT_EQ(reply.handle, -1);
  EXPECT_EQ(a.port.questions().size(), 3u);
  EXPECT_EQ(ListTree(a.session.save_dir),
            (std::map<std::string, std::uintmax_t>{{"a.txt", 3}, {"b.txt", 3}}));
}

TEST(Reliability, AnUnwritableSaveDirectoryIsReportedAndTheSessionGoesOn) {
  TestPeer a, b;
  WriteFile(a.dir.path() + "src/one.txt", "one");
  WriteFile(a.dir.path() + "src/sub/two.bin", PatternBytes(70000, 1));
  // A file where the save directory should be: no directory or file can be made below it
  // (permissions would not stop a privileged test run).
  WriteFile(b.dir.path() + "save", "in the way");
  a.Drop({a.dir.path() + "src/one.txt", a.dir.path() + "src/sub"});
  ASSERT_TRUE(ConnectPair(a, b));

  ASSERT_TRUE(WaitFor([&] { return b.port.HasRecvLine(FormatLine(text::RECEIVE_INCOMPLETE, 2)); }));
  for (const char* name : {"one.txt", "sub/two.bin"}) {
    EXPECT_TRUE(
        b.port.HasRecvLine(FormatLine(text::CANNOT_CREATE, (b.session.save_dir + name).c_str())));
    EXPECT_TRUE(a.port.HasSendLine(FormatLine(text::CANNOT_SEND, name)));
  }
  EXPECT_EQ(ReadFile(b.dir.path() + "save"), "in the way");

  // The session goes on: once the way is clear the files arrive.
  std::filesystem::remove(b.dir.path() + "save");
  a.Drop({a.dir.path() + "src/one.txt", a.dir.path() + "src/sub"});
  ASSERT_TRUE(WaitFor([&] { return CountLine(b.port.recv_log(), text::RECEIVE_DONE) == 1; }));
  EXPECT_EQ(ReadFile(b.session.save_dir + "one.txt"), "one");
  EXPECT_EQ(ReadFile(b.session.save_dir + "sub/two.bin"), PatternBytes(70000, 1));
}

// Connect, send a file, chat both ways and disconnect, again and again, with the same two
// instances. Every cycle must give back its descriptors, threads and memory.
TEST(Reliability, ManySessionsLeaveNoDescriptorsThreadsOrMemoryBehind) {
  const int cycles = LongMode() ? 1000 : 200;
  TestPeer a, b;
  const std::string file = a.dir.path() + "cycle.bin";
  WriteFile(file, PatternBytes(40000, 9));
  const std::string target = b.session.save_dir + "cycle.bin";

  auto cycle = [&](int i) {
    SCOPED_TRACE("cycle " + std::to_string(i));
    std::filesystem::remove(target);
    a.Drop({file});
    ASSERT_TRUE(ConnectPair(a, b));
    const std::string line = "line " + std::to_string(i);
    a.Chat(line);
    b.Chat(line);
    ASSERT_TRUE(WaitFor([&] {
      return b.port.HasChatLine("recv > " + line) && a.port.HasChatLine("recv > " + line) &&
             CountLine(b.port.recv_log(), text::RECEIVE_DONE) == i + 1;
    }));
    ASSERT_EQ(std::filesystem::file_size(target), 40000u);
    (i % 2 == 0 ? a : b).Disconnect();  // either side may end it
    ASSERT_TRUE(WaitFor(
        [&] { return a.WorkersEnded() && b.WorkersEnded() && !a.Connected() && !b.Connected(); }));
  };

  // The first cycle sets up what lives for the whole process (iconv).
  cycle(0);
  if (::testing::Test::HasFatalFailure()) return;
  const int tasks = CountEntries("/proc/self/task");
  const int descriptors = CountEntries("/proc/self/fd");
  const size_t heap = mallinfo2().uordblks;

  for (int i = 1; i < cycles && !::testing::Test::HasFatalFailure(); ++i) cycle(i);

  // A worker leaves its record (Exit) just before its thread returns, and a session's opening
  // threads may still hold descriptors once its workers have ended: both counts are awaited.
  // A thread or a descriptor lost per cycle would leave hundreds.
  EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/task") <= tasks; }))
      << CountEntries("/proc/self/task") << " threads, " << tasks << " before";
  EXPECT_TRUE(WaitFor([&] { return CountEntries("/proc/self/fd") <= descriptors; }))
      << CountEntries("/proc/self/fd") << " descriptors, " << descriptors << " before";
  if (!SANITIZED) {
    // The recording windows keep every log line (well under 1 MB); a buffer or a connection
    // lost per cycle would pass 4 MB.
    EXPECT_LT(mallinfo2().uordblks, heap + (4u << 20));
  }
  EXPECT_EQ(a.port.CountChatLine(text::DISCONNECTED), cycles);
  EXPECT_EQ(b.port.CountChatLine(text::DISCONNECTED), cycles);
}

}  // namespace
}  // namespace tovrin::testing
